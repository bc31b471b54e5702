// Free space of the file systems on a source, read with The Sleuth Kit. TSK is portable C, so
// this file holds no platform call and serves every platform's LoadFreeExtents.
#include <tsk/libtsk.h>

// Exported by libtsk for images that bring their own reads, but declared only in its internal
// headers.
extern "C" void* tsk_img_malloc(size_t size);
extern "C" void tsk_img_free(void* image);

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
#include "sources/volume_bitmap.h"

namespace korvid::sources {
namespace {

struct ImageCloser {
  void operator()(TSK_IMG_INFO* image) const { tsk_img_close(image); }
};
struct VolumeSystemCloser {
  void operator()(TSK_VS_INFO* volumeSystem) const { tsk_vs_close(volumeSystem); }
};
struct FileSystemCloser {
  void operator()(TSK_FS_INFO* fileSystem) const { tsk_fs_close(fileSystem); }
};
using Image = std::unique_ptr<TSK_IMG_INFO, ImageCloser>;
using VolumeSystem = std::unique_ptr<TSK_VS_INFO, VolumeSystemCloser>;
using FileSystem = std::unique_ptr<TSK_FS_INFO, FileSystemCloser>;

// TSK's text for its last error on one line (it ends its parts with line breaks), marked as TSK's.
std::string TskErrorText() {
  const char* raw = tsk_error_get();
  std::string text;
  for (const char* c = raw != nullptr ? raw : ""; *c != '\0'; ++c) {
    if (*c == '\n' || *c == '\r') {
      if (!text.empty() && text.back() != ' ') text += "; ";
    } else {
      text += *c;
    }
  }
  while (!text.empty() && (text.back() == ' ' || text.back() == ';')) text.pop_back();
  return "TSK: " + (text.empty() ? std::string("no further detail") : text);
}

// Where a file system's clusters lie, in TSK's block numbers for that file system.
struct ClusterLayout {
  uint64_t firstBlock = 0;        // the block where logical cluster 0 starts
  uint64_t blocksPerCluster = 1;  // TSK blocks per cluster
  uint64_t clusterCount = 0;      // clusters the volume bitmap counts
  uint32_t bytesPerSector = 0;
  uint32_t sectorsPerCluster = 0;
};

// The boot sector as TSK found it: the first one, else the backups of FAT32 (sector 6) and
// exFAT (sector 12), which TSK also accepts when the first one is wiped.
std::optional<std::array<uint8_t, 512>> ReadBootSector(TSK_FS_INFO* fs) {
  for (TSK_OFF_T sector : {0, 6, 12}) {
    std::array<uint8_t, 512> boot{};
    const TSK_OFF_T offset = sector * fs->img_info->sector_size;
    if (tsk_fs_read(fs, offset, reinterpret_cast<char*>(boot.data()), boot.size()) !=
        static_cast<ssize_t>(boot.size())) {
      return std::nullopt;
    }
    if (boot[510] == 0x55 && boot[511] == 0xAA) return boot;
  }
  return std::nullopt;
}

// FAT12/16/32 and exFAT: TSK numbers sectors, and the volume bitmap starts at the first data
// cluster (FAT cluster 2), so the layout comes from the boot sector. TSK keeps the same numbers
// in FATFS_INFO, but its header needs TSK's private tsk_fs_i.h, which is not installed.
std::optional<ClusterLayout> FatLayout(TSK_FS_INFO* fs) {
  const auto boot = ReadBootSector(fs);
  if (!boot) return std::nullopt;
  const std::optional<FatClusterLayout> fat = ParseFatBootSector(*boot, fs->ftype == TSK_FS_TYPE_EXFAT);
  if (!fat) return std::nullopt;
  ClusterLayout layout;
  layout.bytesPerSector = fat->BytesPerSector;
  layout.sectorsPerCluster = fat->SectorsPerCluster;
  layout.firstBlock = fat->FirstClusterSector;
  layout.clusterCount = fat->ClusterCount;
  layout.blocksPerCluster = layout.sectorsPerCluster;
  // TSK's blocks must be these sectors, or the numbers above mean something else.
  if (layout.bytesPerSector != fs->block_size) return std::nullopt;
  return layout;
}

// NTFS, ext2/3/4, HFS+ and the rest: a TSK block is a cluster and block 0 starts the volume.
ClusterLayout BlockLayout(const TSK_FS_INFO* fs) {
  ClusterLayout layout;
  layout.clusterCount = fs->block_count;
  layout.bytesPerSector = fs->dev_bsize;
  layout.sectorsPerCluster = fs->block_size / fs->dev_bsize;
  return layout;
}

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

// Hands every allocated partition's file system to `use` when a partition table is found, else
// the one at offset 0; a file system that does not open comes as null, with TSK's error set.
// Returns false when a partition table lists no partition.
bool ForEachFileSystem(TSK_IMG_INFO* image, const std::function<void(FileSystem)>& use) {
  VolumeSystem volumes(tsk_vs_open(image, 0, TSK_VS_TYPE_DETECT));
  if (!volumes) {
    tsk_error_reset();  // no partition table: not an error, the source is one volume
    use(FileSystem(tsk_fs_open_img(image, 0, TSK_FS_TYPE_DETECT)));
    return true;
  }
  bool any = false;
  for (TSK_PNUM_T i = 0; i < volumes->part_count; ++i) {
    const TSK_VS_PART_INFO* part = tsk_vs_part_get(volumes.get(), i);
    if (part == nullptr || (part->flags & TSK_VS_PART_FLAG_ALLOC) == 0) continue;
    tsk_error_reset();
    any = true;
    use(FileSystem(tsk_fs_open_vol(part, TSK_FS_TYPE_DETECT)));
  }
  return any;
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

// The Sleuth Kit's image of a SourceDevice: its reads go to the device, whole or not at all.
struct DeviceImage {
  TSK_IMG_INFO Info;  // first: The Sleuth Kit sees the struct as its own
  SourceDevice* Device;
};

ssize_t ReadDevice(TSK_IMG_INFO* image, TSK_OFF_T offset, char* buffer, size_t length) {
  SourceDevice& device = *reinterpret_cast<DeviceImage*>(image)->Device;
  const ReadResult r = device.ReadAt(offset, reinterpret_cast<uint8_t*>(buffer), length);
  if (r.Bytes < length && r.Error != 0) return -1;
  return static_cast<ssize_t>(r.Bytes);
}

void CloseDevice(TSK_IMG_INFO* image) { tsk_img_free(image); }

void DescribeDevice(TSK_IMG_INFO*, FILE*) {}

TSK_IMG_INFO* OpenThrough(SourceDevice& source) {
  auto* image = static_cast<DeviceImage*>(tsk_img_malloc(sizeof(DeviceImage)));
  if (image == nullptr) return nullptr;
  image->Device = &source;
  return tsk_img_open_external(image, source.Size(), 512, ReadDevice, CloseDevice, DescribeDevice);
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
  tsk_error_reset();
  Image image(OpenThrough(source));
  if (!image) {
    tsk_error_reset();
    return geometry;
  }
  ForEachFileSystem(image.get(), [&](FileSystem fs) {
    if (!fs) return;
    const bool fat = TSK_FS_TYPE_ISFAT(fs->ftype) != 0;
    const std::optional<ClusterLayout> layout = fat ? FatLayout(fs.get()) : BlockLayout(fs.get());
    if (!layout || layout->blocksPerCluster == 0) return;
    const int64_t blockSize = static_cast<int64_t>(fs->block_size);
    ClusterGrid grid;
    grid.Start = static_cast<int64_t>(fs->offset);
    grid.End = grid.Start + static_cast<int64_t>(fs->block_count) * blockSize;
    grid.ClusterSize = static_cast<int64_t>(layout->blocksPerCluster) * blockSize;
    grid.Origin = grid.Start + static_cast<int64_t>(layout->firstBlock) * blockSize;
    if (grid.ClusterSize > 0 && grid.End > grid.Start) geometry.Grids.push_back(grid);
  });
  tsk_error_reset();
  // A FAT or exFAT volume that TSK refuses (a FAT32 with fewer clusters than FAT32 should have, a
  // damaged FAT) still tells its clusters in its boot sector.
  if (geometry.Grids.empty()) {
    std::array<uint8_t, 512> boot{};
    if (tsk_img_read(image.get(), 0, reinterpret_cast<char*>(boot.data()), boot.size()) ==
            static_cast<ssize_t>(boot.size()) &&
        boot[510] == 0x55 && boot[511] == 0xAA) {
      const bool exfat = std::equal(boot.begin() + 3, boot.begin() + 11, "EXFAT   ");
      if (const std::optional<FatClusterLayout> fat = ParseFatBootSector(boot, exfat)) {
        const int64_t sector = fat->BytesPerSector;
        geometry.Grids.push_back({0, static_cast<int64_t>(image->size), sector * fat->SectorsPerCluster,
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
