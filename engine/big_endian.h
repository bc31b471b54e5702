#pragma once

#include <cstdint>

namespace korvid {

// Big-endian fields, as ISO media boxes and MXF packs store them.
inline uint16_t BigEndian16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }

inline uint32_t BigEndian32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 |
         static_cast<uint32_t>(p[3]);
}

inline uint64_t BigEndian64(const uint8_t* p) {
  return static_cast<uint64_t>(BigEndian32(p)) << 32 | BigEndian32(p + 4);
}

inline void PutBigEndian32(uint8_t* p, uint32_t value) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(value >> (24 - 8 * i));
}

inline void PutBigEndian64(uint8_t* p, uint64_t value) {
  PutBigEndian32(p, static_cast<uint32_t>(value >> 32));
  PutBigEndian32(p + 4, static_cast<uint32_t>(value));
}

}  // namespace korvid
