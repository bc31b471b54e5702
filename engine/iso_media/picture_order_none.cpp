// Builds without libavcodec (the Windows cross build): no picture order is known, so rebuilt
// recordings present pictures in decode order.
#include "engine/iso_media/picture_order.h"

namespace korvid::iso {

struct PictureOrder::Parser {};

PictureOrder::PictureOrder(uint32_t /*codec*/, std::span<const uint8_t> /*config*/) {}
PictureOrder::~PictureOrder() = default;
bool PictureOrder::Available() const { return false; }
PictureOrder::Picture PictureOrder::Next(std::span<const uint8_t> /*accessUnit*/) { return {}; }

}  // namespace korvid::iso
