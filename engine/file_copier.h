#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "fragment_writer.h"
#include "output_file.h"
#include "run_control.h"
#include "sector_reader.h"

namespace korvid {

// Copies stretches of the source into output files in pieces of WritePieceSize, through
// whole-sector reads, and counts the bytes written and those that could not be read, per file
// and for the run.
class FileCopier {
 public:
  FileCopier(SourceDevice& source, RunObserver& observer, WriteReport& report)
      : reader_(source), observer_(observer), report_(report) {}

  // Copies source bytes [start, end) to the file, yielding before each piece; `seen(at, bytes)`
  // is shown each piece after it is written.
  template <typename Seen>
  void Copy(OutputFile& out, WrittenFile& file, int64_t start, int64_t end, Seen&& seen) {
    for (int64_t at = start; at < end; at += WritePieceSize) {
      observer_.Yield();
      const int64_t length = std::min(WritePieceSize, end - at);
      const uint64_t unreadableBefore = reader_.UnreadableBytes();
      reader_.ReadAligned(length, piece_, at);
      const uint64_t unreadable = reader_.UnreadableBytes() - unreadableBefore;
      file.UnreadableBytes += unreadable;
      report_.UnreadableBytes += unreadable;
      Put(out, file, piece_.data(), piece_.size());
      seen(at, std::span<const uint8_t>(piece_));
    }
  }
  void Copy(OutputFile& out, WrittenFile& file, int64_t start, int64_t end) {
    Copy(out, file, start, end, [](int64_t, std::span<const uint8_t>) {});
  }

  void Put(OutputFile& out, WrittenFile& file, const uint8_t* data, size_t length) {
    out.Write(data, length);
    file.Bytes += length;
    report_.BytesWritten += length;
  }
  void Put(OutputFile& out, WrittenFile& file, const std::vector<uint8_t>& bytes) {
    Put(out, file, bytes.data(), bytes.size());
  }

  SectorReader& Reader() { return reader_; }

 private:
  SectorReader reader_;
  RunObserver& observer_;
  WriteReport& report_;
  std::vector<uint8_t> piece_;
};

}  // namespace korvid
