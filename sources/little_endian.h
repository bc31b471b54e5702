#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace korvid::sources {

// The unsigned little-endian number of `width` bytes (1 to 8) at `offset` of `bytes`; nullopt when
// those bytes reach past the end, so that a short reply or sector is never read beyond what it
// holds.
inline std::optional<uint64_t> LittleEndianAt(std::span<const uint8_t> bytes, size_t offset, size_t width) {
  if (width == 0 || width > 8 || offset > bytes.size() || bytes.size() - offset < width) return std::nullopt;
  uint64_t value = 0;
  for (size_t i = width; i-- > 0;) value = (value << 8) | bytes[offset + i];
  return value;
}

// The same bytes read as a signed two's-complement number of 8 bytes.
inline std::optional<int64_t> SignedLittleEndian64At(std::span<const uint8_t> bytes, size_t offset) {
  const std::optional<uint64_t> value = LittleEndianAt(bytes, offset, 8);
  if (!value) return std::nullopt;
  return static_cast<int64_t>(*value);
}

}  // namespace korvid::sources
