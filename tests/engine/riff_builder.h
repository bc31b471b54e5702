#pragma once

// Builds RIFF/AVI structures in memory, the way a recorder or ffmpeg lays them out.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <utility>
#include <vector>

#include "engine/fourcc.h"

namespace korvid::testing::riff {

using Bytes = std::vector<uint8_t>;

inline Bytes Cat(const std::vector<Bytes>& parts) {
  Bytes all;
  for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

inline Bytes Text(const char* text) { return Bytes(text, text + std::strlen(text)); }

inline Bytes U32(uint32_t value) {
  return {uint8_t(value), uint8_t(value >> 8), uint8_t(value >> 16), uint8_t(value >> 24)};
}

inline uint32_t Get32(const Bytes& bytes, size_t at) {
  return bytes.at(at) | bytes.at(at + 1) << 8 | bytes.at(at + 2) << 16 | uint32_t(bytes.at(at + 3)) << 24;
}

// A chunk as a RIFF writer puts it: id, size, data, a pad byte when the size is odd.
inline Bytes Chunk(const char* id, Bytes data) {
  Bytes chunk = Cat({Text(id), U32(uint32_t(data.size())), data});
  if (data.size() % 2) chunk.push_back(0);
  return chunk;
}

inline Bytes List(const char* type, const std::vector<Bytes>& chunks) {
  return Chunk("LIST", Cat({Text(type), Cat(chunks)}));
}

// Little-endian words at the given byte offsets of a zeroed block of `size` bytes.
inline Bytes Words(size_t size, std::initializer_list<std::pair<size_t, uint32_t>> words) {
  Bytes data(size);
  for (const auto& [at, value] : words) std::copy_n(U32(value).begin(), 4, data.begin() + long(at));
  return data;
}

inline Bytes Avih(uint32_t size = 56) { return Chunk("avih", Words(size, {{0, 33366}, {12, 0x100}, {16, 250}})); }

inline Bytes Strh(const char* type, uint32_t handler, uint32_t scale, uint32_t rate, uint32_t sampleSize) {
  return Chunk(
      "strh",
      Words(56,
            {{0, Get32(Text(type), 0)}, {4, handler}, {20, scale}, {24, rate}, {32, 250}, {44, sampleSize}}));
}

inline Bytes VideoStrl(const std::vector<Bytes>& more = {}) {
  return List("strl",
              {Strh("vids", FourCC("H264"), 1001, 30000, 0), Chunk("strf", Words(40, {{16, FourCC("H264")}})),
               Cat(more), Chunk("vprp", Bytes(68))});
}

inline Bytes AudioStrl(const std::vector<Bytes>& more = {}) {
  return List("strl", {Strh("auds", 0, 1, 8000, 2), Chunk("strf", Words(18, {{0, 6}, {12, 4}})), Cat(more),
                       Chunk("strn", Text("audio"))});
}

// A head as ffmpeg writes it: a JUNK placeholder where an indx or odml list may go later, an INFO
// list and JUNK up to the movi list, whose size word covers data the head does not hold.
inline Bytes Sample(const std::vector<Bytes>& hdrl, const std::vector<Bytes>& top = {}) {
  const Bytes tail = Cat({List("INFO", {Chunk("ISFT", Text("Lavf59.27.100"))}), Chunk("JUNK", Bytes(1016))});
  return Cat({Text("RIFF"), U32(0x7fff0000), Text("AVI "), List("hdrl", hdrl), Cat(top), tail, Text("LIST"),
              U32(0x7ffe0000), Text("movi")});
}

inline Bytes FfmpegLike() {
  const Bytes placeholder = Chunk("JUNK", Bytes(4120));
  return Sample({Avih(), VideoStrl({placeholder}), AudioStrl({placeholder}), Chunk("JUNK", Bytes(260))});
}

}  // namespace korvid::testing::riff
