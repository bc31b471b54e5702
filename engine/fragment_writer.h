#pragma once

#include <cstdint>
#include <filesystem>
#include <vector>

#include "fragment.h"
#include "run_control.h"
#include "source_device.h"

namespace korvid {

// The writer copies a chain in pieces of this many bytes.
inline constexpr int64_t WritePieceSize = 262144;

struct WrittenFile {
  std::filesystem::path Path;
  int64_t SourceStart = 0;       // first source byte of the chain
  int64_t SourceEnd = 0;         // one past its last byte
  uint64_t Records = 0;          // chunks in the chain
  uint64_t Bytes = 0;            // bytes in the file, header included
  uint64_t UnreadableBytes = 0;  // source bytes that could not be read and were written as zeros
  bool Complete = false;         // false only for the file a failure interrupted
};

struct WriteReport {
  std::vector<WrittenFile> Files;
  uint64_t Chains = 0;  // chains of two or more records found in the list
  uint64_t BytesWritten = 0;
  uint64_t UnreadableBytes = 0;
};

// Joins the records of `fragments` (ascending Position) whose chunks lie back to back, and
// writes each chain of two or more as "<n>.AVI" in `outputFolder`: `header`, then the source
// bytes from the chain's first record to the end of its last chunk (pad byte included, cut at
// the end of the source). Fills `report` as it goes; a failure raises KorvidError, and the files
// completed before it stay.
void WriteFragments(SourceDevice& source, const FragmentList& fragments,
                    const std::vector<uint8_t>& header, const std::filesystem::path& outputFolder,
                    RunObserver& observer, WriteReport& report);

}  // namespace korvid
