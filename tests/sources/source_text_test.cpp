#include "sources/source_text.h"

#include <gtest/gtest.h>

namespace korvid::sources {
namespace {

TEST(FormatByteSize, HundredthsAreCutNotRounded) {
  EXPECT_EQ(FormatByteSize(0), "0 B");
  EXPECT_EQ(FormatByteSize(1023), "1023 B");
  EXPECT_EQ(FormatByteSize(1024), "1 KB");
  EXPECT_EQ(FormatByteSize(1034), "1 KB");
  EXPECT_EQ(FormatByteSize(1035), "1.01 KB");
  EXPECT_EQ(FormatByteSize(1536), "1.50 KB");
  EXPECT_EQ(FormatByteSize(80023749120), "74.52 GB");
  EXPECT_EQ(FormatByteSize(uint64_t{1} << 50), "1024 TB");
  EXPECT_EQ(FormatByteSize(UINT64_MAX), "16777215.99 TB");
}

TEST(FormatSpace, MegabytesOnlyBelowOneMebibyte) {
  EXPECT_EQ(FormatSpace(1048575), "1.00 MB");
  EXPECT_EQ(FormatSpace(1048576), "0.00 GB");
  EXPECT_EQ(FormatSpace(500.0 * 1024 * 1024), "0.49 GB");
  EXPECT_EQ(FormatSpace(0), "0.00 MB");
}

TEST(MediaTypeText, EveryRangeOfTheTable) {
  EXPECT_EQ(MediaTypeText(0), "Unknown Media Type");
  EXPECT_EQ(MediaTypeText(1), "Floppy Disk");
  EXPECT_EQ(MediaTypeText(10), "Floppy Disk");
  EXPECT_EQ(MediaTypeText(11), "Removable Drive");
  EXPECT_EQ(MediaTypeText(12), "Fixed Drive");
  EXPECT_EQ(MediaTypeText(13), "Zip / Other");
  EXPECT_EQ(MediaTypeText(25), "Zip / Other");
  EXPECT_EQ(MediaTypeText(26), "UNKNOWN");
  EXPECT_EQ(DiskCaption(0, 12, 80023749120), "HD0, Fixed Drive, [74.52 GB]");
}

TEST(VolumeCaption, LabelDeviceKindDiskFileSystemAndSpace) {
  const TNTVolumeInfo data{.VolumeLabel = "Data",
                           .FileSystemName = "NTFS",
                           .TotalBytes = int64_t{100} << 30,
                           .FreeBytes = int64_t{25} << 29,  // 12.5 GiB
                           .DriveKind = "HD",
                           .DiskNumber = 0};
  EXPECT_EQ(VolumeCaption(data, "D:"), "Data (D:), HD0, NTFS, [12.50 GB/100.00 GB]");

  const TNTVolumeInfo card{.FileSystemName = "vfat", .TotalBytes = 1048575, .DriveKind = "RD", .DiskNumber = 1};
  EXPECT_EQ(VolumeCaption(card, "sdb1"), " (sdb1), RD1, vfat, [0.00 MB/1.00 MB]");
}

TEST(VolumeCaption, DriveLetterGetsItsColon) {
  const TNTVolumeInfo data{.VolumeLabel = "Data", .FileSystemName = "NTFS", .DriveKind = "HD", .DiskNumber = 0};
  EXPECT_EQ(VolumeCaption(data, "D"), "Data (D:), HD0, NTFS, [0.00 MB/0.00 MB]");
  // Device names of one character other than a letter, and longer ones, stand as they are.
  EXPECT_EQ(VolumeCaption(data, "1"), "Data (1), HD0, NTFS, [0.00 MB/0.00 MB]");
  EXPECT_EQ(VolumeCaption(data, "sr0"), "Data (sr0), HD0, NTFS, [0.00 MB/0.00 MB]");
}

TEST(KeepVolume, KnownDiskOrLabel) {
  TNTVolumeInfo volume;
  EXPECT_FALSE(KeepVolume(volume));
  volume.VolumeLabel = "DVD";
  EXPECT_TRUE(KeepVolume(volume));
  volume.VolumeLabel.clear();
  volume.DiskNumber = 3;
  EXPECT_TRUE(KeepVolume(volume));
}

TEST(ClassifySourceText, DiskVolumeAndImageTexts) {
  const SourceText disk = ClassifySourceText("PhysicalDrive12");
  EXPECT_EQ(disk.kind, SourceText::Kind::Disk);
  EXPECT_EQ(disk.DiskNumber, 12u);
  EXPECT_EQ(ClassifySourceText("PhysicalDriveX").DiskNumber, UINT32_MAX);

  for (const char* text : {"C:", "C:\\"}) {
    const SourceText volume = ClassifySourceText(text);
    EXPECT_EQ(volume.kind, SourceText::Kind::Volume) << text;
    EXPECT_EQ(volume.Letter, 'C');
  }
  for (const char* text : {"D:\\a.img", "\\\\server\\share\\disk.img", "/dev/sdb", "card.img", "C"}) {
    EXPECT_EQ(ClassifySourceText(text).kind, SourceText::Kind::Image) << text;
  }
}

TEST(FreeExtentEntries, RunsAreSplitAtBitmapPieceBorders) {
  EXPECT_EQ(FreeExtentEntries({{100, 50}}), (std::vector<std::string>{"100 - 50"}));
  EXPECT_EQ(FreeExtentEntries({{32760, 20}}), (std::vector<std::string>{"32760 - 8", "32768 - 12"}));
  EXPECT_EQ(FreeExtentEntries({{0, 70000}}),
            (std::vector<std::string>{"0 - 32768", "32768 - 32768", "65536 - 4464"}));
  EXPECT_EQ(FreeExtentEntries({{5000000000, 3}}), (std::vector<std::string>{"5000000000 - 3"}));
  EXPECT_TRUE(FreeExtentEntries({}).empty());
}

}  // namespace
}  // namespace korvid::sources
