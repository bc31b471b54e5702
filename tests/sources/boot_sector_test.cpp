// Where cluster 0 of a FAT or exFAT volume bitmap lies, from boot sectors laid out by hand.
#include "sources/boot_sector.h"

#include <gtest/gtest.h>

#include "sources/le_bytes.h"

namespace korvid::sources {
namespace {

using korvid::testing::LeBytes;

LeBytes FatBootSector(uint64_t bytesPerSector, uint8_t sectorsPerCluster, uint64_t reserved, uint8_t fats,
                      uint64_t rootEntries, uint64_t sectors16, uint64_t fatSectors16, uint64_t sectors32,
                      uint64_t fatSectors32) {
  LeBytes sector(512);
  sector.Put(11, bytesPerSector, 2).Put(13, sectorsPerCluster, 1).Put(14, reserved, 2).Put(16, fats, 1);
  sector.Put(17, rootEntries, 2).Put(19, sectors16, 2).Put(22, fatSectors16, 2);
  sector.Put(32, sectors32, 4).Put(36, fatSectors32, 4).Put(510, 0xAA55, 2);
  return sector;
}

TEST(ParseFatBootSector, Fat32DataAreaBehindReservedSectorsAndFats) {
  const LeBytes boot = FatBootSector(512, 8, 32, 2, 0, 0, 0, 1048576, 1024);
  const std::optional<FatClusterLayout> layout = ParseFatBootSector(boot.Bytes(), false);
  ASSERT_TRUE(layout);
  EXPECT_EQ(layout->BytesPerSector, 512u);
  EXPECT_EQ(layout->SectorsPerCluster, 8u);
  EXPECT_EQ(layout->FirstClusterSector, 32u + 2 * 1024);
  EXPECT_EQ(layout->ClusterCount, (1048576u - 2080) / 8);
}

TEST(ParseFatBootSector, Fat16DataAreaBehindTheRootFolder) {
  // 512 root entries of 32 bytes: 32 sectors of root folder before cluster 2.
  const LeBytes boot = FatBootSector(512, 4, 1, 2, 512, 65535, 64, 0, 0);
  const std::optional<FatClusterLayout> layout = ParseFatBootSector(boot.Bytes(), false);
  ASSERT_TRUE(layout);
  EXPECT_EQ(layout->FirstClusterSector, 1u + 128 + 32);
  EXPECT_EQ(layout->ClusterCount, (65535u - 161) / 4);
}

TEST(ParseFatBootSector, RootFolderRoundsUpToWholeSectors) {
  const LeBytes boot = FatBootSector(2048, 1, 4, 1, 100, 10000, 10, 0, 0);  // 3200 bytes: 2 sectors
  EXPECT_EQ(ParseFatBootSector(boot.Bytes(), false)->FirstClusterSector, 4u + 10 + 2);
}

TEST(ParseFatBootSector, ImpossibleNumbersAreRefused) {
  EXPECT_FALSE(ParseFatBootSector(FatBootSector(0, 8, 32, 2, 0, 0, 0, 100000, 100).Bytes(), false));
  EXPECT_FALSE(ParseFatBootSector(FatBootSector(512, 0, 32, 2, 0, 0, 0, 100000, 100).Bytes(), false));
  // FATs that reach past the end of the volume.
  EXPECT_FALSE(ParseFatBootSector(FatBootSector(512, 8, 32, 2, 0, 0, 0, 1000, 600).Bytes(), false));
  EXPECT_FALSE(ParseFatBootSector(LeBytes(511, 1).Bytes(), false));
}

TEST(ParseFatBootSector, ExFatClusterHeap) {
  LeBytes boot(512);
  boot.Put(88, 2048, 4).Put(92, 5000, 4).Put(108, 9, 1).Put(109, 3, 1);
  const std::optional<FatClusterLayout> layout = ParseFatBootSector(boot.Bytes(), true);
  ASSERT_TRUE(layout);
  EXPECT_EQ(layout->BytesPerSector, 512u);
  EXPECT_EQ(layout->SectorsPerCluster, 8u);
  EXPECT_EQ(layout->FirstClusterSector, 2048u);
  EXPECT_EQ(layout->ClusterCount, 5000u);
  boot.Put(108, 13, 1);
  EXPECT_FALSE(ParseFatBootSector(boot.Bytes(), true));
  boot.Put(108, 12, 1).Put(109, 26, 1);
  EXPECT_FALSE(ParseFatBootSector(boot.Bytes(), true));
}

}  // namespace
}  // namespace korvid::sources
