// Runs ParseMovie and RebuildCutOff on arbitrary bytes. The input is a 4-byte big-endian length,
// that many bytes of sample moov, then a 4-byte declared mdat size and the media data, which
// goes behind an 8-byte mdat header at source offset 8, after an 8-byte free box.
#include <cstdio>
#include <cstdlib>
#include <span>
#include <vector>

#include "engine/iso_media/moov_rebuild.h"
#include "engine/iso_media/movie_box.h"
#include "tests/engine/memory_source.h"

namespace {

void Check(bool holds, const char* what) {
  if (holds) return;
  std::fprintf(stderr, "moov rebuild invariant broken: %s\n", what);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace korvid::iso;
  using korvid::BigEndian32;
  if (size < 8) return 0;
  const size_t moovSize = std::min<size_t>(BigEndian32(data), size - 8);
  const std::span<const uint8_t> moov(data + 4, moovSize);
  const uint32_t declared = BigEndian32(data + 4 + moovSize);
  const std::span<const uint8_t> media(data + 8 + moovSize, size - 8 - moovSize);

  if (const std::optional<Movie> movie = ParseMovie(moov)) {
    for (const MovieTrack& track : movie->Tracks) Check(track.Chunks.size() <= moov.size() / 4, "more chunks than room");
  }

  std::vector<uint8_t> bytes = {0, 0, 0, 8, 'f', 'r', 'e', 'e', 0, 0, 0, 0, 'm', 'd', 'a', 't'};
  bytes.insert(bytes.end(), media.begin(), media.end());
  korvid::testing::MemorySource device(bytes);
  korvid::SourceBytes source(device);
  CutOffRecording cut;
  cut.MdatStart = 8;
  cut.DeclaredSize = declared;
  cut.Limit = static_cast<int64_t>(bytes.size());
  const std::optional<RebuiltRecording> rebuilt = RebuildCutOff(source, cut, moov);
  if (!rebuilt) return 0;

  Check(rebuilt->CopyEnd > 16 && rebuilt->CopyEnd <= cut.Limit, "copy outside the media data");
  Check(rebuilt->MdatHeaderAt >= 0 && rebuilt->MdatHeaderAt + static_cast<int64_t>(rebuilt->MdatHeader.size()) <= 16,
        "mdat header outside the boxes");
  // The new moov must describe exactly what it copies: each chunk within the media data kept.
  const std::optional<Movie> made = ParseMovie(rebuilt->Moov);
  Check(made.has_value(), "the rebuilt moov does not parse");
  uint64_t samples = 0, counted = 0;
  for (uint64_t n : rebuilt->SamplesPerTrack) samples += n;
  for (const MovieTrack& track : made->Tracks) {
    counted += track.Samples;
    for (const korvid::ByteRange& chunk : track.Chunks) {
      Check(chunk.Offset >= 16 && chunk.Offset + chunk.Length <= rebuilt->CopyEnd, "a chunk outside the media data");
    }
  }
  Check(samples == counted, "sample counts differ from the moov's");
  return 0;
}
