// Peak memory of a whole deep recovery (scan, reassembly, writing) against the number of chunks
// on the source, on a synthetic card that is generated as it is read and never stored.
//
//   korvid-scale-bench CHUNKS OUTPUT_FOLDER [CHUNKS_PER_PIECE [join-only]]
//
// With join-only, the run ends once the pieces are joined, before its first file: the files of
// the largest cards would not fit on this machine's disk (36 bytes of output a chunk).
//
// The card holds DVR recordings written three at a time, each in runs of whole 4 KiB clusters
// that take turns with its neighbours' runs: every run is one piece of about CHUNKS_PER_PIECE
// (default 2000, as a 4 TB disk of 2 KB chunks in 10^6 pieces) small video chunks, and a chunk
// that runs past the end of its run goes on at the start of its recording's next run. The
// chunks are small, so that many of them fit in a card that can be scanned in minutes: memory
// that grows with the chunks shows as well as on a disk of 2 KB chunks.
//
// Prints one JSON line: the chunks and pieces laid out, the bytes scanned, the files written
// and the pieces joined, and the peak resident memory (VmHWM, KiB) when the scan had ended,
// when the pieces were joined, and at the end.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "engine/fourcc.h"
#include "engine/scan_driver.h"
#include "tests/engine/riff_builder.h"

namespace {

using namespace korvid;

constexpr int64_t Cluster = 4096;
constexpr int Interleaved = 3;  // recordings written at once
constexpr int PiecesPerRecording = 100;

// The peak resident memory so far, in KiB.
long PeakKiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  }
  return 0;
}

// The sample's head, of a codec the engine does not decode: the frames are filler.
std::vector<uint8_t> SampleHead() {
  std::vector<uint8_t> bytes = testing::riff::FfmpegLike();
  for (size_t at = 0; at + 4 <= bytes.size(); ++at) {
    if (testing::riff::Get32(bytes, at) == FourCC("H264")) std::memcpy(bytes.data() + at, "TEST", 4);
  }
  return bytes;
}

// A card of recordings that all have the same layout: the sample's head, then video chunks whose
// sizes repeat every 4096 chunks, so that any byte of a recording is found by arithmetic.
class SyntheticCard : public SourceDevice {
 public:
  SyntheticCard(int64_t chunks, int64_t chunksPerPiece, std::vector<uint8_t> head) : head_(std::move(head)) {
    for (size_t k = 0; k < sizes_.size(); ++k) {
      starts_[k] = period_;
      // 8 to 48 bytes of data, in an order without a short period. Every chunk is a multiple of
      // 8 bytes long, and the recordings written at once start theirs at other offsets modulo 8
      // (a JUNK chunk of 0, 2 or 4 bytes after the head): a chunk's end never lands on another
      // recording's chunk by chance, which chunks this small would otherwise do every few runs.
      const uint64_t mixed = (k + 1) * 0x9e3779b97f4a7c15ull;
      sizes_[k] = static_cast<uint32_t>(8 + 8 * ((mixed >> 40) % 6));
      period_ += 8 + sizes_[k];
    }
    const int64_t perChunk = period_ / static_cast<int64_t>(sizes_.size());
    run_ = std::max<int64_t>(1, chunksPerPiece * perChunk / Cluster) * Cluster;
    const int64_t pieces = std::max<int64_t>(Interleaved, chunks / chunksPerPiece);
    groups_ = std::max<int64_t>(1, pieces / (Interleaved * PiecesPerRecording));
    runsPerRecording_ = std::max<int64_t>(1, pieces / (groups_ * Interleaved));
    recording_ = runsPerRecording_ * run_;
    // Whole periods of chunks, the last one's place left as filler, so that the last chunk ends whole.
    periods_ = (recording_ - static_cast<int64_t>(head_.size()) - 12) / period_;
    chunksPerRecording_ = periods_ * static_cast<int64_t>(sizes_.size());
    size_ = groups_ * Interleaved * recording_ + 4 * Cluster;
  }

  const std::string& Path() const override { return path_; }
  int64_t Size() const override { return size_; }
  int64_t Chunks() const { return groups_ * Interleaved * chunksPerRecording_; }
  int64_t Pieces() const { return groups_ * Interleaved * runsPerRecording_; }
  int64_t Recordings() const { return groups_ * Interleaved; }

  ReadResult ReadAt(int64_t offset, uint8_t* buffer, size_t length) override {
    const size_t bytes = static_cast<size_t>(std::clamp<int64_t>(size_ - offset, 0, static_cast<int64_t>(length)));
    for (size_t done = 0; done < bytes;) {
      const int64_t at = offset + static_cast<int64_t>(done);
      const int64_t inRun = at % run_;
      const size_t take = static_cast<size_t>(std::min<int64_t>(run_ - inRun, static_cast<int64_t>(bytes - done)));
      const int64_t runIndex = at / run_;
      const int64_t group = runIndex / (Interleaved * runsPerRecording_);
      const int64_t turn = runIndex % (Interleaved * runsPerRecording_) / Interleaved;
      if (group >= groups_) {
        std::memset(buffer + done, Filler, take);
      } else {
        RecordingBytes(group * Interleaved + runIndex % Interleaved, turn * run_ + inRun, buffer + done, take);
      }
      done += take;
    }
    return {bytes, 0};
  }

 private:
  static constexpr uint8_t Filler = 0xa5;

  // Bytes of recording `r` from `at` on. Each recording starts at another place in the period of
  // chunk sizes, so that the chunks the runs break differ from one recording to the next.
  void RecordingBytes(int64_t r, int64_t at, uint8_t* out, size_t length) const {
    const int64_t headSize = static_cast<int64_t>(head_.size());
    const int64_t shift = starts_[static_cast<size_t>(r * 997) % starts_.size()];
    const uint32_t junk = static_cast<uint32_t>(2 * (r % Interleaved));
    const int64_t dataStart = headSize + 8 + junk;
    const int64_t dataEnd = dataStart + periods_ * period_;
    for (size_t i = 0; i < length; ++i, ++at) {
      if (at < headSize) {
        out[i] = head_[static_cast<size_t>(at)];
      } else if (at < dataStart) {
        static const char junkId[4] = {'J', 'U', 'N', 'K'};
        const int64_t inJunk = at - headSize;
        out[i] = inJunk < 4 ? static_cast<uint8_t>(junkId[inJunk]) : inJunk < 8 ? static_cast<uint8_t>(junk >> (8 * (inJunk - 4))) : 0;
      } else if (at >= dataEnd) {
        out[i] = Filler;
      } else {
        const int64_t inPeriod = (at - dataStart + shift) % period_;
        const size_t k = static_cast<size_t>(std::upper_bound(starts_.begin(), starts_.end(), inPeriod) - starts_.begin() - 1);
        const int64_t inChunk = inPeriod - starts_[k];
        static const char id[4] = {'0', '0', 'd', 'c'};
        if (inChunk < 4) {
          out[i] = static_cast<uint8_t>(id[inChunk]);
        } else if (inChunk < 8) {
          out[i] = static_cast<uint8_t>(sizes_[k] >> (8 * (inChunk - 4)));
        } else {
          out[i] = Filler;
        }
      }
    }
  }

  const std::vector<uint8_t> head_;
  std::array<uint32_t, 4096> sizes_{};
  std::array<int64_t, 4096> starts_{};
  int64_t period_ = 0;
  int64_t run_ = 0;
  int64_t groups_ = 0;
  int64_t runsPerRecording_ = 0;
  int64_t recording_ = 0;
  int64_t periods_ = 0;  // whole periods of chunks in each recording
  int64_t chunksPerRecording_ = 0;
  int64_t size_ = 0;
  const std::string path_ = "synthetic card";
};

// Ends a run that was to scan and join only, before its first file.
struct Joined {};

// Takes the peak memory as the run goes from scanning to joining to writing; with `joinOnly`,
// ends the run once the pieces are joined.
struct PhasePeaks : RunObserver {
  explicit PhasePeaks(bool joinOnly) : joinOnly(joinOnly) {}
  void JoinProgress(uint64_t, uint64_t) override {
    if (scanned == 0) scanned = PeakKiB();
    joining = true;
  }
  void WriteProgress(uint64_t, uint64_t) override {
    if (scanned == 0) scanned = PeakKiB();
    if (!joining || joined != 0) return;
    joined = PeakKiB();
    if (joinOnly) throw Joined{};
  }
  const bool joinOnly;
  bool joining = false;
  long scanned = 0, joined = 0;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: korvid-scale-bench CHUNKS OUTPUT_FOLDER [CHUNKS_PER_PIECE [join-only]]\n");
    return 2;
  }
  const bool joinOnly = argc > 4 && std::strcmp(argv[4], "join-only") == 0;
  const int64_t chunks = std::strtoll(argv[1], nullptr, 10);
  const int64_t perPiece = argc > 3 ? std::strtoll(argv[3], nullptr, 10) : 2000;
  if (chunks <= 0 || perPiece <= 0) {
    std::fprintf(stderr, "korvid-scale-bench: CHUNKS and CHUNKS_PER_PIECE are counts above 0\n");
    return 2;
  }
  const std::vector<uint8_t> head = SampleHead();
  SyntheticCard card(chunks, perPiece, head);
  RecoveryRequest request;
  request.Source = &card;
  request.OutputFolder = argv[2];
  request.Header = head;
  request.Deep = true;
  request.RepairHeaders = true;
  request.Reassemble = true;
  // As korvid-cli runs: keeping its progress in the output folder.
  request.ProgressFolder = argv[2];
  // The card's file system, as The Sleuth Kit would give it: 4 KiB clusters from byte 0.
  request.LoadGeometry = [](SourceDevice& source) {
    ClusterGeometry geometry;
    geometry.From = GeometrySource::FileSystem;
    geometry.Grids.push_back({0, source.Size(), Cluster, 0});
    return geometry;
  };
  RecoveryReport report;
  PhasePeaks peaks(joinOnly);
  try {
    RunRecovery(request, peaks, report);
  } catch (const Joined&) {
  } catch (const std::exception& e) {
    std::fprintf(stderr, "korvid-scale-bench: %s\n", e.what());
    return 1;
  }
  std::printf(
      "{\"chunks\": %lld, \"pieces\": %lld, \"recordings\": %lld, \"source_bytes\": %lld, \"records_found\": %llu, "
      "\"files\": %zu, \"joined_recordings\": %llu, \"pieces_in_joined\": %llu, \"peak_kib_scan\": %ld, "
      "\"peak_kib_joined\": %ld, \"peak_kib\": %ld, \"scan_seconds\": %.1f, \"write_seconds\": %.1f, "
      "\"written\": %s}\n",
      static_cast<long long>(card.Chunks()), static_cast<long long>(card.Pieces()),
      static_cast<long long>(card.Recordings()), static_cast<long long>(card.Size()),
      static_cast<unsigned long long>(report.FragmentsFound), report.Write.Files.size(),
      static_cast<unsigned long long>(report.Write.JoinedRecordings),
      static_cast<unsigned long long>(report.Write.PiecesInJoined), peaks.scanned, peaks.joined, PeakKiB(),
      report.ScanSeconds, report.WriteSeconds, joinOnly ? "false" : "true");
  return 0;
}
