#pragma once

#include <cstdint>
#include <functional>
#include <span>

#include <QImage>

#include "engine/keyframe.h"

namespace korvid::preview {

// The picture a keyframe of an MPEG-4 part 2, H.264 or H.265 stream decodes to on its own,
// with the stream's `extradata` (parameter sets; may be empty); null when it does not decode
// or the build has no libavcodec.
QImage DecodedKeyframe(VideoCodec codec, std::span<const uint8_t> extradata, std::span<const uint8_t> frame);

// Reads bytes of a file at an offset into `into`; the count read, fewer at the file's end.
using ReadAt = std::function<size_t(uint64_t offset, std::span<uint8_t> into)>;

// The first video keyframe of an MP4, MOV or 3GP file of `size` bytes that decodes, through
// libavformat, which reads only the boxes and samples it needs (a movie box at the end of a
// long recording included); null when there is none or the build has no libavformat.
QImage IsoMediaKeyframe(uint64_t size, const ReadAt& read);

}  // namespace korvid::preview
