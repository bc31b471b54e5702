#pragma once

#include <filesystem>

namespace korvid::sources {

// The folder of the running executable.
std::filesystem::path ExecutableFolder();

// Where sample headers are cached: "Cache" beside the executable, or the per-user cache folder
// when that cannot be created or written (an installed program).
std::filesystem::path DefaultCacheFolder();

}  // namespace korvid::sources
