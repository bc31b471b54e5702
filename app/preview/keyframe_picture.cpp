#include "app/preview/keyframe_picture.h"

#include <algorithm>
#include <fstream>
#include <vector>

#include "app/preview/avcodec_picture.h"
#include "app/preview/avi_keyframes.h"
#include "app/preview/jpeg_picture.h"
#include "engine/fourcc.h"
#include "engine/little_endian.h"

namespace korvid::preview {
namespace {

// Bytes of an AVI file a preview reads: the header and the first keyframes of any recording
// lie well within them.
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

QImage Scaled(const QImage& picture, QSize bound) {
  return picture.isNull() ? picture : picture.scaled(bound, Qt::KeepAspectRatio, Qt::SmoothTransformation);
}

}  // namespace

QImage FirstKeyframePictureOf(std::span<const uint8_t> bytes, QSize bound) {
  if (bound.isEmpty()) return {};
  if (IsIsoMedia(bytes)) {
    return Scaled(IsoMediaKeyframe(bytes.size(), [bytes](uint64_t offset, std::span<uint8_t> into) {
                    const size_t n = std::min(into.size(), bytes.size() - static_cast<size_t>(offset));
                    std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(offset), n, into.begin());
                    return n;
                  }), bound);
  }
  return Scaled(AviPicture(bytes.first(std::min(bytes.size(), MaxFileBytes))), bound);
}

QImage FirstKeyframePicture(const std::filesystem::path& file, QSize bound) {
  if (bound.isEmpty()) return {};
  std::error_code error;
  const uintmax_t size = std::filesystem::file_size(file, error);
  std::ifstream in(file, std::ios::binary);
  if (error || !in) return {};
  std::vector<uint8_t> head(std::min<uintmax_t>(size, MaxFileBytes));
  in.read(reinterpret_cast<char*>(head.data()), static_cast<std::streamsize>(head.size()));
  head.resize(static_cast<size_t>(in.gcount()));
  if (!IsIsoMedia(head)) return Scaled(AviPicture(head), bound);
  // A camera writes the movie box after the media data: the demuxer reads it from the file's end.
  return Scaled(IsoMediaKeyframe(size, [&in](uint64_t offset, std::span<uint8_t> into) {
                  in.clear();
                  in.seekg(static_cast<std::streamoff>(offset));
                  in.read(reinterpret_cast<char*>(into.data()), static_cast<std::streamsize>(into.size()));
                  return static_cast<size_t>(in.gcount());
                }), bound);
}

}  // namespace korvid::preview
