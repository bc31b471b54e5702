#include "engine/sample_header.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

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
  const SampleHeader header = CacheSampleHeader(sample, length, folder / "Cache");
  EXPECT_EQ(header.CachePath, folder / "Cache" / "ch01.avi.bin");
  EXPECT_EQ(header.Bytes, std::vector<uint8_t>(bytes.begin(), bytes.begin() + 2040));
  EXPECT_EQ(ReadFile(header.CachePath), header.Bytes);
  EXPECT_EQ(ReadSampleHeader(header.CachePath), header.Bytes);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder / "Cache"), {}), 1);
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
  const auto cache = CacheSampleHeader(good, FindHeaderLength(good), folder / "Cache").CachePath;
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
  const auto cache = CacheSampleHeader(second, FindHeaderLength(second), folder / "Cache").CachePath;
  std::vector<uint8_t> expected = ReadFile(second);
  expected.resize(54);
  EXPECT_EQ(ReadFile(cache), expected);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder / "Cache"), {}), 1);  // no partial file left
}

TEST_F(SampleTest, ConcurrentRunsWithSamplesOfTheSameNameEachKeepTheirOwnHeader) {
  std::filesystem::create_directories(folder / "a");
  std::filesystem::create_directories(folder / "b");
  WriteFile(folder / "a" / "cam.avi", SampleWithMoviAt(100, 300));
  auto other = SampleWithMoviAt(200, 300);
  std::fill(other.begin(), other.begin() + 200, 'b');
  WriteFile(folder / "b" / "cam.avi", other);

  std::atomic<int> wrong{0}, failed{0};
  auto cacheRepeatedly = [&](const std::filesystem::path& sample, uint32_t length) {
    std::vector<uint8_t> expected = ReadFile(sample);
    expected.resize(length);
    for (int i = 0; i < 50; ++i) {
      try {
        if (CacheSampleHeader(sample, length, folder / "Cache").Bytes != expected) ++wrong;
      } catch (const KorvidError&) {
        ++failed;
      }
    }
  };
  std::thread first(cacheRepeatedly, folder / "a" / "cam.avi", 104);
  std::thread second(cacheRepeatedly, folder / "b" / "cam.avi", 204);
  first.join();
  second.join();
  EXPECT_EQ(wrong, 0);
  EXPECT_EQ(failed, 0);
  const auto cached = ReadFile(folder / "Cache" / "cam.avi.bin");
  EXPECT_TRUE(cached.size() == 104 || cached.size() == 204);  // one whole header, never a mix
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
