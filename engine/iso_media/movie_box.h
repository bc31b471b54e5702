#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "engine/big_endian.h"
#include "engine/scan_ranges.h"

namespace korvid::iso {

// An ISO/QuickTime box type as the big-endian word its four bytes make on disk, which is how
// this namespace compares every box type, handler and sample-entry format: BoxType("moov") ==
// BigEndian32 of the bytes "moov". Unlike korvid::FourCC, which gives RIFF's little-endian word.
constexpr uint32_t BoxType(const char (&text)[5]) {
  return static_cast<uint32_t>(static_cast<uint8_t>(text[0])) << 24 |
         static_cast<uint32_t>(static_cast<uint8_t>(text[1])) << 16 |
         static_cast<uint32_t>(static_cast<uint8_t>(text[2])) << 8 |
         static_cast<uint32_t>(static_cast<uint8_t>(text[3]));
}

// One box inside a buffer: bytes [Start, Start + Size), its header HeaderSize bytes (8, or 16
// with a 64-bit largesize).
struct Box {
  uint32_t Type = 0;
  size_t Start = 0;
  size_t HeaderSize = 0;
  size_t Size = 0;
  size_t PayloadStart() const { return Start + HeaderSize; }
  size_t End() const { return Start + Size; }
};

// The boxes one after another in bytes[from, to); stops at the first that is malformed (size
// 2..7, largesize < 16, running past `to`); a size of 0 means "to `to`". `to` past the span's
// end is taken as its end.
std::vector<Box> ChildBoxes(std::span<const uint8_t> bytes, size_t from, size_t to);

// The first child of `parent` of the given type.
std::optional<Box> FindChild(std::span<const uint8_t> bytes, const Box& parent, uint32_t type);

// Whether a sample entry's format is uncompressed PCM.
bool IsPcm(uint32_t codec);

// Bytes of one PCM frame, all channels, from a sound sample entry (its header included); 0 when
// unknown. QuickTime's stsz may count PCM in samples of size 1, each this many bytes.
uint32_t PcmFrameBytes(std::span<const uint8_t> entry);

struct MovieTrack {
  uint32_t TrackId = 0;
  uint32_t Handler = 0;    // hdlr handler_type, e.g. BoxType("vide"), BoxType("soun")
  uint32_t Timescale = 0;  // mdhd
  uint32_t Codec = 0;      // format of the first stsd entry: BoxType("avc1"), BoxType("mp4a")...
  uint64_t Samples = 0;
  uint64_t Duration = 0;  // in Timescale units: the sum of stts
  std::vector<ByteRange> Chunks;  // each chunk's bytes, offsets relative to the file's first byte, in stco/co64 order
};

struct Movie {
  uint32_t Timescale = 0;
  uint64_t Duration = 0;
  std::vector<MovieTrack> Tracks;  // every trak, in order; one without a usable sample table has no Chunks
};

// Parses a whole moov box (its header included). nullopt when malformed or when no track has a
// usable sample table (stsz or stz2, stsc, stco or co64), empty tables, as a fragmented file's,
// included. Reads nothing outside the span and keeps memory bounded by its size: hostile counts
// make a track unusable instead of being trusted.
std::optional<Movie> ParseMovie(std::span<const uint8_t> moov);

}  // namespace korvid::iso
