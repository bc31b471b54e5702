// Which path a Source text opens on Windows, and what a path names.
#include "sources/windows_paths.h"

#include <gtest/gtest.h>

namespace korvid::sources {
namespace {

using Kind = WindowsDevicePath::Kind;

TEST(WindowsSourcePath, DiskTextGetsTheDevicePrefix) {
  EXPECT_EQ(WindowsSourcePath("PhysicalDrive12"), "\\\\.\\PhysicalDrive12");
  EXPECT_EQ(WindowsSourcePath("PhysicalDrive0"), "\\\\.\\PhysicalDrive0");
}

TEST(WindowsSourcePath, DriveTextOfTwoOrThreeCharactersIsTheVolume) {
  EXPECT_EQ(WindowsSourcePath("C:"), "\\\\.\\C:");
  EXPECT_EQ(WindowsSourcePath("C:\\"), "\\\\.\\C:");
  EXPECT_EQ(WindowsSourcePath("e:"), "\\\\.\\e:");
}

TEST(WindowsSourcePath, ImagePathsStayAsTheyAre) {
  EXPECT_EQ(WindowsSourcePath("D:\\a.img"), "D:\\a.img");
  EXPECT_EQ(WindowsSourcePath("\\\\server\\share\\disk.img"), "\\\\server\\share\\disk.img");
  EXPECT_EQ(WindowsSourcePath("\\\\.\\C:"), "\\\\.\\C:");
  EXPECT_EQ(WindowsSourcePath("a.img"), "a.img");
  EXPECT_EQ(WindowsSourcePath(""), "");
}

TEST(ClassifyWindowsPath, Disks) {
  const WindowsDevicePath disk = ClassifyWindowsPath("\\\\.\\PhysicalDrive3");
  EXPECT_EQ(disk.kind, Kind::Disk);
  EXPECT_EQ(disk.DiskNumber, 3u);
  EXPECT_EQ(ClassifyWindowsPath("\\\\.\\physicaldrive17").DiskNumber, 17u);
  EXPECT_EQ(ClassifyWindowsPath("\\\\?\\PhysicalDrive1").kind, Kind::Disk);
  EXPECT_EQ(ClassifyWindowsPath("\\\\.\\PhysicalDriveX").kind, Kind::Device);
  EXPECT_EQ(ClassifyWindowsPath("\\\\.\\PhysicalDrive").kind, Kind::Device);
}

TEST(ClassifyWindowsPath, VolumesAndTheirRoots) {
  const WindowsDevicePath letter = ClassifyWindowsPath("\\\\.\\D:");
  EXPECT_EQ(letter.kind, Kind::Volume);
  EXPECT_EQ(letter.RootPath, "D:\\");
  const WindowsDevicePath guid = ClassifyWindowsPath("\\\\?\\Volume{0a1b2c3d-0000-0000-0000-100000000000}");
  EXPECT_EQ(guid.kind, Kind::Volume);
  EXPECT_EQ(guid.RootPath, "\\\\?\\Volume{0a1b2c3d-0000-0000-0000-100000000000}\\");
}

TEST(ClassifyWindowsPath, FilesIncludingLongPathForms) {
  EXPECT_EQ(ClassifyWindowsPath("D:\\a.img").kind, Kind::File);
  EXPECT_EQ(ClassifyWindowsPath("\\\\?\\D:\\images\\a.img").kind, Kind::File);
  EXPECT_EQ(ClassifyWindowsPath("\\\\?\\UNC\\server\\share\\a.img").kind, Kind::File);
  EXPECT_EQ(ClassifyWindowsPath("\\\\server\\share\\a.img").kind, Kind::File);
  EXPECT_EQ(ClassifyWindowsPath("/tmp/a.img").kind, Kind::File);
  EXPECT_EQ(ClassifyWindowsPath("").kind, Kind::File);
}

TEST(ClassifyWindowsPath, OtherDevices) {
  EXPECT_EQ(ClassifyWindowsPath("\\\\.\\CdRom0").kind, Kind::Device);
  EXPECT_EQ(ClassifyWindowsPath("\\\\.\\HarddiskVolume3").kind, Kind::Device);
}

TEST(DriveKindText, ByDriveType) {
  EXPECT_EQ(DriveKindText(2), "RD");  // DRIVE_REMOVABLE
  EXPECT_EQ(DriveKindText(3), "HD");  // DRIVE_FIXED
  EXPECT_EQ(DriveKindText(4), "ND");  // DRIVE_REMOTE
  EXPECT_EQ(DriveKindText(5), "CD");  // DRIVE_CDROM
  EXPECT_EQ(DriveKindText(6), "RD");  // DRIVE_RAMDISK
  EXPECT_EQ(DriveKindText(0), "");    // DRIVE_UNKNOWN
  EXPECT_EQ(DriveKindText(1), "");    // DRIVE_NO_ROOT_DIR
  EXPECT_EQ(DriveKindText(7), "");
}

}  // namespace
}  // namespace korvid::sources
