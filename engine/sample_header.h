#pragma once

#include <cstdint>
#include <filesystem>
#include <vector>

namespace korvid {

// Bytes read from the sample at a time while looking for "movi".
inline constexpr size_t SamplePieceSize = 262144;

// The length of the sample's head up to and including its first "movi": the offset of that
// "movi" plus 4. Raises KorvidError (NoMovi) when the sample holds none in its first 4 GiB.
uint32_t FindHeaderLength(const std::filesystem::path& sample);

struct SampleHeader {
  std::filesystem::path CachePath;  // the cache file written
  std::vector<uint8_t> Bytes;       // what it holds
};

// Copies the first `headerLength` bytes of `sample` to "<sample file name>.bin" in
// `cacheFolder` (created when missing). An existing cache file of that name is replaced in one
// step once the new one is complete, so a concurrent run never sees half a header; the bytes
// are handed back too, so that this run uses its own sample's header whatever happens to the
// file afterwards.
SampleHeader CacheSampleHeader(const std::filesystem::path& sample, uint32_t headerLength,
                               const std::filesystem::path& cacheFolder);

// The whole content of a cached sample header.
std::vector<uint8_t> ReadSampleHeader(const std::filesystem::path& cacheFile);

}  // namespace korvid
