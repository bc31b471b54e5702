// The Windows disk and volume catalog on the machine that runs the test. Under Wine there are no
// physical disks, and C: is a folder of the build host: what can be checked is the shape of what
// the system reports and the rules applied to it.
#include <gtest/gtest.h>

#include <algorithm>

#include "sources/source_catalog.h"
#include "sources/source_text.h"

namespace korvid::sources {
namespace {

TEST(QueryVolumesWindows, DriveCWithItsFileSystemAndSpace) {
  const std::vector<TNTVolumeInfo> volumes = QueryVolumes();
  const auto c = std::find_if(volumes.begin(), volumes.end(), [](const TNTVolumeInfo& v) { return v.Drive == "C"; });
  ASSERT_NE(c, volumes.end());
  EXPECT_EQ(c->DevicePath, "\\\\.\\C:");
  EXPECT_EQ(c->DriveKind, "HD");
  EXPECT_FALSE(c->FileSystemName.empty());
  EXPECT_GT(c->TotalBytes, 0);
  EXPECT_GE(c->FreeBytes, 0);
  EXPECT_LE(c->FreeBytes, c->TotalBytes);
  const bool upperHex = c->SerialNumber.size() == 8 &&
                        c->SerialNumber.find_first_not_of("0123456789ABCDEF") == std::string::npos;
  EXPECT_TRUE(c->SerialNumber.empty() || upperHex) << c->SerialNumber;
  EXPECT_NE(VolumeCaption(*c, c->Drive).find(" (C:), HD"), std::string::npos) << VolumeCaption(*c, c->Drive);
}

TEST(QueryVolumesWindows, LettersCToZInOrderOnly) {
  const std::vector<TNTVolumeInfo> volumes = QueryVolumes();
  char last = 'B';
  for (const TNTVolumeInfo& volume : volumes) {
    ASSERT_EQ(volume.Drive.size(), 1u);
    EXPECT_GT(volume.Drive[0], last);
    EXPECT_LE(volume.Drive[0], 'Z');
    EXPECT_EQ(volume.DevicePath, "\\\\.\\" + volume.Drive + ":");
    last = volume.Drive[0];
  }
}

TEST(ListDisksWindows, EntriesFollowTheirNumbers) {
  const std::vector<DiskEntry> disks = ListDisks();
  if (disks.empty()) {
    GTEST_SKIP() << "no physical disk can be opened here (Wine has none; Windows needs administrator rights)";
  }
  uint32_t previous = 0;
  bool first = true;
  for (const DiskEntry& disk : disks) {
    EXPECT_TRUE(first || disk.Number > previous);
    EXPECT_LT(disk.Number, 256u);
    EXPECT_EQ(disk.Name, "PhysicalDrive" + std::to_string(disk.Number));
    EXPECT_EQ(disk.DevicePath, "\\\\.\\" + disk.Name);
    EXPECT_GT(disk.SizeBytes, 0u);
    EXPECT_EQ(disk.Caption, DiskCaption(disk.Number, disk.MediaType, disk.SizeBytes));
    previous = disk.Number;
    first = false;
  }
}

}  // namespace
}  // namespace korvid::sources
