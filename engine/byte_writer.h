#pragma once

#include <cstdint>
#include <vector>

namespace korvid {

// Appends little-endian fields to a byte buffer, as RIFF structures store them.
class ByteWriter {
 public:
  explicit ByteWriter(std::vector<uint8_t>& out) : out_(out) {}

  ByteWriter& U8(uint8_t v) {
    out_.push_back(v);
    return *this;
  }
  ByteWriter& U16(uint16_t v) { return Unsigned(v, 2); }
  ByteWriter& U32(uint32_t v) { return Unsigned(v, 4); }
  ByteWriter& U64(uint64_t v) { return Unsigned(v, 8); }

 private:
  ByteWriter& Unsigned(uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) out_.push_back(static_cast<uint8_t>(v >> (8 * i)));
    return *this;
  }

  std::vector<uint8_t>& out_;
};

}  // namespace korvid
