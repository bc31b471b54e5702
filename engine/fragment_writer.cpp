#include "fragment_writer.h"

#include <algorithm>
#include <string>

#include "output_file.h"
#include "sector_reader.h"

namespace korvid {
namespace {

// True when `next` starts where the chunk of `current` ends, with or without a pad byte.
bool Continues(const Fragment& current, const Fragment& next) {
  const int64_t distance = next.Position - current.Position;
  const int64_t length = current.Length;
  return distance > 0 && (distance == length || distance == length + 1);
}

// One past the last byte of the chunk that `f` heads, its pad byte included.
int64_t ChunkEnd(const Fragment& f, int64_t sourceSize) {
  const int64_t end = f.Position + static_cast<int64_t>(f.Length) + (f.Length & 1u);
  return std::min(end, sourceSize);
}

class ChainWriter {
 public:
  ChainWriter(SourceDevice& source, const std::vector<uint8_t>& header,
              const std::filesystem::path& folder, RunObserver& observer, WriteReport& report)
      : reader_(source), header_(header), folder_(folder), observer_(observer),
        report_(report) {}

  void Write(int64_t start, int64_t end, uint64_t records) {
    WrittenFile& file = report_.Files.emplace_back();
    file.Path = folder_ / (std::to_string(report_.Files.size()) + ".AVI");
    file.SourceStart = start;
    file.SourceEnd = end;
    file.Records = records;

    OutputFile out(file.Path);
    Put(out, file, header_.data(), header_.size());
    for (int64_t at = start; at < end; at += WritePieceSize) {
      observer_.Yield();
      const int64_t length = std::min(WritePieceSize, end - at);
      const uint64_t unreadableBefore = reader_.UnreadableBytes();
      reader_.ReadAligned(length, piece_, at);
      const uint64_t unreadable = reader_.UnreadableBytes() - unreadableBefore;
      file.UnreadableBytes += unreadable;
      report_.UnreadableBytes += unreadable;
      Put(out, file, piece_.data(), piece_.size());
    }
    out.Close();
    file.Complete = true;
  }

 private:
  void Put(OutputFile& out, WrittenFile& file, const uint8_t* data, size_t length) {
    out.Write(data, length);
    file.Bytes += length;
    report_.BytesWritten += length;
  }

  SectorReader reader_;
  const std::vector<uint8_t>& header_;
  const std::filesystem::path& folder_;
  RunObserver& observer_;
  WriteReport& report_;
  std::vector<uint8_t> piece_;
};

}  // namespace

void WriteFragments(SourceDevice& source, const FragmentList& fragments,
                    const std::vector<uint8_t>& header, const std::filesystem::path& outputFolder,
                    RunObserver& observer, WriteReport& report) {
  const size_t count = fragments.size();
  if (count < 2) return;
  ChainWriter writer(source, header, outputFolder, observer, report);
  const int64_t sourceSize = source.Size();

  size_t first = 0;  // index of the open chain's first record
  for (size_t i = 0; i + 1 < count; ++i) {
    observer.Yield();
    observer.WriteProgress(i, count);
    if (Continues(fragments[i], fragments[i + 1])) continue;
    if (i > first) {
      ++report.Chains;
      writer.Write(fragments[first].Position, ChunkEnd(fragments[i], sourceSize), i - first + 1);
    }
    first = i + 1;
  }
  if (first < count - 1) {
    ++report.Chains;
    writer.Write(fragments[first].Position, ChunkEnd(fragments[count - 1], sourceSize),
                 count - first);
  }
}

}  // namespace korvid
