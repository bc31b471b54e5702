#include "app/preview/avcodec_picture.h"

// The Windows cross build has no libavcodec: its previews show MJPEG recordings only.
namespace korvid::preview {

QImage DecodedKeyframe(VideoCodec, std::span<const uint8_t>, std::span<const uint8_t>) { return {}; }

QImage IsoMediaKeyframe(std::span<const uint8_t>) { return {}; }

}  // namespace korvid::preview
