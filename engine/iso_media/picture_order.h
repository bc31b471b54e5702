#pragma once

#include <cstdint>
#include <memory>
#include <span>

namespace korvid::iso {

// Reads the picture order count and keyframe flag of H.264 and H.265 access units, stored
// length-prefixed as in MP4, so that rebuilt sample tables can give B-frames their
// presentation times.
class PictureOrder {
 public:
  // `codec` is the sample entry's format (avc1, avc3, hvc1, hev1), `config` its avcC or hvcC
  // payload.
  PictureOrder(uint32_t codec, std::span<const uint8_t> config);
  ~PictureOrder();
  PictureOrder(const PictureOrder&) = delete;
  PictureOrder& operator=(const PictureOrder&) = delete;

  // False when this build has no parser for the codec (no libavcodec).
  bool Available() const;

  struct Picture {
    bool Known = false;  // the parser read the unit's slice header
    int Order = 0;       // picture order count, which restarts at IDR pictures
    bool Key = false;    // a picture decoding can start at
  };
  // Access units must come in decode order.
  Picture Next(std::span<const uint8_t> accessUnit);

 private:
  struct Parser;
  std::unique_ptr<Parser> parser_;
};

}  // namespace korvid::iso
