// The free-space reading of the Windows build for the sources it cannot read: the caller is told
// why, and scans the whole source.
#include <gtest/gtest.h>

#include "engine/errors.h"
#include "sources/source_catalog.h"
#include "temp_files.h"

namespace korvid::sources {
namespace {

using korvid::testing::Numbered;
using korvid::testing::TempFolder;
using korvid::testing::Utf8Path;
using korvid::testing::WriteWideFile;

KorvidError LoadFailure(const std::string& path) {
  try {
    LoadFreeExtents(path);
  } catch (const KorvidError& e) {
    return e;
  }
  throw std::runtime_error("LoadFreeExtents read " + path);
}

TEST(LoadFreeExtentsWindows, ImageFileIsNotRead) {
  TempFolder folder;
  WriteWideFile(folder / "fat.img", Numbered(65536));
  const std::string path = Utf8Path(folder / "fat.img");
  const KorvidError error = LoadFailure(path);
  EXPECT_EQ(error.Kind(), ErrorKind::ReadFailed);
  EXPECT_EQ(error.Path(), path);
  EXPECT_NE(error.SystemText().find("The Sleuth Kit"), std::string::npos) << error.SystemText();
}

TEST(LoadFreeExtentsWindows, DiskWithoutVolumes) {
  const KorvidError error = LoadFailure("\\\\.\\PhysicalDrive250");
  EXPECT_EQ(error.Kind(), ErrorKind::ReadFailed);
  EXPECT_EQ(error.SystemText(), "No volume on the disk has a volume bitmap that can be read.");
}

TEST(LoadFreeExtentsWindows, DriveLetterWithoutVolumeGivesTheSystemsText) {
  // Wine maps C: and Z:; no test machine has every letter, the last one is the least likely.
  wchar_t root[] = L"Y:\\";
  while (root[0] > L'D' && GetDriveTypeW(root) != DRIVE_NO_ROOT_DIR) --root[0];
  ASSERT_EQ(GetDriveTypeW(root), static_cast<UINT>(DRIVE_NO_ROOT_DIR));
  const std::string path = std::string("\\\\.\\") + static_cast<char>(root[0]) + ":";
  const KorvidError error = LoadFailure(path);
  EXPECT_EQ(error.Kind(), ErrorKind::ReadFailed);
  EXPECT_EQ(error.Path(), path);
  EXPECT_FALSE(error.SystemText().empty());
  EXPECT_NE(error.SystemText(), "#11 - 加载失败!");  // ntdll is there: the volume is what is missing
}

}  // namespace
}  // namespace korvid::sources
