// Opening image files on Windows: exact size, positioned reads, sharing, names outside the local
// code page, and the system's texts on failure.
#include <gtest/gtest.h>

#include <thread>

#include "engine/errors.h"
#include "sources/open_source.h"
#include "sources/source_catalog.h"
#include "temp_files.h"

namespace korvid::sources {
namespace {

using korvid::testing::Numbered;
using korvid::testing::TempFolder;
using korvid::testing::Utf8Path;
using korvid::testing::WriteWideFile;

std::vector<uint8_t> Read(SourceDevice& source, int64_t offset, size_t length, ReadResult* result = nullptr) {
  std::vector<uint8_t> buffer(length, 0xCC);
  const ReadResult got = source.ReadAt(offset, buffer.data(), length);
  if (result != nullptr) *result = got;
  buffer.resize(got.Bytes);
  return buffer;
}

std::vector<uint8_t> Slice(const std::vector<uint8_t>& bytes, size_t from, size_t count) {
  return {bytes.begin() + static_cast<std::ptrdiff_t>(from), bytes.begin() + static_cast<std::ptrdiff_t>(from + count)};
}

TEST(OpenSourceWindows, ImageHasItsExactSizeAndReadsAtAnyByte) {
  TempFolder folder;
  const std::vector<uint8_t> bytes = Numbered(1000003);
  WriteWideFile(folder / "image.img", bytes);
  const auto source = OpenSource(Utf8Path(folder / "image.img"));
  EXPECT_EQ(source->Size(), 1000003);
  EXPECT_EQ(source->Path(), Utf8Path(folder / "image.img"));
  EXPECT_EQ(Read(*source, 0, 512), Slice(bytes, 0, 512));
  EXPECT_EQ(Read(*source, 777777, 4097), Slice(bytes, 777777, 4097));
  // A read across the end delivers what is there, and end of data is no error.
  ReadResult result;
  EXPECT_EQ(Read(*source, 1000000, 100, &result), Slice(bytes, 1000000, 3));
  EXPECT_EQ(result.Error, 0);
  EXPECT_TRUE(Read(*source, 1000003, 10, &result).empty());
  EXPECT_EQ(result.Error, 0);
  EXPECT_TRUE(Read(*source, 5000000, 10, &result).empty());
  EXPECT_EQ(result.Error, 0);
}

TEST(OpenSourceWindows, PositionedReadsFromSeveralThreads) {
  TempFolder folder;
  const std::vector<uint8_t> bytes = Numbered(4 << 20);
  WriteWideFile(folder / "image.img", bytes);
  const auto source = OpenSource(Utf8Path(folder / "image.img"));
  std::vector<bool> same(8, false);
  std::vector<std::thread> threads;
  for (size_t t = 0; t < same.size(); ++t) {
    threads.emplace_back([&, t] {
      bool all = true;
      for (size_t round = 0; round < 40; ++round) {
        const size_t offset = (t * 524288 + round * 12289) % (bytes.size() - 70000);
        all = all && Read(*source, static_cast<int64_t>(offset), 65537) == Slice(bytes, offset, 65537);
      }
      same[t] = all;
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(same, std::vector<bool>(same.size(), true));
}

TEST(OpenSourceWindows, NameOutsideTheLocalCodePage) {
  TempFolder folder;
  const std::filesystem::path name = folder.Path() / L"\u5f55\u50cf \u00fc\u20ac \u03a9.img";
  const std::vector<uint8_t> bytes = Numbered(4096 + 17);
  WriteWideFile(name, bytes);
  const std::string path = Utf8Path(name);
  EXPECT_NE(path.find("\xe5\xbd\x95\xe5\x83\x8f"), std::string::npos);  // the name travels as UTF-8
  const auto source = OpenSource(path);
  EXPECT_EQ(source->Size(), 4096 + 17);
  EXPECT_EQ(Read(*source, 4000, 113), Slice(bytes, 4000, 113));
}

TEST(OpenSourceWindows, OthersMayWriteWhileItIsOpenAndItOpensWhileOthersWrite) {
  TempFolder folder;
  WriteWideFile(folder / "busy.img", Numbered(8192));
  const std::wstring path = (folder / "busy.img").wstring();
  // A writer that lets others read and write, as a recorder or a disk tool would.
  const win::Handle writer(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  ASSERT_TRUE(writer);
  const auto source = OpenSource(Utf8Path(folder / "busy.img"));
  EXPECT_EQ(source->Size(), 8192);
  const win::Handle second(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  EXPECT_TRUE(second) << "the source must not keep others from writing";
}

TEST(OpenSourceWindows, MissingFileGivesTheSystemsText) {
  TempFolder folder;
  const std::string path = Utf8Path(folder / "none.img");
  try {
    OpenSource(path);
    FAIL() << "opened a file that does not exist";
  } catch (const KorvidError& e) {
    EXPECT_EQ(e.Kind(), ErrorKind::OpenFailed);
    EXPECT_EQ(e.Path(), path);
    EXPECT_EQ(e.SystemText(), win::SystemMessageText(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(std::string(e.what()), "Cannot open file \"" + path + "\". " + e.SystemText());
  }
}

TEST(OpenSourceWindows, FolderIsNoSource) {
  TempFolder folder;
  EXPECT_THROW(OpenSource(Utf8Path(folder.Path())), KorvidError);
}

TEST(OpenSourceWindows, DiskThatIsNotThereFailsWithTheSystemsText) {
  const std::string path = SourcePathFor("PhysicalDrive250");
  EXPECT_EQ(path, "\\\\.\\PhysicalDrive250");
  try {
    OpenSource(path);
    FAIL() << "opened a disk that is not there";
  } catch (const KorvidError& e) {
    EXPECT_EQ(e.Kind(), ErrorKind::OpenFailed);
    EXPECT_FALSE(e.SystemText().empty());
    EXPECT_NE(e.SystemText().back(), '\n');
  }
}

TEST(SystemMessageText, SystemTextWithoutItsLineBreak) {
  const std::string text = win::SystemMessageText(ERROR_ACCESS_DENIED);
  EXPECT_FALSE(text.empty());
  EXPECT_NE(text, "Error 5");
  EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos);
  EXPECT_EQ(win::SystemMessageText(0x2000FFFF), "Error 536936447");
}

TEST(SourcePathFor, WindowsPathRules) {
  EXPECT_EQ(SourcePathFor("PhysicalDrive0"), "\\\\.\\PhysicalDrive0");
  EXPECT_EQ(SourcePathFor("C:"), "\\\\.\\C:");
  EXPECT_EQ(SourcePathFor("C:\\"), "\\\\.\\C:");
  EXPECT_EQ(SourcePathFor("D:\\a.img"), "D:\\a.img");
}

TEST(FolderWriteProblem, WritableAndMissingFolders) {
  TempFolder folder;
  EXPECT_EQ(FolderWriteProblem(folder.Path()), "");
  // The check leaves nothing behind.
  EXPECT_TRUE(std::filesystem::is_empty(folder.Path()));
  const std::string missing = FolderWriteProblem(folder / "missing");
  EXPECT_NE(missing, "");
  EXPECT_EQ(missing, win::SystemMessageText(ERROR_PATH_NOT_FOUND));
}

TEST(OutputOnSourceDevice, ImageSourceIsNeverTheOutputsDevice) {
  TempFolder folder;
  WriteWideFile(folder / "image.img", Numbered(512));
  EXPECT_FALSE(OutputOnSourceDevice(Utf8Path(folder / "image.img"), folder.Path()));
}

}  // namespace
}  // namespace korvid::sources
