#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace korvid::testing {

// Builds a system reply byte by byte: little-endian fields at the offsets the layouts give.
class LeBytes {
 public:
  explicit LeBytes(size_t size, uint8_t fill = 0) : bytes_(size, fill) {}
  LeBytes& Put(size_t offset, uint64_t value, size_t width) {
    for (size_t i = 0; i < width; ++i) bytes_.at(offset + i) = static_cast<uint8_t>(value >> (8 * i));
    return *this;
  }
  const std::vector<uint8_t>& Bytes() const { return bytes_; }
  std::vector<uint8_t>& Bytes() { return bytes_; }

 private:
  std::vector<uint8_t> bytes_;
};

}  // namespace korvid::testing
