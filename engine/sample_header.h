#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <vector>

namespace korvid {

// Bytes read from the sample at a time while looking for "movi".
inline constexpr size_t SamplePieceSize = 262144;

// The length of the sample's head up to and including its first "movi": the offset of that
// "movi" plus 4. Raises KorvidError (NoMovi) when the sample holds none in its first 4 GiB.
uint32_t FindHeaderLength(const std::filesystem::path& sample);

// The kind of recording a sample is, which decides the modes it serves.
enum class SampleKind {
  Avi,       // RIFF AVI: its head up to "movi" goes in front of every file of the AVI modes
  IsoMedia,  // MP4, MOV, 3GP: its movie box describes the tracks a cut-off recording is rebuilt with
  Mxf,
};

// The kind that `bytes`, a sample's first bytes or its cached head, begin: an ISO media box or
// an MXF header partition pack; anything else is taken for AVI, whose "movi" then decides.
SampleKind SampleKindOf(std::span<const uint8_t> bytes);

struct SampleHeader {
  std::filesystem::path CachePath;  // the cache file written
  std::vector<uint8_t> Bytes;       // what it holds
  SampleKind Kind = SampleKind::Avi;
};

// Copies the first `headerLength` bytes of `sample` to "<sample file name>.bin" in
// `cacheFolder` (created when missing). An existing cache file of that name is replaced in one
// step once the new one is complete, so a concurrent run never sees half a header; the bytes
// are handed back too, so that this run uses its own sample's header whatever happens to the
// file afterwards.
SampleHeader CacheSampleHeader(const std::filesystem::path& sample, uint32_t headerLength,
                               const std::filesystem::path& cacheFolder);

// Caches what a run needs of a sample of any kind, as CacheSampleHeader does: an AVI sample's
// head up to its first "movi"; an ISO media sample's file type box and whole movie box, one
// after the other; an MXF sample's header partition pack. Raises KorvidError (NoMovi,
// NoMovieBox, NoHeaderPartition) when the sample lacks what its kind needs.
SampleHeader CacheSample(const std::filesystem::path& sample, const std::filesystem::path& cacheFolder);

// The movie box in an ISO media sample's cached head; empty when it holds none.
std::span<const uint8_t> SampleMovieBox(std::span<const uint8_t> cached);

// The whole content of a cached sample header.
std::vector<uint8_t> ReadSampleHeader(const std::filesystem::path& cacheFile);

}  // namespace korvid
