#pragma once

#include <cstdint>
#include <memory>
#include <span>

#include "engine/avi_header.h"
#include "engine/reassembly/piece_joiner.h"

namespace korvid {

// Decodes a picture that stands on its own (an MJPEG frame, an MPEG-4 I-VOP, an H.264 IDR or
// H.265 IRAP picture) and says whether its bitstream decodes without error: a picture put
// together from the wrong clusters does not. Pictures that need others to decode, sound and
// codecs it cannot decode tell nothing. Built without a decoder, it tells nothing at all.
class PictureCheck {
 public:
  explicit PictureCheck(const AviHeader& sample);
  ~PictureCheck();
  PictureCheck(const PictureCheck&) = delete;
  PictureCheck& operator=(const PictureCheck&) = delete;

  // `data` is the chunk's data, without its 8-byte header.
  JoinVerdict Judge(uint32_t id, std::span<const uint8_t> data);

 private:
  struct Decoders;
  const AviHeader& sample_;
  std::unique_ptr<Decoders> decoders_;
};

}  // namespace korvid
