#include "fragment_writer.h"

#include <algorithm>
#include <string>

#include "avi_layout.h"
#include "chain_finder.h"
#include "fourcc.h"
#include "keyframe.h"
#include "movi_chunks.h"
#include "output_file.h"
#include "sector_reader.h"

namespace korvid {
namespace {

class ChainWriter {
 public:
  ChainWriter(SourceDevice& source, const std::vector<uint8_t>& header, const std::filesystem::path& folder,
              const WriteOptions& options, RunObserver& observer, WriteReport& report)
      : reader_(source), sourceSize_(source.Size()), header_(header), folder_(folder), options_(options),
        observer_(observer), report_(report) {}

  void Write(std::span<const Fragment> chain) {
    WrittenFile& file = report_.Files.emplace_back();
    file.Path = folder_ / (std::to_string(report_.Files.size()) + ".AVI");
    file.SourceStart = chain.front().Position;
    file.SourceEnd = std::min(MemberEnd(chain.back()), sourceSize_);
    file.Records = chain.size();

    std::optional<AviLayout> layout;
    if (options_.Repair && options_.Sample != nullptr) {
      layout = LayOutRepairedAvi(*options_.Sample, chain, sourceSize_, options_.SegmentBytes);
    }
    OutputFile out(file.Path);
    if (layout) {
      WriteRepaired(out, file, *layout);
    } else {
      WritePlain(out, file, chain);
    }
    out.Close();
    file.Complete = true;
  }

 private:
  void WritePlain(OutputFile& out, WrittenFile& file, std::span<const Fragment> chain) {
    std::vector<uint64_t> bytes;
    for (const Fragment& f : chain) {
      const int stream = StreamOf(f.Id);
      if (KindOf(f.Id) != MoviChunkKind::Data || f.Length < 8) continue;  // not a frame, or a size that wrapped
      if (file.FramesPerStream.size() <= static_cast<size_t>(stream)) {
        file.FramesPerStream.resize(static_cast<size_t>(stream) + 1);
        bytes.resize(static_cast<size_t>(stream) + 1);
      }
      ++file.FramesPerStream[static_cast<size_t>(stream)];
      bytes[static_cast<size_t>(stream)] += f.Length - 8u;
    }
    if (options_.Sample != nullptr) file.DurationSeconds = DurationSeconds(*options_.Sample, file.FramesPerStream, bytes);

    Put(out, file, header_.data(), header_.size());
    Copy(out, file, file.SourceStart, file.SourceEnd, {});
  }

  void WriteRepaired(OutputFile& out, WrittenFile& file, AviLayout& layout) {
    file.Repaired = true;
    file.FramesPerStream = layout.ChunksPerStream;
    file.DurationSeconds = layout.DurationSeconds;
    Put(out, file, layout.Header);
    for (size_t k = 0; k < layout.Segments.size(); ++k) {
      const AviSegment& segment = layout.Segments[k];
      if (k > 0) Put(out, file, SegmentStart(segment));
      std::span<LaidChunk> chunks(layout.Chunks.data() + segment.FirstChunk, segment.EndChunk - segment.FirstChunk);
      // Chunks that lie back to back on the source are copied in one stretch.
      while (!chunks.empty()) {
        size_t run = 1;
        int64_t end = chunks[0].Source + static_cast<int64_t>(chunks[0].Span());
        while (run < chunks.size() && chunks[run].Source == end) end += static_cast<int64_t>(chunks[run++].Span());
        Copy(out, file, chunks[0].Source, end, chunks.first(run));
        chunks = chunks.subspan(run);
      }
      for (const StreamIndexPlace& place : segment.Indexes) Put(out, file, StandardIndexChunk(layout, segment, place));
      if (k == 0) Put(out, file, Idx1Chunk(layout));
    }
  }

  // Copies source bytes [start, end) to the file, and on the way tells the keyframes among
  // `chunks`, the video chunks that lie in that stretch, from the first bytes of their data.
  void Copy(OutputFile& out, WrittenFile& file, int64_t start, int64_t end, std::span<LaidChunk> chunks) {
    size_t probed = 0;
    probe_.clear();
    for (int64_t at = start; at < end; at += WritePieceSize) {
      observer_.Yield();
      const int64_t length = std::min(WritePieceSize, end - at);
      const uint64_t unreadableBefore = reader_.UnreadableBytes();
      reader_.ReadAligned(length, piece_, at);
      const uint64_t unreadable = reader_.UnreadableBytes() - unreadableBefore;
      file.UnreadableBytes += unreadable;
      report_.UnreadableBytes += unreadable;
      Put(out, file, piece_.data(), piece_.size());

      for (; probed < chunks.size(); ++probed) {
        LaidChunk& chunk = chunks[probed];
        const AviStream& stream = options_.Sample->Streams[chunk.Stream];
        if (stream.Type != FourCC("vids")) continue;
        const int64_t from = chunk.Source + 8;
        const int64_t to = from + std::min<int64_t>(chunk.Size, KeyFrameProbeBytes);
        const int64_t lo = std::max(from, at);
        const int64_t hi = std::min(to, at + length);
        if (hi > lo) probe_.insert(probe_.end(), piece_.begin() + (lo - at), piece_.begin() + (hi - at));
        if (to > at + length) break;
        chunk.KeyFrame = IsKeyFrame(stream, probe_);
        probe_.clear();
      }
    }
  }

  void Put(OutputFile& out, WrittenFile& file, const std::vector<uint8_t>& bytes) {
    Put(out, file, bytes.data(), bytes.size());
  }
  void Put(OutputFile& out, WrittenFile& file, const uint8_t* data, size_t length) {
    out.Write(data, length);
    file.Bytes += length;
    report_.BytesWritten += length;
  }

  SectorReader reader_;
  const int64_t sourceSize_;
  const std::vector<uint8_t>& header_;
  const std::filesystem::path& folder_;
  const WriteOptions& options_;
  RunObserver& observer_;
  WriteReport& report_;
  std::vector<uint8_t> piece_;
  std::vector<uint8_t> probe_;
};

}  // namespace

void WriteFragments(SourceDevice& source, const FragmentList& fragments,
                    const std::vector<uint8_t>& header, const std::filesystem::path& outputFolder,
                    RunObserver& observer, WriteReport& report, const WriteOptions& options) {
  ChainWriter writer(source, header, outputFolder, options, observer, report);
  ChainFinder finder(fragments, options.Deep, observer);
  for (;;) {
    const std::span<const Fragment> chain = finder.Next();
    if (chain.empty()) break;
    ++report.Chains;
    writer.Write(chain);
  }
}

}  // namespace korvid
