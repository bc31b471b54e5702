// Paths whose names lie outside any local code page, from UTF-8 text to the file and back.
#include "engine/file_path.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>

#include "engine/temp_folder.h"

namespace korvid {
namespace {

using korvid::testing::TempFolder;

const std::string kName = "\xe5\xbd\x95\xe5\x83\x8f \xc3\xbc\xe2\x82\xac.avi";  // "录像 ü€.avi" in UTF-8

TEST(FilePath, TextRoundTrip) {
  EXPECT_EQ(PathText(PathFromText(kName)), kName);
  EXPECT_EQ(PathText(PathFromText("plain/name.avi").filename()), "name.avi");
  // The name is one path element of its characters, not of its bytes.
  EXPECT_EQ(PathText(PathFromText("folder/" + kName).filename()), kName);
  EXPECT_EQ(PathText(PathFromText(kName).extension()), ".avi");
}

TEST(FilePath, OpenFileWritesAndReadsTheNamedFile) {
  TempFolder folder;
  const std::filesystem::path path = folder.Path() / PathFromText(kName);
  {
    const std::unique_ptr<std::FILE, int (*)(std::FILE*)> out(OpenFile(path, "wb"), std::fclose);
    ASSERT_NE(out, nullptr);
    ASSERT_EQ(std::fwrite("movi", 1, 4, out.get()), 4u);
  }
  // The directory lists the file under the very name asked for.
  ASSERT_EQ(std::distance(std::filesystem::directory_iterator(folder.Path()), {}), 1);
  EXPECT_EQ(PathText(std::filesystem::directory_iterator(folder.Path())->path().filename()), kName);
  const std::unique_ptr<std::FILE, int (*)(std::FILE*)> in(OpenFile(path, "rb"), std::fclose);
  ASSERT_NE(in, nullptr);
  char bytes[8] = {};
  EXPECT_EQ(std::fread(bytes, 1, sizeof bytes, in.get()), 4u);
  EXPECT_EQ(std::string(bytes), "movi");
}

TEST(FilePath, MissingFileSetsErrno) {
  TempFolder folder;
  errno = 0;
  EXPECT_EQ(OpenFile(folder.Path() / PathFromText(kName), "rb"), nullptr);
  EXPECT_EQ(errno, ENOENT);
}

}  // namespace
}  // namespace korvid
