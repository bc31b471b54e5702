// Where the Windows build keeps its files: the folder of the executable and the sample cache.
#include <gtest/gtest.h>

#include "sources/cache_folder.h"
#include "sources/windows_device.h"

namespace korvid::sources {
namespace {

TEST(ExecutableFolder, HoldsTheRunningProgram) {
  const std::filesystem::path folder = ExecutableFolder();
  EXPECT_TRUE(folder.is_absolute());
  EXPECT_TRUE(std::filesystem::exists(folder / "korvid_windows_sources_tests.exe")) << folder.string();
}

TEST(DefaultCacheFolder, BesideTheProgramWhenThatCanBeWritten) {
  // The build folder can be written, so the cache goes beside the test program, made if missing.
  const std::filesystem::path cache = DefaultCacheFolder();
  EXPECT_EQ(cache, ExecutableFolder() / "Cache");
  EXPECT_TRUE(std::filesystem::is_directory(cache));
}

}  // namespace
}  // namespace korvid::sources
