#pragma once

#include <cstdint>
#include <vector>

namespace korvid {

// A stretch of the source in bytes: [Offset, Offset + Length).
struct ByteRange {
  int64_t Offset = 0;
  int64_t Length = 0;
  bool operator==(const ByteRange&) const = default;
};

}  // namespace korvid
