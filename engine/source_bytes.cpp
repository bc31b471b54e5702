#include "source_bytes.h"

#include <algorithm>
#include <cstring>

#include "sector_reader.h"

namespace korvid {

bool SourceBytes::Read(int64_t offset, size_t length, uint8_t* out) {
  if (offset < 0 || offset > size_ || static_cast<int64_t>(length) > size_ - offset) return false;
  while (length > 0) {
    if (blockStart_ < 0 || offset < blockStart_ || offset >= blockStart_ + BlockBytes) {
      blockStart_ = offset / BlockBytes * BlockBytes;
      block_.resize(static_cast<size_t>(BlockBytes));
      ReadSectors(source_, blockStart_, block_.data(), block_.size(), 0, 0);
    }
    const size_t from = static_cast<size_t>(offset - blockStart_);
    const size_t take = std::min(length, block_.size() - from);
    std::memcpy(out, block_.data() + from, take);
    out += take;
    offset += static_cast<int64_t>(take);
    length -= take;
  }
  return true;
}

}  // namespace korvid
