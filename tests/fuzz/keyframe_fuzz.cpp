// Runs IsKeyFrame on arbitrary chunk data under each kind of codec tag. The first two bytes pick
// the stream's biCompression and fccHandler; the rest is the chunk's data.
#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <vector>

#include "engine/fourcc.h"
#include "engine/keyframe.h"

namespace {

struct Tag {
  uint32_t Code;
  bool EveryFrameKey;  // an intra codec, or none this program reads
};

constexpr std::array Tags = {
    Tag{0, true},
    Tag{korvid::FourCC("MJPG"), true},
    Tag{korvid::FourCC("cvid"), true},
    Tag{korvid::FourCC("XVID"), false},
    Tag{korvid::FourCC("dx50"), false},
    Tag{korvid::FourCC("H264"), false},
    Tag{korvid::FourCC("avc1"), false},
    Tag{korvid::FourCC("HEVC"), false},
};

void Check(bool holds, const char* what) {
  if (holds) return;
  std::fprintf(stderr, "keyframe invariant broken: %s\n", what);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const Tag& compression = Tags[data[0] % Tags.size()];
  const Tag& handler = Tags[data[1] % Tags.size()];
  const korvid::AviStream stream{
      .Type = korvid::FourCC("vids"), .Handler = handler.Code, .Compression = compression.Code};
  const std::span<const uint8_t> chunk(data + 2, size - 2);

  const bool key = korvid::IsKeyFrame(stream, chunk);
  if (chunk.empty()) Check(!key, "an empty chunk is a key");

  // Only the probe bytes count: a copy of just those, in a buffer of their size, gives the same.
  const std::vector<uint8_t> probe(
      chunk.begin(), chunk.begin() + std::min(chunk.size(), korvid::KeyFrameProbeBytes));
  Check(korvid::IsKeyFrame(stream, probe) == key, "bytes past the probe changed the answer");

  const bool compressionNamesCodec =
      compression.Code != 0 && compression.Code != korvid::FourCC("cvid");
  const bool everyFrame = compressionNamesCodec ? compression.EveryFrameKey : handler.EveryFrameKey;
  if (everyFrame && !chunk.empty()) Check(key, "an intra or unknown codec's frame is no key");
  return 0;
}
