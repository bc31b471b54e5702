#include "app/preview/keyframe_picture.h"

#include <fstream>
#include <vector>

#include "app/preview/avcodec_picture.h"
#include "app/preview/avi_keyframes.h"
#include "app/preview/jpeg_picture.h"
#include "engine/fourcc.h"
#include "engine/little_endian.h"

namespace korvid::preview {
namespace {

// Bytes of a file a preview reads: the header and the first keyframes of any recording lie
// well within them.
constexpr size_t MaxFileBytes = 16u << 20;
// Keyframes tried before a recording is taken to hold none that decodes.
constexpr size_t MaxKeyframes = 8;

QImage AviPicture(std::span<const uint8_t> bytes) {
  const std::optional<AviKeyframes> keyframes = FindAviKeyframes(bytes, MaxKeyframes);
  if (!keyframes) return {};
  for (std::span<const uint8_t> frame : keyframes->Frames) {
    QImage picture = keyframes->Codec == VideoCodec::Intra ? JpegPicture(frame)
                                                           : DecodedKeyframe(keyframes->Codec, keyframes->Extradata, frame);
    if (!picture.isNull()) return picture;
  }
  return {};
}

// Whether the bytes open like an ISO base media file: a box of a type such files start with.
bool IsIsoMedia(std::span<const uint8_t> bytes) {
  if (bytes.size() < 8) return false;
  const uint32_t type = LittleEndian32(&bytes[4]);
  return type == FourCC("ftyp") || type == FourCC("moov") || type == FourCC("mdat") || type == FourCC("wide") ||
         type == FourCC("free") || type == FourCC("skip");
}

}  // namespace

QImage FirstKeyframePictureOf(std::span<const uint8_t> bytes, QSize bound) {
  if (bound.isEmpty()) return {};
  bytes = bytes.first(std::min(bytes.size(), MaxFileBytes));
  const QImage picture = IsIsoMedia(bytes) ? IsoMediaKeyframe(bytes) : AviPicture(bytes);
  if (picture.isNull()) return {};
  return picture.scaled(bound, Qt::KeepAspectRatio, Qt::SmoothTransformation);
}

QImage FirstKeyframePicture(const std::filesystem::path& file, QSize bound) {
  std::error_code error;
  const uintmax_t size = std::filesystem::file_size(file, error);
  std::ifstream in(file, std::ios::binary);
  if (error || !in) return {};
  std::vector<uint8_t> bytes(std::min<uintmax_t>(size, MaxFileBytes));
  in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  bytes.resize(static_cast<size_t>(in.gcount()));
  return FirstKeyframePictureOf(bytes, bound);
}

}  // namespace korvid::preview
