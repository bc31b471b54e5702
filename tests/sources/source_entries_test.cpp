// Directory entries of real FAT32 and exFAT volumes, built with their own userspace tools.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "engine/temp_folder.h"
#include "sources/image_tools.h"
#include "sources/open_source.h"
#include "sources/source_catalog.h"

namespace korvid::sources {
namespace {

using korvid::testing::TempFolder;

// 2026-12-08 15:00:00 as the mtools and mkfs of the tests write it: in UTC.
constexpr int64_t Dec8 = 1796742000;

const SourceEntry* Named(const std::vector<SourceEntry>& entries, const std::string& name) {
  const auto it = std::find_if(entries.begin(), entries.end(), [&](const SourceEntry& e) { return e.Name == name; });
  return it == entries.end() ? nullptr : &*it;
}

// Each entry's first byte must be where its file's first marked sector lies in the image.
void ExpectFirstBytesHoldTheFiles(const std::string& bytes, const std::vector<SourceEntry>& entries,
                                  const std::vector<std::pair<std::string, std::string>>& nameAndTag) {
  for (const auto& [name, tag] : nameAndTag) {
    const SourceEntry* e = Named(entries, name);
    ASSERT_NE(e, nullptr) << name;
    EXPECT_EQ(bytes.compare(static_cast<size_t>(e->FirstByte), tag.size() + 1, tag + "0"), 0) << name;
  }
}

class FatEntries : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "UTC", 1);
    tzset();
    setenv("MTOOLS_SKIP_CHECK", "1", 1);
  }
};

TEST_F(FatEntries, LiveAndDeletedEntriesInEveryFolderWithNameSizeTimesAndFirstCluster) {
  REQUIRE_TOOLS("mkfs.vfat", "mcopy", "mdel", "mmd");
  TempFolder folder;
  const Path image = folder.Path() / "fat.img";
  MakeImage(image, "64M");
  RunCommand("mkfs.vfat -F 32 -s 1 " + Quote(image));
  RunCommand("mmd -i " + Quote(image) + " ::DVR");
  const std::vector<std::pair<std::string, std::string>> files = {
      {"CH01_20261208_150000.AVI", "LONGLIVE"}, {"SHORT.AVI", "SHORTDEL"}, {"CH02_20261208_150000.AVI", "LONGDEL"}};
  for (const auto& [name, tag] : files) {
    WriteMarkedFile(folder.Path() / name, tag, 20);
    RunCommand("touch -d '2026-12-08 15:00:00' " + Quote(folder.Path() / name));
    RunCommand("mcopy -m -i " + Quote(image) + " " + Quote(folder.Path() / name) + " ::DVR/");
  }
  RunCommand("mdel -i " + Quote(image) + " ::DVR/SHORT.AVI ::DVR/CH02_20261208_150000.AVI");

  const auto source = OpenSource(image.string());
  const std::vector<SourceEntry> entries = LoadSourceEntries(*source);
  ASSERT_EQ(entries.size(), 3u);
  ExpectFirstBytesHoldTheFiles(ReadImage(image), entries,
                               {{"CH01_20261208_150000.AVI", "LONGLIVE"}, {"_HORT.AVI", "SHORTDEL"},
                                {"CH02_20261208_150000.AVI", "LONGDEL"}});
  const SourceEntry* live = Named(entries, "CH01_20261208_150000.AVI");
  const SourceEntry* deleted = Named(entries, "_HORT.AVI");
  ASSERT_TRUE(live && deleted);
  EXPECT_FALSE(live->Deleted);
  EXPECT_TRUE(deleted->Deleted);
  EXPECT_EQ(deleted->Size, 20u * 512);
  EXPECT_EQ(deleted->ClusterSize, 512);
  EXPECT_EQ(deleted->Modified, Dec8);
  ASSERT_TRUE(deleted->Accessed.has_value());
  EXPECT_EQ(*deleted->Accessed, Dec8 - 15 * 3600);  // FAT keeps the day of the last access only
}

TEST_F(FatEntries, AQuickFormattedVolumeHasNone) {
  REQUIRE_TOOLS("mkfs.vfat", "mcopy");
  TempFolder folder;
  const Path image = folder.Path() / "fat.img";
  MakeImage(image, "64M");
  RunCommand("mkfs.vfat -F 32 " + Quote(image));
  WriteMarkedFile(folder.Path() / "A.AVI", "GONE", 8);
  RunCommand("mcopy -i " + Quote(image) + " " + Quote(folder.Path() / "A.AVI") + " ::");
  ASSERT_EQ(LoadSourceEntries(*OpenSource(image.string())).size(), 1u);
  RunCommand("mkfs.vfat -F 32 " + Quote(image));
  EXPECT_TRUE(LoadSourceEntries(*OpenSource(image.string())).empty());
}

TEST_F(FatEntries, EveryPartitionOfADiskAtItsOffset) {
  REQUIRE_TOOLS("sfdisk", "mkfs.vfat", "mcopy", "mdel", "dd");
  TempFolder folder;
  constexpr int64_t MiB = 1024 * 1024;
  const Path disk = folder.Path() / "disk.img";
  MakeImage(disk, "90M");
  RunCommand("printf 'label: dos\\nstart=2048, size=81920, type=c\\nstart=86016, size=90112, type=c\\n' | sfdisk -q " +
             Quote(disk));
  const std::vector<std::pair<std::string, int64_t>> parts = {{"A", 1}, {"B", 42}};
  for (const auto& [tag, start] : parts) {
    const Path fat = folder.Path() / (tag + ".img");
    MakeImage(fat, tag == "A" ? "40M" : "44M");
    RunCommand("mkfs.vfat -F 32 -s 1 " + Quote(fat));
    WriteMarkedFile(folder.Path() / (tag + ".AVI"), "PART" + tag, 6);
    RunCommand("mcopy -i " + Quote(fat) + " " + Quote(folder.Path() / (tag + ".AVI")) + " ::CH" + tag + ".AVI");
    RunCommand("mdel -i " + Quote(fat) + " ::CH" + tag + ".AVI");
    RunCommand("dd if=" + Quote(fat) + " of=" + Quote(disk) + " bs=1M seek=" + std::to_string(start) +
               " conv=notrunc,sparse status=none");
  }
  const std::vector<SourceEntry> entries = LoadSourceEntries(*OpenSource(disk.string()));
  ASSERT_EQ(entries.size(), 2u);
  ExpectFirstBytesHoldTheFiles(ReadImage(disk), entries, {{"_HA.AVI", "PARTA"}, {"_HB.AVI", "PARTB"}});
  EXPECT_LT(Named(entries, "_HA.AVI")->FirstByte, 41 * MiB);
  EXPECT_GT(Named(entries, "_HB.AVI")->FirstByte, 42 * MiB);
}

TEST(SourceEntries, NoFileSystemGivesNone) {
  TempFolder folder;
  const Path image = folder.Path() / "zeros.img";
  MakeImage(image, "4M");
  EXPECT_TRUE(LoadSourceEntries(*OpenSource(image.string())).empty());
}

}  // namespace
}  // namespace korvid::sources
