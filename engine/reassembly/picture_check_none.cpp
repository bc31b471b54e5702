// Builds without libavcodec (the Windows cross build): no picture is decoded, so joins rest on
// the cluster arithmetic and the codec's markers alone.
#include "engine/reassembly/picture_check.h"

namespace korvid {

struct PictureCheck::Decoders {};

PictureCheck::PictureCheck(const AviHeader& sample) : sample_(sample) {}
PictureCheck::~PictureCheck() = default;

bool PictureCheck::Wants(uint32_t /*id*/) const { return false; }
bool PictureCheck::Judges(uint32_t /*id*/, std::span<const uint8_t> /*head*/) const { return false; }
void PictureCheck::Learn(uint32_t /*id*/, std::span<const uint8_t> /*data*/) {}
const AviStream* PictureCheck::VideoStream(uint32_t /*id*/) const { return nullptr; }
JoinVerdict PictureCheck::Judge(uint32_t /*id*/, std::span<const uint8_t> /*data*/) { return JoinVerdict::Unknown; }

}  // namespace korvid
