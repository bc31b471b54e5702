#pragma once

#include <cstdint>
#include <span>

#include "avi/avi_header.h"

namespace korvid {

// Bytes from the start of a video chunk's data that the keyframe test looks at. Decoders put
// parameter sets and encoder notes (an x264 SEI runs to ~1 KiB) before the picture itself.
inline constexpr size_t KeyFrameProbeBytes = 4096;

// The video codecs whose frames the engine can tell apart.
enum class VideoCodec : uint8_t { Unknown, Intra, Mpeg4Part2, H264, H265 };

// A video stream's codec, from its biCompression, else its fccHandler. Intra: MJPEG and its
// kin, whose every frame is a JPEG picture.
VideoCodec CodecOfStream(const AviStream& stream);

// Whether a video chunk starts a picture that decodes on its own, told from the first
// KeyFrameProbeBytes of its data (fewer when the chunk is shorter): MJPEG, every frame;
// MPEG-4 part 2, a VOP whose coding type is I; H.264, a coded slice of an IDR picture (NAL
// type 5) in Annex B byte stream; H.265, an IRAP picture (NAL types 16 to 23); any other
// codec, every frame. An empty chunk (a dropped
// frame) is never a keyframe.
bool IsKeyFrame(const AviStream& stream, std::span<const uint8_t> data);

}  // namespace korvid
