// Times the reassembly stage (CollectPieces, InferClusterGeometry, ReassemblePieces) on
// synthetic media of 10^4 to 10^6 pieces and counts the memory it allocates.
//
//   korvid-reassembly-bench [--json PATH] [--sizes N,N,...] [--seed S] [--explain K]
//
// --explain K shows the first K wrong joins of each run and the first K runs without a piece.
//
// A medium is made as the record list a deep scan would find on it, without its bytes: DVR
// recordings, each a header with its movi list and then video ("00dc", 3 to 12 KiB) and sound
// ("01wb", 2 KiB) chunks in turn, written three at a time onto a file system of 4 KiB clusters
// that gives each file runs of 4 to 64 clusters in turn. Every run is one piece; a chunk that
// runs past the end of its run goes on at the start of its recording's next run, and its header
// is found only where all of its 8 bytes lie in one run. Where each run lies is known, so every
// join the stage makes is checked against the layout.
//
// Memory: every operator new and delete of the program is counted (usable bytes of the block),
// and the stage's peak is the most it held at once beyond what was held before it started. The
// record list and the pieces are blocks grown with realloc, outside operator new: they are
// counted as the 16 bytes of each record and the 32 bytes of each piece they hold (the peak RSS
// in the JSON shows what the process really touched). All times are measured here, on this machine; nothing is
// taken from elsewhere.
#include <malloc.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <new>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "engine/fourcc.h"
#include "engine/fragment.h"
#include "engine/reassembly/cluster_grid.h"
#include "engine/reassembly/piece.h"
#include "engine/reassembly/piece_joiner.h"
#include "engine/run_control.h"

// ---------------------------------------------------------------- counting allocator

namespace {

// The bench runs on one thread, and so does the stage it measures.
bool counting = false;  // set while a stage is measured; timed runs allocate uncounted
int64_t liveBytes = 0;
int64_t peakBytes = 0;
uint64_t allocations = 0;

void Counted(void* p) {
  if (!counting) return;
  liveBytes += static_cast<int64_t>(malloc_usable_size(p));
  peakBytes = std::max(peakBytes, liveBytes);
  ++allocations;
}

void Uncounted(void* p) {
  if (counting) liveBytes -= static_cast<int64_t>(malloc_usable_size(p));
}

[[gnu::noinline]] void* Allocate(size_t size, size_t alignment = 0) {
  void* p = nullptr;
  if (alignment > alignof(std::max_align_t)) {
    if (posix_memalign(&p, alignment, size == 0 ? 1 : size) != 0) p = nullptr;
  } else {
    p = std::malloc(size == 0 ? 1 : size);
  }
  if (p != nullptr) Counted(p);
  return p;
}

// Not inlined: the compiler would take free() meeting operator new for a mismatch.
[[gnu::noinline]] void Release(void* p) {
  if (p == nullptr) return;
  Uncounted(p);
  std::free(p);
}

}  // namespace

void* operator new(size_t size) {
  if (void* p = Allocate(size)) return p;
  throw std::bad_alloc();
}
void* operator new[](size_t size) {
  if (void* p = Allocate(size)) return p;
  throw std::bad_alloc();
}
void* operator new(size_t size, const std::nothrow_t&) noexcept { return Allocate(size); }
void* operator new[](size_t size, const std::nothrow_t&) noexcept { return Allocate(size); }
void* operator new(size_t size, std::align_val_t a) {
  if (void* p = Allocate(size, static_cast<size_t>(a))) return p;
  throw std::bad_alloc();
}
void* operator new[](size_t size, std::align_val_t a) {
  if (void* p = Allocate(size, static_cast<size_t>(a))) return p;
  throw std::bad_alloc();
}
void* operator new(size_t size, std::align_val_t a, const std::nothrow_t&) noexcept {
  return Allocate(size, static_cast<size_t>(a));
}
void* operator new[](size_t size, std::align_val_t a, const std::nothrow_t&) noexcept {
  return Allocate(size, static_cast<size_t>(a));
}
void operator delete(void* p) noexcept { Release(p); }
void operator delete[](void* p) noexcept { Release(p); }
void operator delete(void* p, size_t) noexcept { Release(p); }
void operator delete[](void* p, size_t) noexcept { Release(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { Release(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { Release(p); }
void operator delete(void* p, std::align_val_t) noexcept { Release(p); }
void operator delete[](void* p, std::align_val_t) noexcept { Release(p); }
void operator delete(void* p, size_t, std::align_val_t) noexcept { Release(p); }
void operator delete[](void* p, size_t, std::align_val_t) noexcept { Release(p); }

namespace {

using korvid::FourCC;
using korvid::Fragment;
using korvid::FragmentList;

// ---------------------------------------------------------------- the synthetic medium

constexpr int64_t Cluster = 4096;
constexpr int64_t Origin = 3072;  // cluster boundaries 3072 bytes past multiples of 4096
constexpr int Channels = 3;       // recordings written at the same time
constexpr int ShortestRun = 4;    // clusters
constexpr int LongestRun = 64;
constexpr int ShortestRecording = 20;  // runs
constexpr int LongestRecording = 200;
constexpr int64_t HeaderBytes = 6144;  // of a recording, before its movi list
constexpr int64_t JunkBytes = 1024;    // the JUNK chunk that ends the header, id and size included
constexpr uint32_t SmallestFrame = 3072;
constexpr uint32_t LargestFrame = 12288;
constexpr uint32_t SoundBytes = 2048;

// One run of clusters as the layout knows it.
struct RunTruth {
  int64_t DiskStart = 0;    // where its first cluster lies; runs lie back to back
  int64_t FirstRecord = 0;  // where the first record found in it lies (the piece's start)
  uint32_t Recording = 0;
  uint32_t Index = 0;        // its place among its recording's runs
  bool Continued = false;    // its recording goes on in a later run
  bool BrokenChunk = false;  // its last header found heads a chunk that goes on past the run
};

struct Medium {
  FragmentList Records;
  std::vector<RunTruth> Runs;  // ascending FirstRecord
  int64_t Size = 0;
  uint32_t Recordings = 0;
  uint64_t TrueJoins = 0;      // runs continued by their recording's next run
  uint64_t BreakingJoins = 0;  // of those, runs whose last header found heads a broken chunk
};

// A recording's chunks in file order, made as they are laid out.
class RecordingStream {
 public:
  RecordingStream(uint32_t id, std::mt19937_64& random)
      : id_(id),
        random_(random),
        runsLeft_(ShortestRecording + static_cast<int>(random() % (LongestRecording - ShortestRecording + 1))) {
    next_ = HeaderBytes + 12;
    NewChunk();
  }

  uint32_t Id() const { return id_; }
  uint32_t RunsLaid() const { return runsLaid_; }
  bool Done() const { return done_; }

  // Lays the recording's next run at cluster `cluster` of the medium and appends the records
  // found in it; returns the clusters it takes. The last run of a recording ends with the
  // cluster that holds its last whole chunk.
  int64_t LayRun(int64_t cluster, FragmentList& records, RunTruth& truth) {
    const bool last = --runsLeft_ <= 0;
    const int64_t from = laid_;  // file offset of the run's first byte
    const int64_t disk = Origin + cluster * Cluster;
    int64_t to = from + Cluster * (ShortestRun + static_cast<int64_t>(random_() % (LongestRun - ShortestRun + 1)));
    truth.DiskStart = disk;
    truth.Recording = id_;
    truth.Index = runsLaid_;
    truth.FirstRecord = -1;
    auto add = [&](int64_t at, uint32_t length, uint32_t chunkId) {
      records.push_back(Fragment{disk + (at - from), length, chunkId});
      if (truth.FirstRecord < 0) truth.FirstRecord = disk + (at - from);
    };
    if (from == 0) {
      add(HeaderBytes - JunkBytes, static_cast<uint32_t>(JunkBytes), FourCC("JUNK"));
      add(HeaderBytes, 0x7ffe0000u + 8u, FourCC("LIST"));  // a placeholder size, as recorders write
      truth.FirstRecord = disk + HeaderBytes;              // the piece starts at the movi list
    }
    bool headerFound = false;
    for (;;) {
      const int64_t end = next_ + Span();
      if (last && end > to) {
        if (headerFound) break;  // the recording ends with the chunk before
        to = from + (end - from + Cluster - 1) / Cluster * Cluster;
      }
      if (next_ >= to) break;
      const bool whole = next_ >= from && next_ + 8 <= to;  // all 8 header bytes in this run
      if (whole) {
        add(next_, length_, chunkId_);
        headerFound = true;
      }
      if (end > to) {
        truth.BrokenChunk = whole;
        break;  // the chunk goes on in the next run
      }
      next_ = end;
      NewChunk();
    }
    if (last) to = from + (next_ - from + Cluster - 1) / Cluster * Cluster;
    laid_ = to;
    ++runsLaid_;
    done_ = last;
    truth.Continued = !last;
    return (to - from) / Cluster;
  }

 private:
  int64_t Span() const { return static_cast<int64_t>(length_) + (length_ & 1u); }
  void NewChunk() {
    video_ = !video_;
    if (video_) {
      chunkId_ = FourCC("00dc");
      length_ = 8 + SmallestFrame + static_cast<uint32_t>(random_() % (LargestFrame - SmallestFrame + 1));
    } else {
      chunkId_ = FourCC("01wb");
      length_ = 8 + SoundBytes;
    }
  }

  uint32_t id_;
  std::mt19937_64& random_;
  int runsLeft_;
  uint32_t runsLaid_ = 0;
  int64_t laid_ = 0;     // file bytes laid so far (whole clusters)
  int64_t next_ = 0;     // file offset of the next chunk's header
  uint32_t length_ = 0;  // its Length (data + 8)
  uint32_t chunkId_ = 0;
  bool video_ = false;
  bool done_ = false;
};

Medium MakeMedium(uint64_t pieces, uint64_t seed) {
  Medium m;
  std::mt19937_64 random(seed);
  std::vector<std::optional<RecordingStream>> channels(Channels);
  m.Runs.reserve(pieces);
  int64_t cluster = 1;  // the first cluster is the file system's
  while (m.Runs.size() < pieces) {
    for (int c = 0; c < Channels && m.Runs.size() < pieces; ++c) {
      if (!channels[c] || channels[c]->Done()) channels[c].emplace(m.Recordings++, random);
      RunTruth truth;
      cluster += channels[c]->LayRun(cluster, m.Records, truth);
      m.Runs.push_back(truth);
    }
  }
  // The medium ends where its last run does: the recordings still being written there are
  // continued by nothing.
  std::vector<int64_t> lastRun(m.Recordings, -1);
  for (size_t i = 0; i < m.Runs.size(); ++i) lastRun[m.Runs[i].Recording] = static_cast<int64_t>(i);
  for (size_t i = 0; i < m.Runs.size(); ++i) {
    RunTruth& r = m.Runs[i];
    if (lastRun[r.Recording] == static_cast<int64_t>(i)) r.Continued = false;
    if (r.Continued) {
      ++m.TrueJoins;
      m.BreakingJoins += r.BrokenChunk ? 1 : 0;
    }
  }
  m.Size = Origin + (cluster + 4) * Cluster;
  return m;
}

// ---------------------------------------------------------------- measuring

struct Quiet : korvid::RunObserver {};

using Clock = std::chrono::steady_clock;
double Since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// Checks every join of `recordings` against the layout.
int explain = 0;  // --explain K: the first K wrong joins and runs without a piece are shown

struct JoinCount {
  uint64_t Found = 0;
  uint64_t Right = 0;
  uint64_t Wrong = 0;
  uint64_t RightBreaking = 0;  // right joins whose first piece ends in a broken chunk
  uint64_t Recordings = 0;     // recordings the stage gave
  uint64_t Joined = 0;         // of them, of two or more pieces
  // Pieces that do not start where a run's first record lies, or that end in another run: a
  // chunk's declared end landed by chance on the first header of the run after its own, and
  // the chain went on into another recording.
  uint64_t MixedPieces = 0;
  uint64_t RunsWithoutPiece = 0;  // runs whose first record starts no piece
};

// The run that holds `position`.
int64_t RunAt(const Medium& m, int64_t position) {
  auto at = std::upper_bound(m.Runs.begin(), m.Runs.end(), position,
                             [](int64_t p, const RunTruth& r) { return p < r.DiskStart; });
  return at == m.Runs.begin() ? -1 : (at - m.Runs.begin()) - 1;
}

void Describe(const char* what, const Medium& m, const korvid::Piece& p) {
  const int64_t first = RunAt(m, p.Start), last = RunAt(m, p.LastMember);
  std::printf(
      "      %s piece [%lld, last %lld, end %lld) start %% C = %lld, end %% C = %lld, %u members, runs %lld..%lld",
      what, static_cast<long long>(p.Start), static_cast<long long>(p.LastMember), static_cast<long long>(p.End()),
      static_cast<long long>((p.Start - Origin) % Cluster), static_cast<long long>((p.End() - Origin) % Cluster),
      p.Members, static_cast<long long>(first), static_cast<long long>(last));
  if (first >= 0 && last >= 0) {
    std::printf(" (recording %u run %u .. recording %u run %u)", m.Runs[first].Recording, m.Runs[first].Index,
                m.Runs[last].Recording, m.Runs[last].Index);
  }
  std::printf("\n");
}

// Checks every join of `recordings` against the layout: right where the run that holds the
// first piece's last member is continued by the run whose first record starts the second piece.
JoinCount CountJoins(const Medium& m, std::span<const korvid::Piece> pieces, const korvid::Reassembly& recordings,
                     bool show) {
  JoinCount c;
  std::vector<int64_t> startRun(pieces.size(), -1), lastRun(pieces.size(), -1);
  std::vector<bool> hasPiece(m.Runs.size(), false);
  for (size_t p = 0; p < pieces.size(); ++p) {
    const int64_t r = RunAt(m, pieces[p].Start);
    if (r >= 0 && m.Runs[r].FirstRecord == pieces[p].Start) {
      startRun[p] = r;
      hasPiece[r] = true;
    }
    lastRun[p] = RunAt(m, pieces[p].LastMember);
    if (startRun[p] < 0 || startRun[p] != lastRun[p]) ++c.MixedPieces;
  }
  int shown = 0;
  for (size_t r = 0; r < m.Runs.size(); ++r) {
    if (hasPiece[r]) continue;
    ++c.RunsWithoutPiece;
    if (show && shown < explain) {
      ++shown;
      std::printf("    run %zu (recording %u run %u, first record at %lld) starts no piece\n", r, m.Runs[r].Recording,
                  m.Runs[r].Index, static_cast<long long>(m.Runs[r].FirstRecord));
    }
  }
  shown = 0;
  for (size_t k = 0; k < recordings.Recordings(); ++k) {
    const std::span<const uint32_t> joined = recordings.PiecesOf(k);
    ++c.Recordings;
    c.Joined += joined.size() > 1 ? 1 : 0;
    for (size_t i = 0; i + 1 < joined.size(); ++i) {
      ++c.Found;
      const int64_t a = lastRun[joined[i]], b = startRun[joined[i + 1]];
      const bool right = a >= 0 && b >= 0 && m.Runs[a].Continued && m.Runs[a].Recording == m.Runs[b].Recording &&
                         m.Runs[b].Index == m.Runs[a].Index + 1;
      if (right) {
        ++c.Right;
        c.RightBreaking += m.Runs[a].BrokenChunk ? 1 : 0;
        continue;
      }
      ++c.Wrong;
      if (show && shown < explain) {
        ++shown;
        std::printf("    wrong join %llu:\n", static_cast<unsigned long long>(c.Wrong));
        Describe("from", m, pieces[joined[i]]);
        Describe("to  ", m, pieces[joined[i + 1]]);
        std::printf("      extents:");
        for (const korvid::ByteRange& e : recordings.JoinExtents(joined[i])) {
          std::printf(" [%lld, +%lld)", static_cast<long long>(e.Offset), static_cast<long long>(e.Length));
        }
        std::printf("\n");
      }
    }
  }
  return c;
}

int64_t ProcStatusKib(const char* field) {
  std::ifstream in("/proc/self/status");
  std::string line;
  const size_t n = std::strlen(field);
  while (std::getline(in, line)) {
    if (line.compare(0, n, field) == 0 && line.size() > n && line[n] == ':') return std::atoll(line.c_str() + n + 1);
  }
  return -1;
}

// Resets the process's peak RSS to its current RSS (Linux 4.0 on); false where it cannot.
bool ResetPeakRss() {
  std::FILE* f = std::fopen("/proc/self/clear_refs", "w");
  if (f == nullptr) return false;
  const bool ok = std::fputs("5", f) >= 0;
  return std::fclose(f) == 0 && ok;
}

struct StageRun {
  bool Counted = false;  // its allocations were counted
  double CollectSeconds = 0;
  double InferSeconds = 0;
  double JoinSeconds = 0;
  double Seconds() const { return CollectSeconds + InferSeconds + JoinSeconds; }
  int64_t PeakBytes = 0;         // operator new, above what was held before the stage
  int64_t HeldAfterBytes = 0;    // still held when the stage is done (its pieces and recordings)
  int64_t CollectPeakBytes = 0;  // the most held during CollectPieces
  int64_t PiecesBytes = 0;       // held after it: the pieces and the interleave
  int64_t JoinPeakBytes = 0;     // the most ReassemblePieces held at once beyond what it was given
  uint64_t Allocations = 0;
  int64_t RssPeakAboveStartKib = -1;
  uint64_t Pieces = 0;
  uint64_t LonePieces = 0;
  korvid::ReassemblyTotals Totals;
  JoinCount Joins;
  korvid::GeometrySource Geometry = korvid::GeometrySource::None;
  double CandidatesPerPiece = 0;  // pieces starting at the offset in a cluster where a piece's end lies
  int64_t ClusterSize = 0;
  int64_t GridOrigin = 0;
};

// The stage as WriteReassembled runs it, without the content check: the pieces, the grid given
// or inferred, the joins. With `count`, its allocations are counted (which slows it a little).
StageRun RunStage(const Medium& m, bool inferred, bool count, bool show) {
  StageRun run;
  run.Counted = count;
  korvid::ClusterGeometry fileSystem;
  fileSystem.From = korvid::GeometrySource::FileSystem;
  fileSystem.Grids.push_back({0, m.Size, Cluster, Origin});

  const bool rss = count && ResetPeakRss();
  const int64_t rssStart = ProcStatusKib("VmRSS");
  liveBytes = peakBytes = 0;
  allocations = 0;
  counting = count;

  Quiet quiet;
  std::optional<korvid::ClusterGeometry> geometry;
  korvid::Reassembly recordings;
  korvid::PieceList pieces;
  int64_t piecesBytes = 0;  // the pieces' block, grown with realloc outside operator new
  {
    korvid::StreamInterleave interleave;
    auto start = Clock::now();
    pieces = korvid::CollectPieces(m.Records, quiet, interleave);
    run.CollectSeconds = Since(start);
    piecesBytes = static_cast<int64_t>(pieces.size() * sizeof(korvid::Piece));
    run.CollectPeakBytes = peakBytes + piecesBytes;
    run.PiecesBytes = liveBytes + piecesBytes;
    start = Clock::now();
    if (inferred) {
      geometry.emplace(korvid::InferClusterGeometry(pieces, m.Size));
    } else {
      geometry.emplace(std::move(fileSystem));
    }
    run.InferSeconds = Since(start);
    korvid::JoinEvidence evidence;
    evidence.Geometry = &*geometry;
    evidence.Interleave = &interleave;
    evidence.HeaderBytes = HeaderBytes;
    const int64_t joinBefore = liveBytes;
    const int64_t peakBefore = peakBytes;
    peakBytes = liveBytes;
    start = Clock::now();
    recordings = korvid::ReassemblePieces(pieces, evidence, run.Totals);
    run.JoinSeconds = Since(start);
    run.JoinPeakBytes = peakBytes - joinBefore;
    peakBytes = std::max(peakBytes, peakBefore);
  }
  counting = false;
  run.PeakBytes = peakBytes + piecesBytes;
  run.HeldAfterBytes = liveBytes + piecesBytes;
  run.Allocations = allocations;
  if (rss && rssStart >= 0) run.RssPeakAboveStartKib = ProcStatusKib("VmHWM") - rssStart;

  run.Pieces = pieces.size();
  run.LonePieces = static_cast<uint64_t>(
      std::count_if(pieces.begin(), pieces.end(), [](const korvid::Piece& p) { return p.Lone(); }));
  run.Geometry = geometry->From;
  if (!geometry->Grids.empty()) {
    run.ClusterSize = geometry->Grids.front().ClusterSize;
    run.GridOrigin = ((geometry->Grids.front().Origin % Cluster) + Cluster) % Cluster;
  }
  run.Joins = CountJoins(m, pieces, recordings, show);
  // How many pieces start at the offset within a cluster where each piece that may be continued
  // declares its last chunk to end: the continuations ReassemblePieces weighs for it.
  if (!geometry->Grids.empty()) {
    const korvid::ClusterGrid& grid = geometry->Grids.front();
    auto residue = [&](int64_t at) {
      return static_cast<size_t>(((at - grid.Origin) % grid.ClusterSize + grid.ClusterSize) % grid.ClusterSize);
    };
    std::vector<uint32_t> starts(static_cast<size_t>(grid.ClusterSize), 0);
    for (const korvid::Piece& p : pieces) {
      if (!p.StartsRecording()) ++starts[residue(p.Start)];
    }
    uint64_t weighed = 0, sum = 0;
    for (const korvid::Piece& p : pieces) {
      if (p.Lone() || p.EndsRecording()) continue;
      ++weighed;
      sum += starts[residue(p.End())];
    }
    run.CandidatesPerPiece = weighed ? static_cast<double>(sum) / static_cast<double>(weighed) : 0;
  }
  return run;
}

const char* GeometryName(korvid::GeometrySource g) {
  switch (g) {
    case korvid::GeometrySource::None:
      return "none";
    case korvid::GeometrySource::FileSystem:
      return "file system";
    case korvid::GeometrySource::Inferred:
      return "inferred";
  }
  return "?";
}

struct SizeResult {
  uint64_t Requested = 0;
  uint64_t Records = 0;
  uint32_t Recordings = 0;
  int64_t MediumBytes = 0;
  uint64_t TrueJoins = 0;
  uint64_t BreakingJoins = 0;
  double GenerateSeconds = 0;
  int Repeats = 0;
  StageRun Counted;       // grid from the file system, allocations counted
  StageRun Given;         // grid from the file system, the fastest of the repeats
  StageRun Inferred;      // grid inferred from the pieces, once
  double NLogNRatio = 0;  // seconds / (n log2 n)
  double Growth = 0;      // NLogNRatio over the size before's
  double BytesPerRecord = 0;
  double StageBytesPerPiece = 0;
  double BudgetBytes = 0;
  bool BudgetHolds = false;
  int64_t ListBytes = 0;          // 16 bytes a record
  int64_t ListCapacityBytes = 0;  // the block realloc holds (its untouched tail is never resident)
};

double NLogN(double n) { return n * std::log2(n); }

void JsonStage(std::ostringstream& o, const StageRun& r) {
  o << "{\"seconds\":" << r.Seconds() << ",\"collect_seconds\":" << r.CollectSeconds
    << ",\"infer_seconds\":" << r.InferSeconds << ",\"join_seconds\":" << r.JoinSeconds
    << ",\"seconds_per_piece\":" << r.Seconds() / static_cast<double>(r.Pieces)
    << ",\"seconds_per_n_log2_n\":" << r.Seconds() / NLogN(static_cast<double>(r.Pieces)) << ",\"pieces\":" << r.Pieces
    << ",\"lone_pieces\":" << r.LonePieces << ",\"mixed_pieces\":" << r.Joins.MixedPieces
    << ",\"runs_without_piece\":" << r.Joins.RunsWithoutPiece << ",\"geometry\":\"" << GeometryName(r.Geometry)
    << "\",\"same_offset_starts_per_piece\":" << r.CandidatesPerPiece << ",\"cluster_size\":" << r.ClusterSize
    << ",\"grid_origin\":" << r.GridOrigin << ",\"joins_found\":" << r.Joins.Found
    << ",\"joins_right\":" << r.Joins.Right << ",\"joins_right_broken_chunk\":" << r.Joins.RightBreaking
    << ",\"joins_wrong\":" << r.Joins.Wrong << ",\"totals_joins\":" << r.Totals.Joins
    << ",\"recordings_given\":" << r.Joins.Recordings << ",\"recordings_joined\":" << r.Joins.Joined
    << ",\"allocations_counted\":" << (r.Counted ? "true" : "false");
  if (r.Counted) {
    o << ",\"peak_alloc_bytes\":" << r.PeakBytes << ",\"held_after_bytes\":" << r.HeldAfterBytes
      << ",\"collect_peak_bytes\":" << r.CollectPeakBytes << ",\"pieces_bytes\":" << r.PiecesBytes
      << ",\"join_peak_bytes\":" << r.JoinPeakBytes << ",\"allocations\":" << r.Allocations
      << ",\"rss_peak_above_start_bytes\":" << (r.RssPeakAboveStartKib < 0 ? -1 : r.RssPeakAboveStartKib * 1024);
  }
  o << "}";
}

std::vector<uint64_t> ParseSizes(const char* text) {
  std::vector<uint64_t> sizes;
  std::stringstream in(text);
  std::string item;
  while (std::getline(in, item, ',')) {
    const double v = std::atof(item.c_str());
    if (v >= 100) sizes.push_back(static_cast<uint64_t>(v));
  }
  return sizes;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<uint64_t> sizes = {10000, 100000, 1000000};
  const char* jsonPath = nullptr;
  uint64_t seed = 20240601;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--json" && i + 1 < argc) {
      jsonPath = argv[++i];
    } else if (a == "--sizes" && i + 1 < argc) {
      sizes = ParseSizes(argv[++i]);
    } else if (a == "--explain" && i + 1 < argc) {
      explain = std::atoi(argv[++i]);
    } else if (a == "--seed" && i + 1 < argc) {
      seed = std::strtoull(argv[++i], nullptr, 10);
    } else {
      std::fprintf(stderr, "usage: %s [--json PATH] [--sizes N,N,...] [--seed S] [--explain K]\n", argv[0]);
      return 2;
    }
  }
  if (sizes.empty()) {
    std::fprintf(stderr, "reassembly-bench: no sizes of 100 pieces or more\n");
    return 2;
  }

  constexpr double RecordBudget = 16;  // bytes a record
  constexpr double PieceBudget = 64;   // bytes a piece, beyond the records
  std::vector<SizeResult> results;
  for (uint64_t n : sizes) {
    SizeResult s;
    s.Requested = n;
    auto start = Clock::now();
    const Medium m = MakeMedium(n, seed + n);
    s.GenerateSeconds = Since(start);
    s.Records = m.Records.size();
    s.Recordings = m.Recordings;
    s.MediumBytes = m.Size;
    s.TrueJoins = m.TrueJoins;
    s.BreakingJoins = m.BreakingJoins;
    s.ListBytes = static_cast<int64_t>(m.Records.size() * sizeof(Fragment));
    s.ListCapacityBytes =
        m.Records.empty() ? 0 : static_cast<int64_t>(malloc_usable_size(const_cast<Fragment*>(m.Records.begin())));
    std::printf("%llu pieces: %llu records, %u recordings, %.1f GiB medium (made in %.2f s)\n",
                static_cast<unsigned long long>(n), static_cast<unsigned long long>(s.Records), s.Recordings,
                static_cast<double>(s.MediumBytes) / (1 << 30), s.GenerateSeconds);
    std::fflush(stdout);
    // Once with its allocations counted, then timed without: until about 3 s are spent (at
    // least once, at most 5 times), and the fastest counts.
    s.Counted = RunStage(m, false, true, true);
    std::printf(
        "  counted run:   %.3f s; per piece: collect peak %.0f B, pieces %.0f B, join peak %.0f B above "
        "them, held after %.0f B\n",
        s.Counted.Seconds(), static_cast<double>(s.Counted.CollectPeakBytes) / static_cast<double>(s.Counted.Pieces),
        static_cast<double>(s.Counted.PiecesBytes) / static_cast<double>(s.Counted.Pieces),
        static_cast<double>(s.Counted.JoinPeakBytes) / static_cast<double>(s.Counted.Pieces),
        static_cast<double>(s.Counted.HeldAfterBytes) / static_cast<double>(s.Counted.Pieces));
    std::fflush(stdout);
    double spent = 0;
    for (int r = 0; r < 5 && (r == 0 || spent < 3); ++r) {
      StageRun run = RunStage(m, false, false, false);
      spent += run.Seconds();
      if (r == 0 || run.Seconds() < s.Given.Seconds()) s.Given = run;
      ++s.Repeats;
    }
    std::printf("  grid given:    %.3f s (collect %.3f, join %.3f; fastest of %d)\n", s.Given.Seconds(),
                s.Given.CollectSeconds, s.Given.JoinSeconds, s.Repeats);
    std::fflush(stdout);
    s.Inferred = RunStage(m, true, false, true);
    std::printf("  grid inferred: %.3f s (collect %.3f, infer %.3f, join %.3f): %s, %lld-byte clusters, origin %lld\n",
                s.Inferred.Seconds(), s.Inferred.CollectSeconds, s.Inferred.InferSeconds, s.Inferred.JoinSeconds,
                GeometryName(s.Inferred.Geometry), static_cast<long long>(s.Inferred.ClusterSize),
                static_cast<long long>(s.Inferred.GridOrigin));
    std::fflush(stdout);
    results.push_back(std::move(s));
  }

  // The tables.
  std::printf("\n== Reassembly stage: CollectPieces + ReassemblePieces, grid from the file system ==\n");
  std::printf("  %9s %10s %9s %9s %11s %7s %8s %8s %8s %6s %6s %6s %8s %8s %6s\n", "pieces", "records", "seconds",
              "us/piece", "t/(n lg n)", "growth", "true", "found", "right", "wrong", "missed", "mixed", "B/record",
              "B/piece", "budget");
  double previous = 0;
  bool allHold = true, noneWrong = true;
  for (SizeResult& s : results) {
    const StageRun& g = s.Given;
    const StageRun& c = s.Counted;
    const double n = static_cast<double>(g.Pieces);
    s.NLogNRatio = g.Seconds() / NLogN(n);
    s.Growth = previous > 0 ? s.NLogNRatio / previous : 0;
    previous = s.NLogNRatio;
    s.BytesPerRecord = static_cast<double>(s.ListBytes) / static_cast<double>(s.Records);
    s.StageBytesPerPiece = static_cast<double>(c.PeakBytes) / n;
    s.BudgetBytes = RecordBudget * static_cast<double>(s.Records) + PieceBudget * n;
    s.BudgetHolds = static_cast<double>(s.ListBytes + c.PeakBytes) <= s.BudgetBytes;
    allHold &= s.BudgetHolds;
    noneWrong &= c.Joins.Wrong == 0;
    char growth[32] = "-";
    if (s.Growth > 0) std::snprintf(growth, sizeof growth, "%.2f", s.Growth);
    std::printf("  %9llu %10llu %9.3f %9.3f %11.3e %7s %8llu %8llu %8llu %6llu %6llu %6llu %8.1f %8.1f %6s\n",
                static_cast<unsigned long long>(g.Pieces), static_cast<unsigned long long>(s.Records), g.Seconds(),
                1e6 * g.Seconds() / n, s.NLogNRatio, growth, static_cast<unsigned long long>(s.TrueJoins),
                static_cast<unsigned long long>(c.Joins.Found), static_cast<unsigned long long>(c.Joins.Right),
                static_cast<unsigned long long>(c.Joins.Wrong),
                static_cast<unsigned long long>(s.TrueJoins - std::min(s.TrueJoins, c.Joins.Right)),
                static_cast<unsigned long long>(c.Joins.MixedPieces), s.BytesPerRecord, s.StageBytesPerPiece,
                s.BudgetHolds ? "holds" : "OVER");
  }
  std::printf("\n  where the time and memory go (grid from the file system):\n");
  std::printf("  %9s %11s %11s %11s %12s %13s %13s %13s %13s\n", "pieces", "collect s", "join s", "candidates",
              "allocs/piece", "collect peak", "pieces held", "join peak", "held after");
  for (const SizeResult& s : results) {
    const StageRun& c = s.Counted;
    const double n = static_cast<double>(c.Pieces);
    std::printf("  %9llu %11.3f %11.3f %11.1f %12.1f %11.1f B %11.1f B %11.1f B %11.1f B\n",
                static_cast<unsigned long long>(c.Pieces), s.Given.CollectSeconds, s.Given.JoinSeconds,
                c.CandidatesPerPiece, static_cast<double>(c.Allocations) / n,
                static_cast<double>(c.CollectPeakBytes) / n, static_cast<double>(c.PiecesBytes) / n,
                static_cast<double>(c.JoinPeakBytes) / n, static_cast<double>(c.HeldAfterBytes) / n);
  }

  std::printf("\n== The same with the grid inferred from the pieces (InferClusterGeometry) ==\n");
  std::printf("  %9s %9s %9s %15s %8s %8s %8s %7s\n", "pieces", "seconds", "infer s", "grid", "true", "found", "right",
              "wrong");
  for (const SizeResult& s : results) {
    const StageRun& r = s.Inferred;
    char grid[40];
    std::snprintf(grid, sizeof grid, "%s", "none");
    if (r.Geometry == korvid::GeometrySource::Inferred) {
      std::snprintf(grid, sizeof grid, "%lld @ %lld", static_cast<long long>(r.ClusterSize),
                    static_cast<long long>(r.GridOrigin));
    }
    std::printf("  %9llu %9.3f %9.3f %15s %8llu %8llu %8llu %7llu\n", static_cast<unsigned long long>(r.Pieces),
                r.Seconds(), r.InferSeconds, grid, static_cast<unsigned long long>(s.TrueJoins),
                static_cast<unsigned long long>(r.Joins.Found), static_cast<unsigned long long>(r.Joins.Right),
                static_cast<unsigned long long>(r.Joins.Wrong));
  }
  std::printf(R"(
  The media: %d recordings at a time in runs of %d to %d clusters of %lld bytes (origin %lld),
  recordings of %d to %d runs, video chunks of %u to %u bytes and sound chunks of %u in turn.
  pieces:     pieces CollectPieces found; each run laid is meant to be one.
  seconds:    CollectPieces + ReassemblePieces (no content check), fastest of up to 5 runs
              (about 3 s in all) with the allocator uncounted. t/(n lg n) = seconds / (pieces x
              log2 pieces); growth is its ratio to the size before: about 1 where the stage
              grows as n log n, near 10 per tenfold size where it grows as n^2.
  true:       runs that their recording's next run continues (the joins to find); found: joins
              made; right: of them, to the run that continues the first piece's last run; wrong:
              the others; missed: true joins not made; mixed: pieces that run on past their run
              into another recording (a broken chunk's declared end landing by chance on the
              first header of the next run on the medium).
  B/record:   the record list: 16 bytes a record in one block grown with realloc.
  B/piece:    the most the stage held at once, its pieces included, over the pieces (counted
              run). budget: list + stage <= 16 B/record + 64 B/piece.
  candidates: pieces that start at the offset within a cluster where a piece's last chunk
              declares to end, on average over the pieces that may be continued: the
              continuations ReassemblePieces weighs for each (a constant where the stage stays
              n log n, growing with n where the joins cost n^2 in all).
  allocs/piece: operator new calls of the stage over the pieces (counted run).
  collect peak, pieces held: during and after CollectPieces; join peak: the most
              ReassemblePieces held beyond the pieces; held after: pieces and recordings.
)",
              Channels, ShortestRun, LongestRun, static_cast<long long>(Cluster), static_cast<long long>(Origin),
              ShortestRecording, LongestRecording, SmallestFrame, LargestFrame, SoundBytes);
  std::printf("  memory budget: %s; wrong joins with the file system's grid: %s\n",
              allHold ? "holds at every size" : "EXCEEDED", noneWrong ? "none" : "SOME");

  if (jsonPath != nullptr) {
    std::ostringstream o;
    o.precision(6);
    o << "{\"seed\":" << seed << ",\"cluster_bytes\":" << Cluster << ",\"grid_origin\":" << Origin
      << ",\"channels\":" << Channels << ",\"run_clusters\":[" << ShortestRun << "," << LongestRun
      << "],\"recording_runs\":[" << ShortestRecording << "," << LongestRecording << "],\"frame_bytes\":["
      << SmallestFrame << "," << LargestFrame << "],\"sound_bytes\":" << SoundBytes
      << ",\"record_budget_bytes\":" << RecordBudget << ",\"piece_budget_bytes\":" << PieceBudget
      << ",\"budget_holds\":" << (allHold ? "true" : "false")
      << ",\"no_wrong_joins\":" << (noneWrong ? "true" : "false") << ",\"sizes\":[";
    for (size_t i = 0; i < results.size(); ++i) {
      const SizeResult& s = results[i];
      o << (i ? "," : "") << "{\"pieces_requested\":" << s.Requested << ",\"records\":" << s.Records
        << ",\"recordings\":" << s.Recordings << ",\"medium_bytes\":" << s.MediumBytes
        << ",\"true_joins\":" << s.TrueJoins << ",\"true_joins_broken_chunk\":" << s.BreakingJoins
        << ",\"generate_seconds\":" << s.GenerateSeconds << ",\"timed_repeats\":" << s.Repeats
        << ",\"seconds\":" << s.Given.Seconds()
        << ",\"seconds_per_piece\":" << s.Given.Seconds() / static_cast<double>(s.Given.Pieces)
        << ",\"seconds_per_n_log2_n\":" << s.NLogNRatio << ",\"growth_vs_previous\":" << s.Growth
        << ",\"list_bytes\":" << s.ListBytes << ",\"list_capacity_bytes\":" << s.ListCapacityBytes
        << ",\"bytes_per_record\":" << s.BytesPerRecord << ",\"stage_bytes_per_piece\":" << s.StageBytesPerPiece
        << ",\"budget_bytes\":" << s.BudgetBytes << ",\"budget_holds\":" << (s.BudgetHolds ? "true" : "false")
        << ",\"grid_given\":";
      JsonStage(o, s.Given);
      o << ",\"grid_given_counted\":";
      JsonStage(o, s.Counted);
      o << ",\"grid_inferred\":";
      JsonStage(o, s.Inferred);
      o << "}";
    }
    o << "]}\n";
    std::FILE* f = std::fopen(jsonPath, "w");
    if (f == nullptr || std::fputs(o.str().c_str(), f) < 0 || std::fclose(f) != 0) {
      std::fprintf(stderr, "reassembly-bench: cannot write %s\n", jsonPath);
      return 1;
    }
  }
  return 0;
}
