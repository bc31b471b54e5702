#pragma once

#include <cstdint>
#include <span>

#include <QImage>

#include "engine/keyframe.h"

namespace korvid::preview {

// The picture a keyframe of an MPEG-4 part 2, H.264 or H.265 stream decodes to on its own,
// with the stream's `extradata` (parameter sets; may be empty); null when it does not decode
// or the build has no libavcodec.
QImage DecodedKeyframe(VideoCodec codec, std::span<const uint8_t> extradata, std::span<const uint8_t> frame);

// The first video keyframe of an MP4, MOV or 3GP file in `bytes` that decodes, through
// libavformat; null when there is none or the build has no libavformat.
QImage IsoMediaKeyframe(std::span<const uint8_t> bytes);

}  // namespace korvid::preview
