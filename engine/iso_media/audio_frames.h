#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <vector>

namespace korvid::iso {

// Finds where the raw AAC frames of a run of audio, as an MP4 stores them (no ADTS headers),
// begin and end by decoding them: AAC frames carry no length of their own.
class AacFrames {
 public:
  // `config` is the AudioSpecificConfig of the track's esds.
  explicit AacFrames(std::span<const uint8_t> config);
  ~AacFrames();
  AacFrames(const AacFrames&) = delete;
  AacFrames& operator=(const AacFrames&) = delete;

  // False when this build cannot decode AAC (no libavcodec) or the config is unusable.
  bool Available() const;

  struct Run {
    std::vector<uint32_t> Sizes;  // of the frames, one after another from data's start
    bool EndKnown = false;        // the last frame ends where `stopAt` accepted, or at data's end
  };
  // The frames that decode one after another from data's start, up to the first frame boundary
  // `stopAt` accepts (an offset into data where other content begins) or the first frame that
  // fails to decode. A frame cut off by data's end or followed by undecodable bytes is left out.
  Run Split(std::span<const uint8_t> data, const std::function<bool(size_t)>& stopAt);

 private:
  bool Send(std::span<const uint8_t> bytes);
  std::optional<size_t> NextStart(size_t packetSize, bool& used);
  bool IsOneFrame(std::span<const uint8_t> frame);

  struct Decoder;
  std::unique_ptr<Decoder> decoder_;
};

}  // namespace korvid::iso
