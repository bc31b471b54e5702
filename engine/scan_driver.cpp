#include "scan_driver.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <exception>
#include <span>

#include "avi/avi_header.h"
#include "chunk_searchers.h"
#include "container_writer.h"
#include "errors.h"
#include "engine/report/file_report.h"
#include "engine/naming/name_files.h"
#include "rescue/fresh_search.h"
#include "rescue/mapped_source.h"
#include "rescue/run_progress.h"
#include "fourcc.h"
#include "avi/movi_chunks.h"
#include "sector_reader.h"
#include "signatures.h"

namespace korvid {
namespace {

// A run keeps its progress at least this often while the first pass runs, and after every
// hundredth of the source scanned (1 MiB at least), so that little is scanned again after a kill.
constexpr std::chrono::seconds SaveInterval{30};
constexpr int64_t SaveShare = 100;
constexpr int64_t LeastSaveBytes = 1 << 20;

// A scan that takes its records into pieces as it goes settles them once it holds this many,
// or twice as many as it kept when it last settled: a chain that stays open (a long recording
// that lies whole) is walked again only as often as its records double.
constexpr size_t SettleRecords = 65536;

// The records a scan has found: those it holds, and those it took into pieces and dropped.
uint64_t RecordsFound(const FragmentList& fragments, const PieceCollection* pieces) {
  return fragments.size() + (pieces != nullptr ? pieces->DroppedRecords : 0);
}

double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// When a run keeps its progress again: 30 seconds or a hundredth of the source after it last did.
class SaveSchedule {
 public:
  // `from`: the bytes dealt with already, when the run last kept its progress or began.
  SaveSchedule(int64_t sourceSize, int64_t from)
      : bytes_(std::max(LeastSaveBytes, sourceSize / SaveShare)), savedAt_(from) {}
  // Whether a save is due once `done` bytes (scanned, or tried again) have been dealt with; a
  // save that is due is taken to be made.
  bool Due(int64_t done) {
    if (done - savedAt_ < bytes_ && std::chrono::steady_clock::now() - lastSave_ < SaveInterval) return false;
    savedAt_ = done;
    lastSave_ = std::chrono::steady_clock::now();
    return true;
  }

 private:
  const int64_t bytes_;
  int64_t savedAt_;
  std::chrono::steady_clock::time_point lastSave_ = std::chrono::steady_clock::now();
};

// The stretches to scan: the whole source, or the requested ranges (none at all for a file
// system without free space) widened to whole sectors,
// cut at the end of the source, with touching ones joined.
std::vector<ByteRange> StretchesToScan(const std::optional<std::vector<ByteRange>>& requested, int64_t size) {
  if (!requested) return size > 0 ? std::vector<ByteRange>{{0, size}} : std::vector<ByteRange>{};
  std::vector<ByteRange> stretches;
  for (const ByteRange& range : *requested) {
    const int64_t start = SectorBase(std::clamp<int64_t>(range.Offset, 0, size));
    const int64_t end = std::min(size, SectorBase(range.Offset + range.Length + SectorSize - 1));
    if (end <= start) continue;
    if (!stretches.empty() && start <= stretches.back().Offset + stretches.back().Length) {
      ByteRange& last = stretches.back();
      last.Length = std::max(last.Offset + last.Length, end) - last.Offset;
    } else {
      stretches.push_back({start, end - start});
    }
  }
  return stretches;
}

// What a scan looks for: the signature patterns of a mode, or every movi chunk.
class HitSearch {
 public:
  explicit HitSearch(const PatternList& patterns) : patterns_(&patterns), margin_(patterns.Margin()) {}
  HitSearch(int64_t sourceSize, unsigned declaredStreams)
      : margin_(MoviChunkMargin), sourceSize_(sourceSize), declaredStreams_(declaredStreams) {}

  // Bytes a hit needs beyond its first: a chunk's last Margin() bytes are carried into the next.
  size_t Margin() const { return margin_; }

  // Appends the hits in `bytes` (at source offset `start`) that start before `searchEnd`,
  // keeping the list ascending.
  void Search(std::span<const uint8_t> bytes, int64_t start, FragmentList& out, size_t searchEnd) const {
    if (patterns_ == nullptr) {
      SearchMoviChunks(bytes, start, sourceSize_, declaredStreams_, out, searchEnd);
      return;
    }
    const size_t before = out.size();
    SearchChunk(*patterns_, bytes, start, out, searchEnd);
    // Patterns are searched one after another; merging each chunk's runs keeps the list in order.
    MergeRuns(out, before);
  }

 private:
  const PatternList* patterns_ = nullptr;
  size_t margin_;
  int64_t sourceSize_ = 0;
  unsigned declaredStreams_ = 0;
};

// Reads the stretches chunk after chunk and appends every hit to `fragments`, in source order.
// The chunks are read and searched on threads of their own; the last bytes of each, where a
// signature may cross into the next chunk, are searched here in front of the next chunk's first
// bytes, so that a signature on a chunk border, size word included, is found exactly once, and
// no byte is read twice.
//
// It starts with the bytes `start` carries in, and `save(carried, position)` is called now and
// then and when the pass ends, stopped or not, before the carried bytes are searched as the end
// of data.
//
// With `pieces`, the records are taken into pieces as their chains settle, and only those that
// chains still to come need are kept.
void Scan(SourceDevice& source, const std::vector<ByteRange>& stretches, const HitSearch& search, RescueMap& map,
          const ScanStart& start, const std::function<void(std::span<const uint8_t>, int64_t)>& save,
          RunObserver& observer, FragmentList& fragments, PieceCollection* pieces, RecoveryReport& report) {
  const size_t margin = search.Margin();
  int64_t total = 0;
  for (const ByteRange& stretch : stretches) total += stretch.Length;
  ChunkSearchers searchers(source, stretches, ScanChunkSize, margin,
                           [&search](std::span<const uint8_t> bytes, int64_t start, FragmentList& out, size_t end) {
                             search.Search(bytes, start, out, end);
                           },
                           map);
  // The unexamined bytes before the chunk in hand, at most `margin`, then its first bytes.
  std::vector<uint8_t> window(std::max(2 * margin, margin + start.Carried.size()));
  size_t carried = start.Carried.size();
  std::copy(start.Carried.begin(), start.Carried.end(), window.begin());
  int64_t tailEnd = start.End;  // source offset just past the carried bytes
  SaveSchedule schedule(source.Size(), report.BytesScanned);
  size_t settleAt = SettleRecords;

  // The carried bytes' hits whose size words lie within them: the end of a stretch is the end
  // of data.
  auto flushTail = [&] {
    if (carried == 0) return;
    search.Search(std::span(window.data(), carried), tailEnd - static_cast<int64_t>(carried), fragments, SIZE_MAX);
    carried = 0;
    observer.FragmentsFound(RecordsFound(fragments, pieces));
  };

  ChunkSearchers::Chunk chunk;
  for (;;) {
    if (report.BytesScanned < total && observer.StopRequested()) {
      report.Stopped = true;
      break;
    }
    if (!searchers.Next(chunk)) break;
    observer.Yield();
    observer.ScanProgress(report.BytesScanned, total);
    if (chunk.Position != tailEnd) flushTail();

    // The carried bytes with as many of the chunk's first bytes as their hits can need.
    const size_t head = chunk.Head.size();
    std::memcpy(window.data() + carried, chunk.Head.data(), head);
    const size_t filled = carried + head;
    const size_t searchEnd = filled > margin ? filled - margin : 0;
    search.Search(std::span(window.data(), filled), chunk.Position - static_cast<int64_t>(carried), fragments,
                  searchEnd);
    fragments.append(*chunk.Hits);
    if (chunk.Length >= margin) {
      carried = margin;
      std::memcpy(window.data(), chunk.Tail.data(), margin);
    } else {
      // A chunk shorter than the margin: what is left of the window is carried on whole.
      carried = filled - searchEnd;
      std::memmove(window.data(), window.data() + searchEnd, carried);
    }
    tailEnd = chunk.Position + static_cast<int64_t>(chunk.Length);
    report.BytesScanned += static_cast<int64_t>(chunk.Length);
    report.UnreadableScanBytes += chunk.UnreadableBytes;
    if (pieces != nullptr && fragments.size() >= settleAt) {
      // Every record before the carried bytes is known, unless coming back for a stretch the
      // first pass could not read finds more: those near it wait until then.
      const int64_t known = tailEnd - static_cast<int64_t>(carried);
      pieces->Settle(fragments, std::min(known, map.ReadableUntil(0, known) - static_cast<int64_t>(margin) - 1));
      settleAt = std::max(SettleRecords, 2 * fragments.size());
    }
    observer.FragmentsFound(RecordsFound(fragments, pieces));
    if (schedule.Due(report.BytesScanned)) save(std::span(window.data(), carried), tailEnd);
  }
  save(std::span(window.data(), carried), tailEnd);
  flushTail();
}

// What a run scans, as a resumed run must share it: the mode, how deep, and the stretches.
uint64_t ScopeOf(const RecoveryRequest& request, const std::vector<ByteRange>& stretches) {
  std::vector<uint8_t> bytes = {static_cast<uint8_t>(request.Mode), static_cast<uint8_t>(request.Deep)};
  for (const ByteRange& s : stretches) {
    for (int64_t v : {s.Offset, s.Length}) {
      for (int i = 0; i < 8; ++i) bytes.push_back(static_cast<uint8_t>(v >> (8 * i)));
    }
  }
  return DigestOf(bytes.data(), bytes.size());
}

// The scan of a run: its first pass (from where the run it resumes stood), then coming back for
// what that could not read, keeping the progress as it goes. A progress file that does not fit
// raises its error at once; any other failure is returned, as what was found before it is still
// written.
std::exception_ptr ScanSource(const RecoveryRequest& request, SourceDevice& source, SourceDevice& mapped,
                              const HitSearch& search, const std::vector<ByteRange>& stretches, RescueMap& map,
                              std::optional<RunProgress>& progress, RunObserver& observer, FragmentList& fragments,
                              PieceCollection* pieces, RecoveryReport& report) {
  std::vector<ByteRange> firstPass = stretches;
  ScanStart start;
  bool scanEnded = false;
  if (request.Resume && progress) {
    firstPass = progress->Resume(fragments, pieces, start, scanEnded);
    for (const ByteRange& s : stretches) report.BytesScanned += s.Length;
    for (const ByteRange& s : firstPass) report.BytesScanned -= s.Length;
  }
  if (scanEnded) return nullptr;
  try {
    const auto save = [&](std::span<const uint8_t> carried, int64_t position) {
      if (progress) progress->Save(fragments, pieces, carried, position, false);
    };
    Scan(source, firstPass, search, map, start, save, observer, fragments, pieces, report);
    FreshSearch fresh(mapped, stretches, search.Margin(),
                      [&search](std::span<const uint8_t> bytes, int64_t at, FragmentList& out, size_t end) {
                        search.Search(bytes, at, out, end);
                      });
    // Coming back keeps the progress too: a run killed then goes on without trying again what
    // was tried, the records of the bytes read so far searched and kept with it (in any order:
    // the records are sorted once the scan has ended).
    SaveSchedule schedule(source.Size(), 0);
    const auto tried = [&](uint64_t bytes) {
      if (!progress || !schedule.Due(static_cast<int64_t>(bytes))) return;
      fresh.MergeInto(fragments);
      progress->Save(fragments, pieces, {}, source.Size(), false);
    };
    ComeBack(source, map, request.Retry, observer,
             [&fresh](int64_t offset, std::span<const uint8_t> bytes) { fresh.Add(offset, bytes); }, tried);
    fresh.MergeInto(fragments);
    SortFragments(fragments);
    if (progress && !report.Stopped) progress->Save(fragments, pieces, {}, source.Size(), true);
  } catch (...) {
    return std::current_exception();
  }
  return nullptr;
}

// The chains of the AVI modes, plain, repaired or reassembled as the request asks.
void WriteAviFiles(const RecoveryRequest& request, SourceDevice& source, const FragmentList& fragments,
                   PieceCollection* pieces, const std::optional<AviHeader>& sample, bool deep, bool repair,
                   RunObserver& observer, WriteReport& report) {
  WriteOptions options;
  options.Collected = pieces;
  options.Deep = deep;
  options.Sample = sample ? &*sample : nullptr;
  options.Repair = repair;
  options.Reassemble = request.Reassemble;
  if (request.Reassemble && request.LoadGeometry) options.Geometry = request.LoadGeometry(source);
  options.KeepUndecodable = request.KeepUndecodable;
  // Free-space mode joins only free clusters: the stretches that were scanned.
  if (request.Ranges) options.Usable = StretchesToScan(request.Ranges, source.Size());
  WriteFragments(source, fragments, request.Header, request.OutputFolder, observer, report, options);
}

}  // namespace

const std::vector<std::string>& PatternsFor(ScanMode mode) {
  return mode == ScanMode::Container ? ContainerPatterns : AviChunkPatterns;
}

bool SampleServesMode(SampleKind kind, ScanMode mode) {
  return (mode == ScanMode::Container) == (kind != SampleKind::Avi);
}

uint64_t VideoFramesWritten(const RecoveryReport& report) {
  uint64_t frames = 0;
  for (const WrittenFile& file : report.Write.Files) frames += VideoFramesOf(file, report.StreamTypes);
  return frames;
}

std::vector<KindCount> FilesByKind(const WriteReport& report) {
  std::vector<KindCount> kinds;
  for (const WrittenFile& file : report.Files) {
    if (!file.Complete) continue;
    auto kind = std::find_if(kinds.begin(), kinds.end(), [&](const KindCount& k) { return k.Kind == file.Kind; });
    if (kind == kinds.end()) kind = kinds.insert(kinds.end(), KindCount{file.Kind});
    ++kind->Files;
    kind->Rebuilt += file.Rebuilt ? 1 : 0;
    kind->BrokenOff += file.Intact ? 0 : 1;
  }
  return kinds;
}

void RunRecovery(const RecoveryRequest& request, RunObserver& observer, RecoveryReport& report) {
  SourceDevice& source = *request.Source;
  report.SourceSize = source.Size();
  const SampleKind sampleKind = SampleKindOf(request.Header);
  if (!SampleServesMode(sampleKind, request.Mode)) {
    throw KorvidError(ErrorKind::WrongSample, "",
                      sampleKind == SampleKind::Avi ? "Container mode needs an MP4, MOV or MXF sample."
                                                    : "The AVI modes need an AVI sample.");
  }
  // Both follow AVI chunks: the container mode has none.
  const bool deep = request.Deep && request.Mode != ScanMode::Container;
  const bool repair = request.RepairHeaders && request.Mode != ScanMode::Container;
  std::string problem;
  const std::optional<AviHeader> sample = ParseAviHeader(request.Header, problem);
  if (!sample && (deep || repair)) report.HeaderProblem = problem;
  if (sample) {
    for (const AviStream& stream : sample->Streams) report.StreamTypes.push_back(stream.Type);
  }

  const PatternList patterns(PatternsFor(request.Mode));
  // Chunks of streams the sample does not declare belong to no recording of its device; a
  // header that cannot be read declares nothing, so then every stream is followed.
  const HitSearch search = deep ? HitSearch(source.Size(), sample ? static_cast<unsigned>(sample->Streams.size()) : MaxStreams)
                                : HitSearch(patterns);
  FragmentList fragments;
  const auto scanStart = std::chrono::steady_clock::now();
  const std::vector<ByteRange> stretches = StretchesToScan(request.Ranges, source.Size());
  RescueMap map(source.Size(), stretches);
  for (const ByteRange& bad : request.KnownBad) map.MarkWithin(bad, SectorState::Bad, stretches);
  // What the scan could not read, the writer does not ask of the disk again.
  MappedSource mapped(source, map);
  std::optional<RunProgress> progress;
  if (request.ProgressFolder) progress.emplace(*request.ProgressFolder, source, stretches, ScopeOf(request, stretches), map);
  // Recordings joined from their pieces need only the pieces, which the scan collects as it goes.
  std::optional<PieceCollection> pieces;
  if (deep && repair && request.Reassemble && sample) pieces.emplace();
  PieceCollection* collected = pieces ? &*pieces : nullptr;
  const std::exception_ptr scanError =
      ScanSource(request, source, mapped, search, stretches, map, progress, observer, fragments, collected, report);
  report.UnreadableRanges = map.Unreadable();
  report.UnreadableScanBytes = 0;
  for (const ByteRange& range : report.UnreadableRanges) report.UnreadableScanBytes += static_cast<uint64_t>(range.Length);
  report.ScanSeconds = SecondsSince(scanStart);
  report.FragmentsFound = RecordsFound(fragments, collected);

  if (!std::is_sorted(fragments.begin(), fragments.end(), FragmentBefore)) SortFragments(fragments);
  const auto writeStart = std::chrono::steady_clock::now();
  try {
    if (request.Mode == ScanMode::Container) {
      WriteContainerFiles(mapped, fragments, SampleMovieBox(request.Header), request.OutputFolder, observer,
                          report.Write);
    } else {
      WriteAviFiles(request, mapped, fragments, collected, sample, deep, repair, observer, report.Write);
    }
    if (request.LoadEntries) NameFiles(mapped, request.LoadEntries(mapped), request.NameFromSource, report.Write);
  } catch (...) {
    report.WriteSeconds = SecondsSince(writeStart);
    // The files completed before the failure are listed too; a list that cannot be written
    // then adds nothing to the failure already raised.
    try {
      AppendFileReport(request.OutputFolder, report.Write.Files, report.StreamTypes);
    } catch (const KorvidError&) {
    }
    throw;
  }
  AppendFileReport(request.OutputFolder, report.Write.Files, report.StreamTypes);
  report.WriteSeconds = SecondsSince(writeStart);
  if (scanError) std::rethrow_exception(scanError);
  if (progress && !report.Stopped) progress->Finish();
}

}  // namespace korvid
