#pragma once

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <vector>

#include "engine/iso_media/movie_box.h"

// Builds ISO media boxes for tests, big-endian as on disk.
namespace korvid::testing {

using Bytes = std::vector<uint8_t>;

inline void Put32(Bytes& out, uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(v >> shift));
}
inline void Put64(Bytes& out, uint64_t v) {
  Put32(out, static_cast<uint32_t>(v >> 32));
  Put32(out, static_cast<uint32_t>(v));
}
inline void PutType(Bytes& out, const char* type) { out.insert(out.end(), type, type + 4); }

inline Bytes MakeBox(const char* type, const Bytes& payload) {
  Bytes out;
  Put32(out, static_cast<uint32_t>(payload.size() + 8));
  PutType(out, type);
  out.insert(out.end(), payload.begin(), payload.end());
  return out;
}

inline Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// A full box's payload: version and flags 0, then the 32-bit words given.
inline Bytes Words(std::initializer_list<uint32_t> words) {
  Bytes out(4, 0);
  for (uint32_t w : words) Put32(out, w);
  return out;
}

inline Bytes SampleEntry(const char* format) {
  Bytes entry(8 + 70, 0);  // a visual sample entry's fixed fields
  entry[3] = 78;
  std::copy(format, format + 4, entry.begin() + 4);
  return Concat({Words({1}), entry});
}

// A moov with one video track whose sample table is `tables` after stsd and stts.
inline Bytes MovieWith(const Bytes& tables) {
  const Bytes stbl = MakeBox(
      "stbl", Concat({MakeBox("stsd", SampleEntry("avc1")), MakeBox("stts", Words({2, 3, 100, 3, 50})), tables}));
  const Bytes mdia = MakeBox("mdia", Concat({MakeBox("mdhd", Words({0, 0, 1000, 450, 0})),
                                             MakeBox("hdlr", Words({0, iso::BoxType("vide"), 0, 0, 0})),
                                             MakeBox("minf", stbl)}));
  const Bytes trak = MakeBox("trak", Concat({MakeBox("tkhd", Words({0, 0, 7, 0, 450})), mdia}));
  return MakeBox("moov", Concat({MakeBox("mvhd", Words({0, 0, 600, 270})), trak}));
}

// A moov whose one track has six samples of `sampleSize` bytes in two chunks of three, at the
// given offsets.
inline Bytes MovieWithChunks(uint32_t sampleSize, uint32_t first, uint32_t second) {
  return MovieWith(Concat({MakeBox("stsz", Words({sampleSize, 6})), MakeBox("stsc", Words({1, 1, 3, 1})),
                           MakeBox("stco", Words({2, first, second}))}));
}

}  // namespace korvid::testing
