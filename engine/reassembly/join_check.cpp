#include "engine/reassembly/join_check.h"

#include <algorithm>
#include <bit>
#include <cstdlib>

#include "engine/fourcc.h"
#include "engine/little_endian.h"
#include "engine/keyframe.h"
#include "engine/avi/movi_chunks.h"

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

double SeamCost(const AviHeader& sample, uint32_t id, std::span<const uint8_t> data, std::span<const size_t> seams) {
  const int stream = StreamOf(id);
  if (KindOf(id) != MoviChunkKind::Data || stream < 0 || static_cast<size_t>(stream) >= sample.Streams.size()) return 0;
  const AviStream& s = sample.Streams[static_cast<size_t>(stream)];
  if (s.Type == FourCC("vids")) {
    // Runs of zeros a sector long or longer, wherever the sectors fall in the chunk. Read eight
    // bytes at a time: zeros inside a word that is not all zeros make no such run.
    constexpr size_t Sector = 512;
    // Any run a sector long holds a whole word at some multiple of half a sector: where none of
    // those words is zero, no run is, and the chunk costs nothing without a look at every word.
    constexpr size_t Stride = Sector / 2;
    bool mayHoldRun = false;
    for (size_t at = 0; at + 8 <= data.size() && !mayHoldRun; at += Stride) {
      mayHoldRun = LittleEndian64(data.data() + at) == 0;
    }
    if (!mayHoldRun) return 0;
    double zeros = 0;
    size_t run = 0;
    auto close = [&] {
      if (run >= Sector) zeros += static_cast<double>(run) / Sector;
      run = 0;
    };
    size_t at = 0;
    for (; at + 8 <= data.size(); at += 8) {
      const uint64_t word = LittleEndian64(data.data() + at);
      if (word == 0) {
        run += 8;
        continue;
      }
      run += static_cast<size_t>(std::countr_zero(word)) / 8;  // the word's first bytes end the run
      close();
      run = static_cast<size_t>(std::countl_zero(word)) / 8;  // its last bytes start one
    }
    for (; at < data.size(); ++at) {
      if (data[at] == 0) {
        ++run;
      } else {
        close();
      }
    }
    close();
    return zeros;
  }
  // 16-bit PCM (WAVE_FORMAT_PCM), interleaved channels of two bytes each.
  if (s.Type != FourCC("auds") || s.Compression != 1 || s.BlockAlign < 2 || s.BlockAlign % 2 != 0) return 0;
  const size_t block = s.BlockAlign, channels = block / 2;
  auto sample16 = [&](size_t at) { return static_cast<int16_t>(data[at] | data[at + 1] << 8); };
  double steps = 0;
  size_t counted = 0;
  for (size_t at = block; at + block <= data.size(); at += block) {
    for (size_t c = 0; c < channels; ++c) steps += std::abs(sample16(at + 2 * c) - sample16(at - block + 2 * c));
    counted += channels;
  }
  const double usual = counted > 0 ? steps / static_cast<double>(counted) : 0;
  double cost = 0;
  for (size_t seam : seams) {
    const size_t at = seam / block * block;  // the first whole sample frame of the later part
    if (at < block || at + block > data.size()) continue;
    for (size_t c = 0; c < channels; ++c) {
      cost += std::abs(sample16(at + 2 * c) - sample16(at - block + 2 * c)) / (usual + 1);
    }
  }
  return cost;
}

}  // namespace korvid
