#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace korvid {

// A stretch of the source in bytes: [Offset, Offset + Length).
struct ByteRange {
  int64_t Offset = 0;
  int64_t Length = 0;
  bool operator==(const ByteRange&) const = default;
};

// Calls part(position, length) for each stretch of the source that holds, in turn, the `count`
// bytes from `offset` on of the bytes that `extents` hold one after another: how a chunk laid
// over several stretches is read.
template <typename Part>
void ForEachPartOf(std::span<const ByteRange> extents, uint64_t offset, size_t count, Part&& part) {
  for (const ByteRange& extent : extents) {
    if (count == 0) return;
    const uint64_t length = static_cast<uint64_t>(extent.Length);
    if (offset >= length) {
      offset -= length;
      continue;
    }
    const size_t take = static_cast<size_t>(std::min<uint64_t>(length - offset, count));
    part(extent.Offset + static_cast<int64_t>(offset), take);
    count -= take;
    offset = 0;
  }
}

}  // namespace korvid
