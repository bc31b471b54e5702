#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <unordered_map>
#include <vector>

#include "engine/scan_ranges.h"
#include "engine/source_device.h"

namespace korvid {

// Reads the bytes of chunks laid over stretches of the source through a few cached windows of
// it. Weighing the joins of one piece lays the same chunk out many ways, and every layout reads
// the clusters next to the two pieces again: from the cache they cost a copy, not a read.
class SourceWindows {
 public:
  static constexpr int64_t WindowBytes = 4096;
  static constexpr size_t Windows = 512;

  explicit SourceWindows(SourceDevice& source) : source_(source) {}

  // Reads `count` bytes from `offset` on of the bytes that `extents` hold in turn into `out`.
  // Unreadable sectors and bytes past the source's end read as zeros.
  void Read(std::span<const ByteRange> extents, uint64_t offset, size_t count, std::vector<uint8_t>& out);

 private:
  // The window that starts at `start` (a multiple of WindowBytes), read if need be.
  const std::vector<uint8_t>& Window(int64_t start);

  SourceDevice& source_;
  std::vector<std::vector<uint8_t>> windows_;
  std::vector<int64_t> starts_;        // of each window held
  std::vector<bool> used_;             // since the clock hand last passed it
  std::unordered_map<int64_t, size_t> held_;  // start -> window
  size_t hand_ = 0;
};

}  // namespace korvid
