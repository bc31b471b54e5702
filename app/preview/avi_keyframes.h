#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "engine/keyframe.h"

namespace korvid::preview {

// The video keyframes at the start of an AVI file's movi list, for a decoder to try in order.
struct AviKeyframes {
  VideoCodec Codec = VideoCodec::Unknown;
  std::span<const uint8_t> Extradata;              // strf bytes past the BITMAPINFOHEADER
  std::vector<std::span<const uint8_t>> Frames;    // each a chunk's data, cut at the end of the bytes
};

// The first `most` keyframes of the first video stream of the RIFF AVI file in `bytes`, whose
// chunk sizes may be broken (the walk then resyncs on the next chunk id) and which may stop
// anywhere; nothing when `bytes` holds no AVI header with a video stream.
std::optional<AviKeyframes> FindAviKeyframes(std::span<const uint8_t> bytes, size_t most);

}  // namespace korvid::preview
