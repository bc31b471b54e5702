#pragma once
// What the readers of file systems share: TSK handles, a SourceDevice as a TSK image, and
// where a file system's clusters lie.
#include <tsk/libtsk.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "engine/source_device.h"

namespace korvid::sources {

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

// Where a file system's clusters lie, in TSK's block numbers for that file system.
struct ClusterLayout {
  uint64_t firstBlock = 0;        // the block where logical cluster 0 starts
  uint64_t blocksPerCluster = 1;  // TSK blocks per cluster
  uint64_t clusterCount = 0;      // clusters the volume bitmap counts
  uint32_t bytesPerSector = 0;
  uint32_t sectorsPerCluster = 0;
};

// TSK's text for its last error on one line, marked as TSK's.
std::string TskErrorText();

// FAT12/16/32 and exFAT: the layout from the boot sector; none when it cannot be read.
std::optional<ClusterLayout> FatLayout(TSK_FS_INFO* fs);

// NTFS, ext2/3/4, HFS+ and the rest: a TSK block is a cluster and block 0 starts the volume.
ClusterLayout BlockLayout(const TSK_FS_INFO* fs);

// Hands every allocated partition's file system to `use` when a partition table is found, else
// the one at offset 0; a file system that does not open comes as null, with TSK's error set.
// Returns false when a partition table lists no partition.
bool ForEachFileSystem(TSK_IMG_INFO* image, const std::function<void(FileSystem)>& use);

// A TSK image whose reads go to `source`, whole or not at all; null when TSK cannot make one.
TSK_IMG_INFO* OpenThrough(SourceDevice& source);

// Hands every file system of `source` that opens to `use`, as ForEachFileSystem finds them;
// nothing when TSK cannot read the source as an image. TSK's error is left reset.
void ForEachFileSystemOf(SourceDevice& source, const std::function<void(TSK_FS_INFO*)>& use);

}  // namespace korvid::sources
