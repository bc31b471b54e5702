#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "engine/avi_header.h"
#include "engine/reassembly/piece_joiner.h"

namespace korvid {

// Bytes at each end of a joined chunk's data that JudgeJoinedChunk looks at.
inline constexpr size_t JoinCheckBytes = 64;

// What the content of a joined chunk says of the join, from the first and the last bytes of its
// data (at most JoinCheckBytes each): a JPEG picture (an MJPEG stream) must start with its SOI
// marker and end with its EOI marker, maybe followed by a few bytes of padding. Other streams
// and codecs tell nothing.
JoinVerdict JudgeJoinedChunk(const AviHeader& sample, uint32_t id, std::span<const uint8_t> head,
                             std::span<const uint8_t> tail);

}  // namespace korvid
