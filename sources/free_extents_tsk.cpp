// Free space of the file systems on a source, read with The Sleuth Kit. TSK is portable C, so
// this file holds no platform call and serves every platform's LoadFreeExtents.
#include <algorithm>
#include <array>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "engine/errors.h"
#include "sources/boot_sector.h"
#include "sources/ext_allocation.h"
#include "sources/source_catalog.h"
#include "sources/source_text.h"
#include "sources/tsk_image.h"
#include "sources/volume_bitmap.h"

namespace korvid::sources {
namespace {

// Runs [first, end) of consecutive free TSK blocks, ascending.
using BlockRuns = std::vector<std::pair<uint64_t, uint64_t>>;

TSK_WALK_RET_ENUM AddFreeBlock(const TSK_FS_BLOCK* block, void* context) {
  auto& runs = *static_cast<BlockRuns*>(context);
  if (!runs.empty() && runs.back().second == block->addr) {
    ++runs.back().second;
  } else {
    runs.emplace_back(block->addr, block->addr + 1);
  }
  return TSK_WALK_CONT;
}

// The free blocks of an open file system in TSK's numbering, or false with the reason.
bool ReadFreeBlocks(TSK_FS_INFO* fs, BlockRuns& blocks, std::string& why) {
  if (TSK_FS_TYPE_ISEXT(fs->ftype)) {
    ExtFreeBlocks ext = ReadExtFreeBlocks([fs](uint64_t offset, uint8_t* buffer, size_t length) {
      return tsk_fs_read(fs, static_cast<TSK_OFF_T>(offset), reinterpret_cast<char*>(buffer), length) ==
             static_cast<ssize_t>(length);
    });
    why = ext.Error;
    blocks = std::move(ext.Runs);
    return why.empty();
  }
  // AONLY: only the allocation state is wanted, TSK need not read the blocks' contents.
  const auto flags =
      static_cast<TSK_FS_BLOCK_WALK_FLAG_ENUM>(TSK_FS_BLOCK_WALK_FLAG_UNALLOC | TSK_FS_BLOCK_WALK_FLAG_AONLY);
  if (tsk_fs_block_walk(fs, fs->first_block, fs->last_block_act, flags, AddFreeBlock, &blocks) != 0) {
    why = TskErrorText();
    return false;
  }
  return true;
}

// What one file system contributes.
struct FileSystemFreeSpace {
  ClusterLayout layout;
  std::vector<std::pair<int64_t, int64_t>> clusterRuns;  // (first cluster, length)
  std::vector<ByteRange> ranges;                         // absolute on the source
  uint64_t freeClusters = 0;
};

// Reads the free clusters of an open file system, or returns the reason it could not.
std::optional<FileSystemFreeSpace> ReadFreeSpace(TSK_FS_INFO* fs, std::string& why) {
  const bool fat = TSK_FS_TYPE_ISFAT(fs->ftype) != 0;
  const std::optional<ClusterLayout> layout = fat ? FatLayout(fs) : BlockLayout(fs);
  if (!layout) {
    why = std::string("the boot sector of the ") + tsk_fs_type_toname(fs->ftype) +
          " file system cannot be read";
    return std::nullopt;
  }
  BlockRuns blocks;
  if (!ReadFreeBlocks(fs, blocks, why)) return std::nullopt;

  FileSystemFreeSpace space;
  space.layout = *layout;
  const uint64_t per = layout->blocksPerCluster;
  // A truncated image ends before its file system: the blocks past its end cannot be scanned,
  // and TSK cannot walk them.
  const uint64_t blockEnd = fs->last_block_act + 1;
  const uint64_t clusterBytes = per * fs->block_size;
  const uint64_t clusterZero = fs->offset + layout->firstBlock * fs->block_size;
  for (auto [first, end] : blocks) {
    first = std::max(first, layout->firstBlock);
    end = std::min(end, blockEnd);
    if (end <= first) continue;
    // Whole clusters only: the last sectors of a FAT volume, too few for a cluster, are free to
    // TSK but belong to no cluster.
    const uint64_t firstCluster = (first - layout->firstBlock + per - 1) / per;
    const uint64_t endCluster = (end - layout->firstBlock) / per;
    if (endCluster <= firstCluster) continue;
    space.clusterRuns.emplace_back(firstCluster, endCluster - firstCluster);
    space.freeClusters += endCluster - firstCluster;
    space.ranges.push_back({static_cast<int64_t>(clusterZero + firstCluster * clusterBytes),
                            static_cast<int64_t>((endCluster - firstCluster) * clusterBytes)});
  }
  return space;
}

// What the file systems on a source give: the free space of each one that could be read, in
// partition order, and why the others could not.
struct SourceFreeSpace {
  std::vector<FileSystemFreeSpace> fileSystems;
  std::vector<std::string> failures;
};

void ReadFileSystem(FileSystem fs, SourceFreeSpace& source) {
  if (!fs) {
    source.failures.push_back(TskErrorText());
    return;
  }
  std::string why;
  if (auto space = ReadFreeSpace(fs.get(), why)) {
    source.fileSystems.push_back(std::move(*space));
  } else {
    source.failures.push_back(why);
  }
}

SourceFreeSpace ReadSource(TSK_IMG_INFO* image) {
  SourceFreeSpace source;
  const bool any = ForEachFileSystem(image, [&](FileSystem fs) { ReadFileSystem(std::move(fs), source); });
  if (!any && source.failures.empty() && source.fileSystems.empty()) {
    source.failures.push_back("the partition table lists no partition");
  }
  return source;
}

std::string Join(const std::vector<std::string>& texts) {
  std::string joined;
  for (const std::string& text : texts) joined += (joined.empty() ? "" : "; ") + text;
  return joined;
}

uint32_t Clamp32(uint64_t value) {
  return static_cast<uint32_t>(std::min<uint64_t>(value, std::numeric_limits<uint32_t>::max()));
}

}  // namespace

// With several partitions, List holds each file system's entries in partition order (every one
// counts its own clusters from its own cluster 0), and the geometry is that of the first.
FreeExtents LoadFreeExtents(const std::string& sourcePath) {
  tsk_error_reset();
  // Raw, not detected: the ranges must be offsets in the bytes that the scan reads, which an
  // E01, VMDK or VHD container would not be.
  Image image(tsk_img_open_utf8_sing(sourcePath.c_str(), TSK_IMG_TYPE_RAW, 0));
  if (!image) {
    throw KorvidError(ErrorKind::ReadFailed, sourcePath,
                      "The source cannot be opened to read its file system (" + TskErrorText() + ")");
  }
  const SourceFreeSpace source = ReadSource(image.get());
  if (source.fileSystems.empty()) {
    throw KorvidError(
        ErrorKind::ReadFailed, sourcePath,
        "No file system whose free space can be read was found (" + Join(source.failures) + ")");
  }

  FreeExtents extents;
  const FileSystemFreeSpace& first = source.fileSystems.front();
  extents.SectorsPerCluster = first.layout.sectorsPerCluster;
  extents.BytesPerSector = first.layout.bytesPerSector;
  extents.FreeClusters = Clamp32(first.freeClusters);
  extents.TotalClusters = Clamp32(first.layout.clusterCount);
  std::vector<ByteRange> ranges;
  for (const FileSystemFreeSpace& fs : source.fileSystems) {
    const std::vector<std::string> entries = FreeExtentEntries(fs.clusterRuns);
    extents.List.insert(extents.List.end(), entries.begin(), entries.end());
    ranges.insert(ranges.end(), fs.ranges.begin(), fs.ranges.end());
  }
  extents.Ranges = MergeByteRanges(std::move(ranges));
  return extents;
}

ClusterGeometry LoadClusterGeometry(SourceDevice& source) {
  ClusterGeometry geometry;
  ForEachFileSystemOf(source, [&](TSK_FS_INFO* fs) {
    const bool fat = TSK_FS_TYPE_ISFAT(fs->ftype) != 0;
    const std::optional<ClusterLayout> layout = fat ? FatLayout(fs) : BlockLayout(fs);
    if (!layout || layout->blocksPerCluster == 0) return;
    const int64_t blockSize = static_cast<int64_t>(fs->block_size);
    ClusterGrid grid;
    grid.Start = static_cast<int64_t>(fs->offset);
    grid.End = grid.Start + static_cast<int64_t>(fs->block_count) * blockSize;
    grid.ClusterSize = static_cast<int64_t>(layout->blocksPerCluster) * blockSize;
    grid.Origin = grid.Start + static_cast<int64_t>(layout->firstBlock) * blockSize;
    if (grid.ClusterSize > 0 && grid.End > grid.Start) geometry.Grids.push_back(grid);
  });
  // A FAT or exFAT volume that TSK refuses (a FAT32 with fewer clusters than FAT32 should have, a
  // damaged FAT) still tells its clusters in its boot sector.
  if (geometry.Grids.empty()) {
    std::array<uint8_t, 512> boot{};
    if (source.ReadAt(0, boot.data(), boot.size()).Bytes == boot.size() && boot[510] == 0x55 && boot[511] == 0xAA) {
      const bool exfat = std::equal(boot.begin() + 3, boot.begin() + 11, "EXFAT   ");
      if (const std::optional<FatClusterLayout> fat = ParseFatBootSector(boot, exfat)) {
        const int64_t sector = fat->BytesPerSector;
        geometry.Grids.push_back({0, source.Size(), sector * fat->SectorsPerCluster,
                                  sector * static_cast<int64_t>(fat->FirstClusterSector)});
      }
    }
  }
  std::sort(geometry.Grids.begin(), geometry.Grids.end(),
            [](const ClusterGrid& a, const ClusterGrid& b) { return a.Start < b.Start; });
  if (!geometry.Grids.empty()) geometry.From = GeometrySource::FileSystem;
  return geometry;
}

}  // namespace korvid::sources
