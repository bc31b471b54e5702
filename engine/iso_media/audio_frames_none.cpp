// Builds without libavcodec (the Windows cross build): AAC runs cannot be split, so a rebuild
// skips over them and keeps the video alone.
#include "engine/iso_media/audio_frames.h"

namespace korvid::iso {

struct AacFrames::Decoder {};

AacFrames::AacFrames(std::span<const uint8_t> /*config*/) {}
AacFrames::~AacFrames() = default;
bool AacFrames::Available() const { return false; }
AacFrames::Run AacFrames::Split(std::span<const uint8_t> /*data*/, const std::function<bool(size_t)>& /*stopAt*/) {
  return {};
}

}  // namespace korvid::iso
