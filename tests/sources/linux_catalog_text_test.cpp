#include "sources/linux_catalog_text.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace korvid::sources {
namespace {

TEST(ClassifyBlockName, DisksLoopsOpticalAndTheRest) {
  for (const char* name : {"sda", "sdaa", "nvme0n1", "mmcblk0", "vda", "xvdb", "hda", "sdr", "loopx"}) {
    EXPECT_EQ(ClassifyBlockName(name), BlockNameKind::Disk) << name;
  }
  for (const char* name : {"loop0", "loop12"}) EXPECT_EQ(ClassifyBlockName(name), BlockNameKind::Loop) << name;
  for (const char* name : {"sr0", "sr1"}) EXPECT_EQ(ClassifyBlockName(name), BlockNameKind::Optical) << name;
  for (const char* name :
       {"ram0", "zram0", "dm-3", "md0", "md127", "md_d0", "fd0", "mmcblk0boot0", "mmcblk0boot1", "mmcblk0rpmb"}) {
    EXPECT_EQ(ClassifyBlockName(name), BlockNameKind::Other) << name;
  }
}

TEST(DeviceNameLess, NaturalOrderWithLoopDevicesLast) {
  std::vector<std::string> names = {"loop10", "sdaa", "nvme0n10", "loop2", "sdb", "nvme0n2",
                                    "vda",    "sda",  "mmcblk0",  "loop0", "sdz", "nvme1n1"};
  std::sort(names.begin(), names.end(),
            [](const std::string& a, const std::string& b) { return DeviceNameLess(a, b); });
  const std::vector<std::string> expected = {"sda",     "sdb",  "sdz",     "vda",   "nvme0n2", "nvme0n10",
                                             "nvme1n1", "sdaa", "mmcblk0", "loop0", "loop2",   "loop10"};
  EXPECT_EQ(names, expected);
}

TEST(DeviceNameLess, IsAStrictOrder) {
  EXPECT_FALSE(DeviceNameLess("sda", "sda"));
  EXPECT_FALSE(DeviceNameLess("loop3", "loop3"));
  // Equal by value, different by text: exactly one of the two comes first.
  EXPECT_NE(DeviceNameLess("sd01", "sd1"), DeviceNameLess("sd1", "sd01"));
  EXPECT_TRUE(DeviceNameLess("sd", "sda"));
  EXPECT_FALSE(DeviceNameLess("sda", "sd"));
  EXPECT_TRUE(DeviceNameLess("mmcblk9", "mmcblk10"));
  EXPECT_TRUE(DeviceNameLess("sdz", "loop0"));
  EXPECT_FALSE(DeviceNameLess("loop0", "sdz"));
}

TEST(DevicePathForBlockName, SysfsBangIsASlash) {
  EXPECT_EQ(DevicePathForBlockName("sdb"), "/dev/sdb");
  EXPECT_EQ(DevicePathForBlockName("cciss!c0d0"), "/dev/cciss/c0d0");
}

TEST(ParseMountInfoLine, WithOptionalFields) {
  const auto entry =
      ParseMountInfoLine("36 35 98:0 /mnt1 /mnt2 rw,noatime master:1 shared:7 - ext3 /dev/root rw,errors=continue");
  ASSERT_TRUE(entry);
  EXPECT_EQ(entry->Major, 98u);
  EXPECT_EQ(entry->Minor, 0u);
  EXPECT_EQ(entry->MountPoint, "/mnt2");
  EXPECT_EQ(entry->FileSystemType, "ext3");
  EXPECT_EQ(entry->Source, "/dev/root");
}

TEST(ParseMountInfoLine, WithoutOptionalFieldsAndWithNewline) {
  const auto entry = ParseMountInfoLine("27 1 254:16 / / rw,relatime - ext4 /dev/vdb rw,discard\n");
  ASSERT_TRUE(entry);
  EXPECT_EQ(entry->Major, 254u);
  EXPECT_EQ(entry->Minor, 16u);
  EXPECT_EQ(entry->MountPoint, "/");
  EXPECT_EQ(entry->Source, "/dev/vdb");
}

TEST(ParseMountInfoLine, EscapedSpacesInMountPointAndSource) {
  const auto entry =
      ParseMountInfoLine("40 27 7:1 / /media/my\\040stick\\011x rw - vfat /dev/disk\\040one rw,fmask=0022");
  ASSERT_TRUE(entry);
  EXPECT_EQ(entry->MountPoint, "/media/my stick\tx");
  EXPECT_EQ(entry->Source, "/dev/disk one");
  EXPECT_EQ(entry->Minor, 1u);
}

TEST(ParseMountInfoLine, EmptySourceField) {
  const auto entry = ParseMountInfoLine("50 27 0:45 / /run/x rw - tmpfs  rw,size=4k");
  ASSERT_TRUE(entry);
  EXPECT_EQ(entry->FileSystemType, "tmpfs");
  EXPECT_EQ(entry->Source, "");
}

TEST(ParseMountInfoLine, RejectsLinesOfAnotherShape) {
  EXPECT_FALSE(ParseMountInfoLine(""));
  EXPECT_FALSE(ParseMountInfoLine("1 2"));
  EXPECT_FALSE(ParseMountInfoLine("36 35 98:0 /mnt1 /mnt2 rw,noatime ext3 /dev/root rw"));  // no separator
  EXPECT_FALSE(ParseMountInfoLine("36 35 98-0 /mnt1 /mnt2 rw - ext3 /dev/root rw"));        // no colon
  EXPECT_FALSE(ParseMountInfoLine("36 35 x:0 /mnt1 /mnt2 rw - ext3 /dev/root rw"));
  EXPECT_FALSE(ParseMountInfoLine("36 35 8:1y /mnt1 /mnt2 rw - ext3 /dev/root rw"));
  EXPECT_FALSE(ParseMountInfoLine("36 35 8:1 /mnt1 /mnt2 rw - ext3"));  // no source
}

TEST(UnescapeMountField, OctalEscapesOnly) {
  EXPECT_EQ(UnescapeMountField("a\\040b"), "a b");
  EXPECT_EQ(UnescapeMountField("\\011\\012\\134"), "\t\n\\");
  EXPECT_EQ(UnescapeMountField("end\\04"), "end\\04");    // too short
  EXPECT_EQ(UnescapeMountField("big\\400"), "big\\400");  // beyond one byte
  EXPECT_EQ(UnescapeMountField("not\\08x"), "not\\08x");  // 8 is no octal digit
  EXPECT_EQ(UnescapeMountField("plain"), "plain");
}

TEST(VolumeSerialFromBlkid, ThirtyTwoBitSerials) {
  EXPECT_EQ(VolumeSerialFromBlkid("vfat", "1234-ABCD"), "1234ABCD");
  EXPECT_EQ(VolumeSerialFromBlkid("vfat", "12ab-cdef"), "12ABCDEF");
  EXPECT_EQ(VolumeSerialFromBlkid("exfat", "0A1B-2C3D"), "0A1B2C3D");
}

TEST(VolumeSerialFromBlkid, NtfsKeepsTheLowThirtyTwoBits) {
  EXPECT_EQ(VolumeSerialFromBlkid("ntfs", "2FB82DBC502A647E"), "502A647E");
  EXPECT_EQ(VolumeSerialFromBlkid("ntfs", "1234-ABCD"), "");
}

TEST(VolumeSerialFromBlkid, NoSerialWithoutThirtyTwoBits) {
  EXPECT_EQ(VolumeSerialFromBlkid("ext4", "84ec5e24-6297-4a81-b94a-feb23854c8fe"), "");
  EXPECT_EQ(VolumeSerialFromBlkid("iso9660", "2023-01-01-12-00-00-00"), "");
  EXPECT_EQ(VolumeSerialFromBlkid("vfat", ""), "");
  EXPECT_EQ(VolumeSerialFromBlkid("vfat", "1234-ABCG"), "");
  EXPECT_EQ(VolumeSerialFromBlkid("vfat", "1234-ABC"), "");
}

TEST(IsExtendedPartitionEntry, OnlyMbrContainers) {
  EXPECT_TRUE(IsExtendedPartitionEntry("dos", "0x5"));
  EXPECT_TRUE(IsExtendedPartitionEntry("dos", "0xf"));
  EXPECT_TRUE(IsExtendedPartitionEntry("dos", "0x85"));
  EXPECT_FALSE(IsExtendedPartitionEntry("dos", "0xc"));
  EXPECT_FALSE(IsExtendedPartitionEntry("dos", "0x83"));
  EXPECT_FALSE(IsExtendedPartitionEntry("gpt", "0x5"));
  EXPECT_FALSE(IsExtendedPartitionEntry("", ""));
}

}  // namespace
}  // namespace korvid::sources
