#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "source_device.h"

namespace korvid {

// Every source is read in whole sectors of this size.
inline constexpr int64_t SectorSize = 512;

// Position mod 512.
int64_t SectorOffset(int64_t position);
// The start of the sector that holds `position`.
int64_t SectorBase(int64_t position);
// The length of the whole-sector read that covers `count` bytes at `position`. A range that
// already ends on a sector boundary gets one further sector.
int64_t SectorSpan(int64_t count, int64_t position);

// Fills buffer[0, length) from `offset`. When the read fails, the range is read again sector by
// sector, so every readable sector still arrives; unreadable sectors and anything past the end
// of data are zeros. Returns how many bytes of buffer[countFrom, countTo) could not be read.
uint64_t ReadSectors(SourceDevice& source, int64_t offset, uint8_t* buffer, size_t length,
                     size_t countFrom, size_t countTo);

// Reads arbitrary byte ranges of a source through whole-sector reads.
class SectorReader {
 public:
  explicit SectorReader(SourceDevice& source) : source_(source) {}

  // Reads `count` bytes at `position` into `dest` (resized to `count`) through one aligned read
  // of SectorSpan bytes from SectorBase. Returns `count`.
  int64_t ReadAligned(int64_t count, std::vector<uint8_t>& dest, int64_t position);

  // Bytes of the requested ranges that could not be read and were given as zeros.
  uint64_t UnreadableBytes() const { return unreadable_; }

 private:
  SourceDevice& source_;
  std::vector<uint8_t> scratch_;  // reused between calls; zeroed before each read
  uint64_t unreadable_ = 0;
};

}  // namespace korvid
