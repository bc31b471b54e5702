#include "app/preview/avcodec_picture.h"

// The Windows cross build has no libavcodec: its previews show MJPEG recordings only.
namespace korvid::preview {

QImage DecodedKeyframe(VideoCodec, std::span<const uint8_t>, std::span<const uint8_t>) { return {}; }

QImage IsoMediaKeyframe(uint64_t, const ReadAt&) { return {}; }

}  // namespace korvid::preview
