#include "engine/reassembly/join_check.h"

#include "engine/fourcc.h"
#include "engine/keyframe.h"
#include "engine/movi_chunks.h"

namespace korvid {
namespace {

// Encoders pad a JPEG picture to an even or aligned length with zeros or fill bytes.
constexpr size_t MaxPadding = 16;

}  // namespace

JoinVerdict JudgeJoinedChunk(const AviHeader& sample, uint32_t id, std::span<const uint8_t> head,
                             std::span<const uint8_t> tail) {
  const int stream = StreamOf(id);
  if (KindOf(id) != MoviChunkKind::Data || stream < 0 || static_cast<size_t>(stream) >= sample.Streams.size()) {
    return JoinVerdict::Unknown;
  }
  const AviStream& s = sample.Streams[static_cast<size_t>(stream)];
  if (s.Type != FourCC("vids") || CodecOfStream(s) != VideoCodec::Intra) return JoinVerdict::Unknown;
  if (head.size() < 2 || tail.size() < 2 || head[0] != 0xFF || head[1] != 0xD8) return JoinVerdict::Fails;
  size_t end = tail.size();
  while (end >= 2 && tail.size() - end < MaxPadding && !(tail[end - 2] == 0xFF && tail[end - 1] == 0xD9) &&
         (tail[end - 1] == 0x00 || tail[end - 1] == 0xFF)) {
    --end;
  }
  return end >= 2 && tail[end - 2] == 0xFF && tail[end - 1] == 0xD9 ? JoinVerdict::Fits : JoinVerdict::Fails;
}

}  // namespace korvid
