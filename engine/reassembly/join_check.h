#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "engine/avi/avi_header.h"
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

// How badly the parts of a joined chunk's data fit where they meet; `seams` are the offsets in
// `data` where one part may end and the next begin. PCM sound runs on smoothly, so a seam costs
// the jump in its samples there, against the chunk's usual step from sample to sample. A
// compressed picture holds no sector's length of zeros: each such length in a video chunk costs
// 1. Other data costs 0.
double SeamCost(const AviHeader& sample, uint32_t id, std::span<const uint8_t> data, std::span<const size_t> seams);

}  // namespace korvid
