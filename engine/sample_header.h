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

// Copies the first `headerLength` bytes of `sample` to "<sample file name>.bin" in
// `cacheFolder` (created when missing) and returns that path. An existing cache file of that
// name is replaced only once the new one is complete.
std::filesystem::path CacheSampleHeader(const std::filesystem::path& sample, uint32_t headerLength,
                                        const std::filesystem::path& cacheFolder);

// The whole content of a cached sample header.
std::vector<uint8_t> ReadSampleHeader(const std::filesystem::path& cacheFile);

}  // namespace korvid
