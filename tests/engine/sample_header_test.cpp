#include "engine/sample_header.h"

#include <gtest/gtest.h>

#include "engine/errors.h"
#include "engine/memory_source.h"
#include "engine/temp_folder.h"

namespace korvid {
namespace {

using testing::Filler;
using testing::ReadFile;
using testing::TempFolder;
using testing::WriteFile;

std::vector<uint8_t> SampleWithMoviAt(size_t at, size_t size) {
  std::vector<uint8_t> bytes = Filler(size);
  std::copy_n("movi", 4, bytes.begin() + static_cast<long>(at));
  return bytes;
}

class SampleTest : public ::testing::Test {
 protected:
  std::filesystem::path Sample(const std::vector<uint8_t>& bytes, const std::string& name = "ch01.avi") {
    std::filesystem::create_directories(folder / "video");
    const auto path = folder / "video" / name;
    WriteFile(path, bytes);
    return path;
  }
  TempFolder folder;
};

TEST_F(SampleTest, HeaderEndsAfterTheFirstMovi) {
  const auto bytes = SampleWithMoviAt(2036, 10000);
  const auto sample = Sample(bytes);
  const uint32_t length = FindHeaderLength(sample);
  EXPECT_EQ(length, 2040u);
  const auto cache = CacheSampleHeader(sample, length, folder / "Cache");
  EXPECT_EQ(cache, folder / "Cache" / "ch01.avi.bin");
  EXPECT_EQ(ReadFile(cache), std::vector<uint8_t>(bytes.begin(), bytes.begin() + 2040));
  EXPECT_EQ(ReadSampleHeader(cache), ReadFile(cache));
}

TEST_F(SampleTest, FirstOccurrenceWinsWherever) {
  auto bytes = SampleWithMoviAt(5000, 10000);
  std::copy_n("movi", 4, bytes.begin() + 300);  // inside an earlier chunk
  EXPECT_EQ(FindHeaderLength(Sample(bytes)), 304u);
}

TEST_F(SampleTest, MoviAcrossAPieceBorderIsFound) {
  for (const size_t at : {SamplePieceSize - 3, SamplePieceSize - 2, SamplePieceSize - 1, SamplePieceSize,
                          2 * SamplePieceSize - 2}) {
    EXPECT_EQ(FindHeaderLength(Sample(SampleWithMoviAt(at, 3 * SamplePieceSize))), at + 4) << at;
  }
}

TEST_F(SampleTest, SampleWithoutMoviIsRefusedAndTheCacheStaysAsItWas) {
  const auto good = Sample(SampleWithMoviAt(100, 1000));
  const auto cache = CacheSampleHeader(good, FindHeaderLength(good), folder / "Cache");
  const auto before = ReadFile(cache);

  for (const auto& bad : {Sample(Filler(700000), "ch01.avi"), Sample({}, "empty.avi"),
                          Sample({'m', 'o', 'v'}, "short.avi")}) {
    try {
      FindHeaderLength(bad);
      FAIL() << bad;
    } catch (const KorvidError& e) {
      EXPECT_EQ(e.Kind(), ErrorKind::NoMovi);
      EXPECT_EQ(e.Path(), bad.string());
    }
  }
  EXPECT_EQ(ReadFile(cache), before);
}

TEST_F(SampleTest, SameFileNameReplacesTheEarlierCache) {
  const auto first = Sample(SampleWithMoviAt(10, 100));
  CacheSampleHeader(first, FindHeaderLength(first), folder / "Cache");
  std::filesystem::create_directories(folder / "other");
  const auto second = folder / "other" / "ch01.avi";
  WriteFile(second, SampleWithMoviAt(50, 100));
  const auto cache = CacheSampleHeader(second, FindHeaderLength(second), folder / "Cache");
  EXPECT_EQ(ReadFile(cache).size(), 54u);
  EXPECT_FALSE(std::filesystem::exists(folder / "Cache" / "ch01.avi.bin.part"));
}

TEST_F(SampleTest, MissingFilesAreOpenErrorsWithTheSystemsText) {
  const auto missing = folder / "gone.avi";
  try {
    FindHeaderLength(missing);
    FAIL();
  } catch (const KorvidError& e) {
    EXPECT_EQ(e.Kind(), ErrorKind::OpenFailed);
    EXPECT_EQ(std::string(e.what()), "Cannot open file \"" + missing.string() + "\". No such file or directory");
  }
  EXPECT_THROW(ReadSampleHeader(folder / "Cache" / "gone.avi.bin"), KorvidError);
}

TEST_F(SampleTest, CacheFolderThatCannotBeMadeIsACreateError) {
  const auto sample = Sample(SampleWithMoviAt(10, 100));
  WriteFile(folder / "blocker", {1});  // a file where the folder should be
  try {
    CacheSampleHeader(sample, 14, folder / "blocker" / "Cache");
    FAIL();
  } catch (const KorvidError& e) {
    EXPECT_EQ(e.Kind(), ErrorKind::CreateFailed);
  }
}

}  // namespace
}  // namespace korvid
