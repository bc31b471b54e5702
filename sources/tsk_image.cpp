#include "sources/tsk_image.h"

// Exported by libtsk for images that bring their own reads, but declared only in its internal
// headers.
extern "C" void* tsk_img_malloc(size_t size);
extern "C" void tsk_img_free(void* image);

#include <array>

#include "sources/boot_sector.h"

namespace korvid::sources {
namespace {

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

}  // namespace

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

TSK_IMG_INFO* OpenThrough(SourceDevice& source) {
  auto* image = static_cast<DeviceImage*>(tsk_img_malloc(sizeof(DeviceImage)));
  if (image == nullptr) return nullptr;
  image->Device = &source;
  return tsk_img_open_external(image, source.Size(), 512, ReadDevice, CloseDevice, DescribeDevice);
}

void ForEachFileSystemOf(SourceDevice& source, const std::function<void(TSK_FS_INFO*)>& use) {
  tsk_error_reset();
  Image image(OpenThrough(source));
  if (image) {
    ForEachFileSystem(image.get(), [&](FileSystem fs) {
      if (fs) use(fs.get());
    });
  }
  tsk_error_reset();
}

}  // namespace korvid::sources
