#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "source_device.h"

namespace korvid {

// Reads byte ranges of a source at any offset through one block of whole sectors read ahead, so
// that walking a container's boxes or streaming through its media data costs one read per block,
// not one per field.
class SourceBytes {
 public:
  static constexpr int64_t BlockBytes = 1 << 20;

  explicit SourceBytes(SourceDevice& source) : source_(source), size_(source.Size()) {}

  int64_t Size() const { return size_; }

  // Copies [offset, offset + length) into `out`. False, with nothing copied, when the range does
  // not lie wholly within the source. Unreadable sectors read as zeros.
  bool Read(int64_t offset, size_t length, uint8_t* out);

 private:
  SourceDevice& source_;
  int64_t size_;
  std::vector<uint8_t> block_;
  int64_t blockStart_ = -1;
};

}  // namespace korvid
