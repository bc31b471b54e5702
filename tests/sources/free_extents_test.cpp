// Free extents of real file systems, built in image files with the file systems' own userspace
// tools and compared with what those tools report as free.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <regex>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "engine/errors.h"
#include "engine/temp_folder.h"
#include "sources/source_catalog.h"
#include "sources/image_tools.h"

namespace korvid::sources {
namespace {

using korvid::testing::TempFolder;

// The first number that `pattern` captures in `text` (digit groups separated by spaces join).
int64_t Number(const std::string& text, const std::string& pattern) {
  std::smatch match;
  if (!std::regex_search(text, match, std::regex(pattern))) {
    throw std::runtime_error("no match for " + pattern + " in:\n" + text);
  }
  std::string digits;
  for (char c : match[1].str()) {
    if (c >= '0' && c <= '9') digits += c;
  }
  return std::stoll(digits);
}

// Byte offsets in `bytes` where a marked sector of `tag` starts.
std::vector<int64_t> MarkerOffsets(const std::string& bytes, const std::string& tag) {
  std::vector<int64_t> offsets;
  for (size_t at = bytes.find(tag); at != std::string::npos; at = bytes.find(tag, at + 1)) {
    offsets.push_back(static_cast<int64_t>(at));
  }
  return offsets;
}

bool Covered(const std::vector<ByteRange>& ranges, int64_t offset, int64_t length) {
  for (const ByteRange& range : ranges) {
    if (range.Offset <= offset && offset + length <= range.Offset + range.Length) return true;
  }
  return false;
}

bool Touched(const std::vector<ByteRange>& ranges, int64_t offset, int64_t length) {
  for (const ByteRange& range : ranges) {
    if (range.Offset < offset + length && offset < range.Offset + range.Length) return true;
  }
  return false;
}

int64_t TotalBytes(const std::vector<ByteRange>& ranges) {
  int64_t total = 0;
  for (const ByteRange& range : ranges) total += range.Length;
  return total;
}

// Every sector of the live file lies outside the free space, every sector of the deleted one inside.
void ExpectLiveUsedAndDeletedFree(const Path& image, const FreeExtents& extents, int sectors) {
  const std::string bytes = ReadImage(image);
  const std::vector<int64_t> live = MarkerOffsets(bytes, "KORVID-LIVE-");
  const std::vector<int64_t> gone = MarkerOffsets(bytes, "KORVID-GONE-");
  ASSERT_EQ(live.size(), static_cast<size_t>(sectors));
  ASSERT_EQ(gone.size(), static_cast<size_t>(sectors));
  for (int64_t offset : live)
    EXPECT_FALSE(Touched(extents.Ranges, offset, 512)) << "live sector at " << offset;
  for (int64_t offset : gone)
    EXPECT_TRUE(Covered(extents.Ranges, offset, 512)) << "deleted sector at " << offset;
}

// The list entries, parsed as (first cluster, length).
std::vector<std::pair<int64_t, int64_t>> ParseList(const std::vector<std::string>& list) {
  std::vector<std::pair<int64_t, int64_t>> entries;
  const std::regex format(R"(^(0|[1-9][0-9]*) - ([1-9][0-9]*)$)");
  for (const std::string& entry : list) {
    std::smatch match;
    if (!std::regex_match(entry, match, format)) throw std::runtime_error("bad entry \"" + entry + "\"");
    entries.emplace_back(std::stoll(match[1].str()), std::stoll(match[2].str()));
  }
  return entries;
}

// The list and the ranges describe the same clusters: entries ascending, none crossing a multiple
// of 32768 clusters, counting FreeClusters, and placed from `clusterZero` (the byte where the
// file system's cluster 0 lies) they give exactly the ranges.
void ExpectListMatchesRanges(const FreeExtents& extents, int64_t clusterZero) {
  const int64_t clusterBytes = int64_t{extents.SectorsPerCluster} * extents.BytesPerSector;
  std::vector<ByteRange> fromList;
  int64_t clusters = 0;
  int64_t previousEnd = -1;
  for (auto [start, length] : ParseList(extents.List)) {
    EXPECT_GE(start, previousEnd);
    EXPECT_EQ(start / 32768, (start + length - 1) / 32768) << start << " - " << length;
    previousEnd = start + length;
    clusters += length;
    const ByteRange range{clusterZero + start * clusterBytes, length * clusterBytes};
    if (!fromList.empty() && fromList.back().Offset + fromList.back().Length == range.Offset) {
      fromList.back().Length += range.Length;
    } else {
      fromList.push_back(range);
    }
  }
  EXPECT_EQ(clusters, extents.FreeClusters);
  EXPECT_EQ(fromList, extents.Ranges);
}

void ExpectWholeSectors(const std::vector<ByteRange>& ranges) {
  for (const ByteRange& range : ranges) {
    EXPECT_EQ(range.Offset % 512, 0);
    EXPECT_EQ(range.Length % 512, 0);
    EXPECT_GT(range.Length, 0);
  }
}

std::vector<ByteRange> Shifted(std::vector<ByteRange> ranges, int64_t by) {
  for (ByteRange& range : ranges) range.Offset += by;
  return ranges;
}

constexpr int MarkedSectors = 1200;

// FAT12/16/32 made by mkfs.vfat, a live and a deleted file added with mtools.
struct FatCase {
  std::string name;
  std::string mkfsOptions;
  std::string size;
};

void PrintTo(const FatCase& fatCase, std::ostream* out) { *out << fatCase.name; }

class FatFreeExtents : public ::testing::TestWithParam<FatCase> {};

TEST_P(FatFreeExtents, MatchTheFileSystemsOwnCount) {
  REQUIRE_TOOLS("mkfs.vfat", "mcopy", "mdel", "mdir", "fsck.fat");
  TempFolder folder;
  const Path image = folder / "fat.img";
  MakeImage(image, GetParam().size);
  RunCommand("mkfs.vfat " + GetParam().mkfsOptions + " " + Quote(image));
  WriteMarkedFile(folder / "live.bin", "KORVID-LIVE-", MarkedSectors);
  WriteMarkedFile(folder / "gone.bin", "KORVID-GONE-", MarkedSectors);
  RunCommand("mcopy -i " + Quote(image) + " " + Quote(folder / "gone.bin") + " ::GONE.BIN");
  RunCommand("mcopy -i " + Quote(image) + " " + Quote(folder / "live.bin") + " ::LIVE.BIN");
  RunCommand("mdel -i " + Quote(image) + " ::GONE.BIN");

  const FreeExtents extents = LoadFreeExtents(image.string());

  const std::string check = RunCommand("fsck.fat -n -v " + Quote(image));
  EXPECT_EQ(extents.BytesPerSector, Number(check, R"((\d+) bytes per logical sector)"));
  EXPECT_EQ(int64_t{extents.SectorsPerCluster} * extents.BytesPerSector,
            Number(check, R"((\d+) bytes per cluster)"));
  EXPECT_EQ(extents.TotalClusters, Number(check, R"((\d+) data clusters)"));
  const int64_t freeBytes = Number(RunCommand("mdir -i " + Quote(image) + " ::"), R"(([\d ]+) bytes free)");
  EXPECT_EQ(TotalBytes(extents.Ranges), freeBytes);
  EXPECT_EQ(int64_t{extents.FreeClusters} * extents.SectorsPerCluster * extents.BytesPerSector, freeBytes);
  ExpectWholeSectors(extents.Ranges);
  // Cluster 0 of the list is FAT cluster 2, the first cluster of the data area.
  ExpectListMatchesRanges(extents, Number(check, R"(Data area starts at byte (\d+))"));
  ExpectLiveUsedAndDeletedFree(image, extents, MarkedSectors);
}

INSTANTIATE_TEST_SUITE_P(Fat, FatFreeExtents,
                         ::testing::Values(FatCase{"Fat32", "-F 32 -s 1", "64M"},
                                           FatCase{"Fat16", "-F 16 -s 4", "32M"},
                                           FatCase{"Fat12", "-F 12 -s 2", "2M"}),
                         [](const auto& info) { return info.param.name; });

TEST(FreeExtents, SplitsFreeRunsAtBitmapPiecesOnARealFileSystem) {
  REQUIRE_TOOLS("mkfs.vfat");
  TempFolder folder;
  const Path image = folder / "fat.img";
  // 512-byte clusters: 129022 clusters, the free run after the root directory crosses 32768.
  MakeImage(image, "64M");
  RunCommand("mkfs.vfat -F 32 -s 1 " + Quote(image));

  const FreeExtents extents = LoadFreeExtents(image.string());

  const auto entries = ParseList(extents.List);
  ASSERT_EQ(extents.Ranges.size(), 1u);
  ASSERT_GE(entries.size(), 4u);
  EXPECT_EQ(entries[0].first + entries[0].second, 32768);
  EXPECT_EQ(extents.List[1], "32768 - 32768");
  EXPECT_EQ(extents.List[2], "65536 - 32768");
  EXPECT_EQ(entries.back().first + entries.back().second, extents.TotalClusters);
}

TEST(FreeExtents, ExfatMatchesDumpExfat) {
  REQUIRE_TOOLS("mkfs.exfat", "dump.exfat");
  // No userspace tool adds files to exFAT, so the file system is empty: its bitmap, up-case
  // table and root directory are the clusters in use.
  TempFolder folder;
  const Path image = folder / "exfat.img";
  MakeImage(image, "64M");
  RunCommand("mkfs.exfat " + Quote(image));

  const FreeExtents extents = LoadFreeExtents(image.string());

  const std::string dump = RunCommand("dump.exfat " + Quote(image));
  const int64_t sectorBytes = int64_t{1} << Number(dump, R"(Sector Size Bits:\s*(\d+))");
  const int64_t clusterBytes = Number(dump, R"(Cluster size:\s*(\d+))");
  EXPECT_EQ(extents.BytesPerSector, sectorBytes);
  EXPECT_EQ(int64_t{extents.SectorsPerCluster} * extents.BytesPerSector, clusterBytes);
  EXPECT_EQ(extents.TotalClusters, Number(dump, R"(Cluster Count:\s*(\d+))"));
  EXPECT_EQ(extents.FreeClusters, Number(dump, R"(Free Clusters:\s*(\d+))"));
  EXPECT_EQ(TotalBytes(extents.Ranges), int64_t{extents.FreeClusters} * clusterBytes);
  ExpectWholeSectors(extents.Ranges);
  const int64_t heap = Number(dump, R"(Cluster Heap Offset \(sector offset\):\s*(\d+))") * sectorBytes;
  ExpectListMatchesRanges(extents, heap);
  for (const char* cluster : {R"(Root Cluster \(cluster offset\):\s*(\d+))",
                              R"(Bitmap start cluster:\s*(\d+))", R"(Upcase table start cluster:\s*(\d+))"}) {
    const int64_t offset = heap + (Number(dump, cluster) - 2) * clusterBytes;
    EXPECT_FALSE(Touched(extents.Ranges, offset, clusterBytes)) << cluster;
  }
}

TEST(FreeExtents, NtfsMatchesNtfsinfo) {
  REQUIRE_TOOLS("mkntfs", "ntfscp", "ntfsls", "ntfstruncate", "ntfsinfo", "ntfscluster");
  TempFolder folder;
  const Path image = folder / "ntfs.img";
  MakeImage(image, "24M");
  RunCommand("mkntfs -F -Q " + Quote(image));
  WriteMarkedFile(folder / "live.bin", "KORVID-LIVE-", MarkedSectors);
  WriteMarkedFile(folder / "gone.bin", "KORVID-GONE-", MarkedSectors);
  RunCommand("ntfscp " + Quote(image) + " " + Quote(folder / "gone.bin") + " gone.bin");
  RunCommand("ntfscp " + Quote(image) + " " + Quote(folder / "live.bin") + " live.bin");
  // ntfs-3g has no tool that deletes a file; cutting it to length 0 frees its clusters.
  const int64_t goneInode = Number(RunCommand("ntfsls -i " + Quote(image)), R"((\d+)\s+gone\.bin)");
  RunCommand("ntfstruncate " + Quote(image) + " " + std::to_string(goneInode) + " 0");

  const FreeExtents extents = LoadFreeExtents(image.string());

  const std::string info = RunCommand("ntfsinfo -m " + Quote(image));
  const int64_t clusterBytes = Number(info, R"(Cluster Size:\s*(\d+))");
  EXPECT_EQ(extents.BytesPerSector, 512u);
  EXPECT_EQ(int64_t{extents.SectorsPerCluster} * extents.BytesPerSector, clusterBytes);
  EXPECT_EQ(extents.TotalClusters, Number(info, R"(Volume Size in Clusters:\s*(\d+))"));
  EXPECT_EQ(extents.FreeClusters, Number(info, R"(Free Clusters:\s*(\d+))"));
  EXPECT_EQ(TotalBytes(extents.Ranges),
            Number(RunCommand("ntfscluster " + Quote(image)), R"(bytes of free space\s*:\s*(\d+))"));
  ExpectWholeSectors(extents.Ranges);
  ExpectListMatchesRanges(extents, 0);
  ExpectLiveUsedAndDeletedFree(image, extents, MarkedSectors);
}

// The free blocks that dumpe2fs lists group by group, joined into runs [first, end).
std::vector<std::pair<int64_t, int64_t>> DumpedFreeBlocks(const std::string& dump) {
  std::vector<std::pair<int64_t, int64_t>> runs;
  const std::regex line(R"(\n\s+Free blocks: ([^\n]*))");
  const std::regex item(R"((\d+)(?:-(\d+))?)");
  for (std::sregex_iterator it(dump.begin(), dump.end(), line), end; it != end; ++it) {
    const std::string list = (*it)[1].str();
    for (std::sregex_iterator i(list.begin(), list.end(), item); i != end; ++i) {
      const int64_t first = std::stoll((*i)[1].str());
      const int64_t last = (*i)[2].matched ? std::stoll((*i)[2].str()) : first;
      if (!runs.empty() && runs.back().second == first) {
        runs.back().second = last + 1;
      } else {
        runs.emplace_back(first, last + 1);
      }
    }
  }
  return runs;
}

std::vector<std::pair<int64_t, int64_t>> JoinedRuns(const std::vector<std::string>& list) {
  std::vector<std::pair<int64_t, int64_t>> runs;
  for (auto [start, length] : ParseList(list)) {
    if (!runs.empty() && runs.back().second == start) {
      runs.back().second = start + length;
    } else {
      runs.emplace_back(start, start + length);
    }
  }
  return runs;
}

// ext2/3/4 layouts made by mkfs.ext4, files written and removed with debugfs.
struct ExtCase {
  std::string name;
  std::string mkfsOptions;
  std::string size;
};

void PrintTo(const ExtCase& extCase, std::ostream* out) { *out << extCase.name; }

class ExtFreeExtents : public ::testing::TestWithParam<ExtCase> {};

TEST_P(ExtFreeExtents, MatchDumpe2fsBlockByBlock) {
  REQUIRE_TOOLS("mkfs.ext4", "debugfs", "dumpe2fs");
  TempFolder folder;
  const Path image = folder / "ext.img";
  MakeImage(image, GetParam().size);
  RunCommand("mkfs.ext4 -q -F " + GetParam().mkfsOptions + " " + Quote(image));
  WriteMarkedFile(folder / "live.bin", "KORVID-LIVE-", MarkedSectors);
  WriteMarkedFile(folder / "gone.bin", "KORVID-GONE-", MarkedSectors);
  RunCommand("debugfs -w -R 'write " + (folder / "gone.bin").string() + " gone.bin' " + Quote(image));
  RunCommand("debugfs -w -R 'write " + (folder / "live.bin").string() + " live.bin' " + Quote(image));
  RunCommand("debugfs -w -R 'rm gone.bin' " + Quote(image));

  const FreeExtents extents = LoadFreeExtents(image.string());

  const std::string dump = RunCommand("dumpe2fs " + Quote(image));
  const int64_t blockBytes = Number(dump, R"(Block size:\s*(\d+))");
  EXPECT_EQ(int64_t{extents.SectorsPerCluster} * extents.BytesPerSector, blockBytes);
  EXPECT_EQ(extents.TotalClusters, Number(dump, R"(Block count:\s*(\d+))"));
  EXPECT_EQ(extents.FreeClusters, Number(dump, R"(Free blocks:\s*(\d+))"));
  EXPECT_EQ(JoinedRuns(extents.List), DumpedFreeBlocks(dump));
  ExpectWholeSectors(extents.Ranges);
  ExpectListMatchesRanges(extents, 0);
  ExpectLiveUsedAndDeletedFree(image, extents, MarkedSectors);
}

// Groups left uninitialised by mke2fs hold only metadata; meta_bg spreads the descriptors over
// the groups (24 groups of 1024 blocks: two meta groups); without flex_bg a group keeps its own
// bitmaps and inode table; ext2 has no descriptor checksums.
INSTANTIATE_TEST_SUITE_P(
    Ext, ExtFreeExtents,
    ::testing::Values(ExtCase{"Ext4", "-t ext4 -b 4096 -g 4096", "48M"},
                      ExtCase{"Ext4SmallBlocks", "-t ext4 -b 1024", "32M"},
                      ExtCase{"Ext4MetaBg", "-t ext4 -b 1024 -g 1024 -O meta_bg,^resize_inode", "24M"},
                      ExtCase{"Ext4No64Bit", "-t ext4 -b 1024 -O ^64bit,^flex_bg", "40M"},
                      ExtCase{"Ext2", "-t ext2", "16M"}),
    [](const auto& info) { return info.param.name; });

// A disk image with a partition table: a FAT32 and an ext4 partition.
class PartitionedDisk : public ::testing::TestWithParam<std::string> {};

TEST_P(PartitionedDisk, EveryPartitionAtItsOffset) {
  REQUIRE_TOOLS("sfdisk", "mkfs.vfat", "mcopy", "mdel", "mkfs.ext4", "dd");
  TempFolder folder;
  const Path fat = folder / "fat.img";
  const Path ext = folder / "ext.img";
  const Path disk = folder / "disk.img";
  MakeImage(fat, "40M");
  RunCommand("mkfs.vfat -F 32 -s 1 " + Quote(fat));
  WriteMarkedFile(folder / "live.bin", "KORVID-LIVE-", MarkedSectors);
  WriteMarkedFile(folder / "gone.bin", "KORVID-GONE-", MarkedSectors);
  RunCommand("mcopy -i " + Quote(fat) + " " + Quote(folder / "gone.bin") + " ::GONE.BIN");
  RunCommand("mcopy -i " + Quote(fat) + " " + Quote(folder / "live.bin") + " ::LIVE.BIN");
  RunCommand("mdel -i " + Quote(fat) + " ::GONE.BIN");
  MakeImage(ext, "24M");
  RunCommand("mkfs.ext4 -q -F -t ext4 " + Quote(ext));

  constexpr int64_t MiB = 1024 * 1024;
  const int64_t fatStart = 1 * MiB;
  const int64_t extStart = 42 * MiB;
  MakeImage(disk, "68M");
  RunCommand("printf 'label: " + GetParam() + "\\nstart=2048, size=81920, type=" +
             (GetParam() == "gpt" ? "EBD0A0A2-B9E5-4433-87C0-68B6B72699C7" : "c") +
             "\\nstart=86016, size=49152, type=" +
             (GetParam() == "gpt" ? "0FC63DAF-8483-4772-8E79-3D69D8477DE4" : "83") + "\\n' | sfdisk -q " +
             Quote(disk));
  RunCommand("dd if=" + Quote(fat) + " of=" + Quote(disk) + " bs=1M seek=1 conv=notrunc,sparse status=none");
  RunCommand("dd if=" + Quote(ext) + " of=" + Quote(disk) + " bs=1M seek=42 conv=notrunc,sparse status=none");

  const FreeExtents fatAlone = LoadFreeExtents(fat.string());
  const FreeExtents extAlone = LoadFreeExtents(ext.string());
  const FreeExtents extents = LoadFreeExtents(disk.string());

  std::vector<ByteRange> expected = Shifted(fatAlone.Ranges, fatStart);
  for (const ByteRange& range : Shifted(extAlone.Ranges, extStart)) expected.push_back(range);
  EXPECT_EQ(extents.Ranges, expected);
  std::vector<std::string> list = fatAlone.List;
  list.insert(list.end(), extAlone.List.begin(), extAlone.List.end());
  EXPECT_EQ(extents.List, list);
  EXPECT_EQ(extents.SectorsPerCluster, fatAlone.SectorsPerCluster);
  EXPECT_EQ(extents.BytesPerSector, fatAlone.BytesPerSector);
  EXPECT_EQ(extents.FreeClusters, fatAlone.FreeClusters);
  EXPECT_EQ(extents.TotalClusters, fatAlone.TotalClusters);
  for (const ByteRange& range : extents.Ranges) {
    const bool inFat = range.Offset >= fatStart && range.Offset + range.Length <= fatStart + 40 * MiB;
    const bool inExt = range.Offset >= extStart && range.Offset + range.Length <= extStart + 24 * MiB;
    EXPECT_TRUE(inFat || inExt) << range.Offset << " + " << range.Length;
  }
  ExpectLiveUsedAndDeletedFree(disk, extents, MarkedSectors);
}

INSTANTIATE_TEST_SUITE_P(Tables, PartitionedDisk, ::testing::Values("dos", "gpt"),
                         [](const auto& info) { return info.param; });

// A truncated image of a file system whose end is free: NTFS (only the backup boot sector
// follows its clusters), walked by TSK, and ext4, read here.
class TruncatedImage : public ::testing::TestWithParam<std::string> {};

TEST_P(TruncatedImage, KeepsToItsLength) {
  const std::string mkfs = GetParam() == "ntfs" ? "mkntfs -F -Q" : "mkfs.ext4 -q -F -t ext4 -b 4096";
  REQUIRE_TOOLS(mkfs.substr(0, mkfs.find(' ')));
  TempFolder folder;
  const Path image = folder / "fs.img";
  MakeImage(image, "24M");
  RunCommand(mkfs + " " + Quote(image));
  const FreeExtents whole = LoadFreeExtents(image.string());
  const int64_t cut = 20 * 1024 * 1024 + 1000;
  std::filesystem::resize_file(image, static_cast<uintmax_t>(cut));

  const FreeExtents truncated = LoadFreeExtents(image.string());

  const int64_t clusterBytes = int64_t{whole.SectorsPerCluster} * whole.BytesPerSector;
  std::vector<ByteRange> expected;
  for (const ByteRange& range : whole.Ranges) {
    const int64_t end = std::min(range.Offset + range.Length, cut / clusterBytes * clusterBytes);
    if (end > range.Offset) expected.push_back({range.Offset, end - range.Offset});
  }
  EXPECT_EQ(truncated.Ranges, expected);
  EXPECT_LT(truncated.FreeClusters, whole.FreeClusters);
  EXPECT_EQ(truncated.TotalClusters, whole.TotalClusters);
}

INSTANTIATE_TEST_SUITE_P(FileSystems, TruncatedImage, ::testing::Values("ntfs", "ext4"),
                         [](const auto& info) { return info.param; });

TEST(FreeExtents, RandomBytesAreNoFileSystem) {
  TempFolder folder;
  const Path image = folder / "random.img";
  std::mt19937 random(20240611);
  std::string bytes(4 * 1024 * 1024, '\0');
  for (char& byte : bytes) byte = static_cast<char>(random());
  std::ofstream(image, std::ios::binary) << bytes;

  try {
    LoadFreeExtents(image.string());
    FAIL() << "no error raised";
  } catch (const KorvidError& error) {
    EXPECT_EQ(error.Kind(), ErrorKind::ReadFailed);
    EXPECT_EQ(error.Path(), image.string());
    EXPECT_NE(error.SystemText().find("No file system whose free space can be read was found"),
              std::string::npos)
        << error.SystemText();
  }
}

// Partition tables that hold no readable file system: one partition of zeros, and none at all.
struct TableCase {
  std::string name;
  std::string sfdiskScript;
  std::string reasonStart;  // TSK words its own failures; their start is enough
};

void PrintTo(const TableCase& tableCase, std::ostream* out) { *out << tableCase.name; }

class PartitionTableWithoutFileSystem : public ::testing::TestWithParam<TableCase> {};

TEST_P(PartitionTableWithoutFileSystem, GivesTheReason) {
  REQUIRE_TOOLS("sfdisk");
  TempFolder folder;
  const Path disk = folder / "disk.img";
  MakeImage(disk, "8M");
  RunCommand("printf '" + GetParam().sfdiskScript + "' | sfdisk -q " + Quote(disk));

  try {
    LoadFreeExtents(disk.string());
    FAIL() << "no error raised";
  } catch (const KorvidError& error) {
    EXPECT_EQ(error.Kind(), ErrorKind::ReadFailed);
    const std::string expected =
        "No file system whose free space can be read was found (" + GetParam().reasonStart;
    EXPECT_EQ(error.SystemText().rfind(expected, 0), 0u) << error.SystemText();
  }
}

INSTANTIATE_TEST_SUITE_P(
    Tables, PartitionTableWithoutFileSystem,
    ::testing::Values(TableCase{"EmptyPartition", "label: dos\\nstart=2048, type=83\\n", "TSK: "},
                      TableCase{"NoPartition", "label: gpt\\n", "the partition table lists no partition)"}),
    [](const auto& info) { return info.param.name; });

TEST(FreeExtents, MissingSourceIsAReadFailure) {
  TempFolder folder;
  const std::string path = (folder / "missing.img").string();
  try {
    LoadFreeExtents(path);
    FAIL() << "no error raised";
  } catch (const KorvidError& error) {
    EXPECT_EQ(error.Kind(), ErrorKind::ReadFailed);
    EXPECT_EQ(error.Path(), path);
  }
}

}  // namespace
}  // namespace korvid::sources
