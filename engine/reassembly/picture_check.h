#pragma once

#include <cstdint>
#include <memory>
#include <span>

#include "engine/avi/avi_header.h"
#include "engine/reassembly/piece_joiner.h"

namespace korvid {

// Decodes a picture and says whether its bitstream decodes without error: a picture put
// together from the wrong clusters does not. It judges pictures that stand on their own (an
// MJPEG frame, an MPEG-4 I-VOP, an H.264 IDR or H.265 IRAP picture), and MPEG-4 part 2 and
// H.264 predicted pictures once it has learnt a keyframe of their stream. Other pictures,
// sound and codecs it cannot decode tell nothing. Built without a decoder, it tells nothing at
// all.
class PictureCheck {
 public:
  explicit PictureCheck(const AviHeader& sample);
  ~PictureCheck();
  PictureCheck(const PictureCheck&) = delete;
  PictureCheck& operator=(const PictureCheck&) = delete;

  // Whether the chunks with id `id` are pictures whose stream headers it still needs.
  bool Wants(uint32_t id) const;
  // Keeps what predicted pictures of the chunk's stream need from the keyframe `data` (the
  // whole chunk's data), if it is one: its stream headers, or itself where it decodes.
  void Learn(uint32_t id, std::span<const uint8_t> data);
  // Whether Judge can tell anything of the chunk with id `id` whose data starts with `head`
  // (up to KeyFrameProbeBytes of it).
  bool Judges(uint32_t id, std::span<const uint8_t> head) const;
  // `data` is the chunk's data, without its 8-byte header.
  JoinVerdict Judge(uint32_t id, std::span<const uint8_t> data);

 private:
  struct Decoders;
  const AviStream* VideoStream(uint32_t id) const;
  // Decodes `data` (a keyframe when `key`) behind the stream headers `headers` or the keyframe
  // `reference`, either or both empty, and judges it.
  JoinVerdict Decode(int codecId, std::span<const uint8_t> headers, std::span<const uint8_t> reference,
                     std::span<const uint8_t> data, bool key);
  const AviHeader& sample_;
  std::unique_ptr<Decoders> decoders_;
};

}  // namespace korvid
