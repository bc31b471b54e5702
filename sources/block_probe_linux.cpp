#include "sources/block_probe_linux.h"

#include <blkid/blkid.h>
#include <tsk/libtsk.h>

#include <memory>
#include <string_view>
#include <type_traits>
#include <utility>

namespace korvid::sources {
namespace {

using ProbeHandle = std::unique_ptr<std::remove_pointer_t<blkid_probe>, decltype(&blkid_free_probe)>;
using ImageHandle = std::unique_ptr<TSK_IMG_INFO, decltype(&tsk_img_close)>;
using FileSystemHandle = std::unique_ptr<TSK_FS_INFO, decltype(&tsk_fs_close)>;

std::string Value(blkid_probe probe, const char* name) {
  const char* data = nullptr;
  if (blkid_probe_lookup_value(probe, name, &data, nullptr) != 0 || data == nullptr) return {};
  return data;
}

// The Sleuth Kit's reader for a libblkid type name; unsupported for types it has no reader for,
// so that it never tries every reader on a device that holds swap, LVM or an encrypted volume.
TSK_FS_TYPE_ENUM TskType(std::string_view type) {
  static constexpr std::pair<std::string_view, TSK_FS_TYPE_ENUM> kTypes[] = {
      {"vfat", TSK_FS_TYPE_FAT_DETECT},        {"msdos", TSK_FS_TYPE_FAT_DETECT},   {"exfat", TSK_FS_TYPE_EXFAT},
      {"ntfs", TSK_FS_TYPE_NTFS_DETECT},       {"ext2", TSK_FS_TYPE_EXT_DETECT},    {"ext3", TSK_FS_TYPE_EXT_DETECT},
      {"ext4", TSK_FS_TYPE_EXT_DETECT},        {"hfsplus", TSK_FS_TYPE_HFS_DETECT}, {"hfs", TSK_FS_TYPE_HFS_DETECT},
      {"iso9660", TSK_FS_TYPE_ISO9660_DETECT}, {"ufs", TSK_FS_TYPE_FFS_DETECT},
  };
  for (const auto& [name, tskType] : kTypes) {
    if (name == type) return tskType;
  }
  return TSK_FS_TYPE_UNSUPP;
}

}  // namespace

std::optional<BlockProbe> ProbeBlockDevice(const std::string& devicePath) {
  // libblkid opens the device read-only.
  ProbeHandle probe(blkid_new_probe_from_filename(devicePath.c_str()), blkid_free_probe);
  if (!probe) return std::nullopt;
  blkid_probe_enable_superblocks(probe.get(), 1);
  blkid_probe_set_superblocks_flags(probe.get(),
                                    BLKID_SUBLKS_LABEL | BLKID_SUBLKS_TYPE | BLKID_SUBLKS_UUID | BLKID_SUBLKS_USAGE);
  blkid_probe_enable_partitions(probe.get(), 1);
  blkid_probe_set_partitions_flags(probe.get(), BLKID_PARTS_ENTRY_DETAILS);

  // 0: found, 1: nothing found, -2: contradicting signatures (reported as nothing), -1: I/O error.
  if (blkid_do_safeprobe(probe.get()) == -1) return std::nullopt;
  BlockProbe result;
  result.Type = Value(probe.get(), "TYPE");
  result.Label = Value(probe.get(), "LABEL");
  result.Uuid = Value(probe.get(), "UUID");
  result.Usage = Value(probe.get(), "USAGE");
  result.EntryScheme = Value(probe.get(), "PART_ENTRY_SCHEME");
  result.EntryType = Value(probe.get(), "PART_ENTRY_TYPE");
  // Reading the partition list probes again and releases the values read above, so it comes last.
  if (!Value(probe.get(), "PTTYPE").empty()) {
    if (blkid_partlist list = blkid_probe_get_partitions(probe.get())) {
      result.Partitions = blkid_partlist_numof_partitions(list);
    }
  }
  return result;
}

int64_t FileSystemBytes(const std::string& devicePath, const std::string& type) {
  const TSK_FS_TYPE_ENUM tskType = TskType(type);
  if (tskType == TSK_FS_TYPE_UNSUPP) return 0;
  ImageHandle image(tsk_img_open_utf8_sing(devicePath.c_str(), TSK_IMG_TYPE_RAW, 0), tsk_img_close);
  if (!image) {
    tsk_error_reset();
    return 0;
  }
  FileSystemHandle fileSystem(tsk_fs_open_img(image.get(), 0, tskType), tsk_fs_close);
  if (!fileSystem) {
    tsk_error_reset();
    return 0;
  }
  return static_cast<int64_t>(fileSystem->block_count) * fileSystem->block_size;
}

}  // namespace korvid::sources
