#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace korvid {

// The little-endian word at `p`, as RIFF structures store their fields.
inline uint32_t LittleEndian32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

inline uint64_t LittleEndian64(const uint8_t* p) {
  return static_cast<uint64_t>(LittleEndian32(p)) | static_cast<uint64_t>(LittleEndian32(p + 4)) << 32;
}

inline void PutLittleEndian32(uint8_t* p, uint32_t value) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(value >> (8 * i));
}

// Appends little-endian fields to a byte buffer.
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
  ByteWriter& Zeros(size_t count) {
    out_.resize(out_.size() + count);
    return *this;
  }

 private:
  ByteWriter& Unsigned(uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) out_.push_back(static_cast<uint8_t>(v >> (8 * i)));
    return *this;
  }

  std::vector<uint8_t>& out_;
};

}  // namespace korvid
