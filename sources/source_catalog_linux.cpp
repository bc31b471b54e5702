#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <optional>
#include <system_error>

#include "engine/errors.h"
#include "sources/block_probe_linux.h"
#include "sources/linux_catalog_text.h"
#include "sources/source_catalog.h"
#include "sources/source_text.h"

namespace korvid::sources {
namespace {

namespace fs = std::filesystem;

const fs::path kSysBlock = "/sys/block";
// DiskNumber of a volume that no listed disk holds; disks are therefore numbered below it.
constexpr uint32_t kNoDisk = 255;
// sysfs counts a partition's start and size in 512-byte units, whatever the sector size.
constexpr int64_t kSysfsUnitBytes = 512;
constexpr uint32_t kRemovableMedia = 11;
constexpr uint32_t kFixedMedia = 12;

// A disk of the catalog with what the volume list needs to know about it besides its entry.
struct CatalogDisk {
  DiskEntry Entry;
  std::string SysName;  // its name under /sys/block
  bool Removable = false;
};

// The first line of a sysfs attribute without trailing white space; empty when it cannot be read.
std::string ReadAttribute(const fs::path& file) {
  std::ifstream in(file);
  std::string text;
  std::getline(in, text);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

// A decimal sysfs attribute; 0 when it cannot be read.
int64_t ReadNumberAttribute(const fs::path& file) {
  const std::string text = ReadAttribute(file);
  int64_t number = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return 0;
    number = number * 10 + (c - '0');
  }
  return number;
}

// Every name under /sys/block in the disk order.
std::vector<std::string> SortedBlockNames() {
  std::vector<std::string> names;
  std::error_code error;
  for (fs::directory_iterator it(kSysBlock, error), end; !error && it != end; it.increment(error)) {
    names.push_back(it->path().filename().string());
  }
  std::sort(names.begin(), names.end(),
            [](const std::string& a, const std::string& b) { return DeviceNameLess(a, b); });
  return names;
}

// Built over other block devices (device mapper, software RAID, bcache): those are the disks.
bool IsStacked(const std::string& name) {
  std::error_code error;
  const bool empty = fs::is_empty(kSysBlock / name / "slaves", error);
  return !error && !empty;
}

bool IsDiskDevice(const std::string& name) {
  std::error_code error;
  switch (ClassifyBlockName(name)) {
    case BlockNameKind::Disk:
      return !IsStacked(name);
    case BlockNameKind::Loop:
      // A loop device without backing file reads as empty; the attribute exists only while bound.
      return fs::exists(kSysBlock / name / "loop" / "backing_file", error);
    case BlockNameKind::Optical:
    case BlockNameKind::Other:
      break;
  }
  return false;
}

// The exact length of the block device at `path`, opened read-only, in use or not; nullopt when it
// does not open (no medium, no node, no right) or does not tell its size.
std::optional<uint64_t> BlockDeviceBytes(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  uint64_t bytes = 0;
  const bool known = ::ioctl(fd, BLKGETSIZE64, &bytes) == 0;
  ::close(fd);
  if (!known) return std::nullopt;
  return bytes;
}

std::vector<CatalogDisk> CatalogDisks() {
  std::vector<CatalogDisk> disks;
  for (const std::string& name : SortedBlockNames()) {
    if (disks.size() == kNoDisk) break;
    if (!IsDiskDevice(name)) continue;
    const std::string path = DevicePathForBlockName(name);
    const std::optional<uint64_t> bytes = BlockDeviceBytes(path);
    // Zero bytes: a reader without a card, an unconnected network block device; nothing to read.
    if (!bytes || *bytes == 0) continue;

    CatalogDisk disk;
    disk.SysName = name;
    disk.Removable = ReadAttribute(kSysBlock / name / "removable") == "1";
    DiskEntry& entry = disk.Entry;
    entry.Number = static_cast<uint32_t>(disks.size());
    entry.Name = "PhysicalDrive" + std::to_string(entry.Number);
    entry.DevicePath = path;
    entry.MediaType = disk.Removable ? kRemovableMedia : kFixedMedia;
    entry.SizeBytes = *bytes;
    entry.Caption = DiskCaption(entry.Number, entry.MediaType, entry.SizeBytes);
    disks.push_back(std::move(disk));
  }
  return disks;
}

std::vector<MountEntry> ReadMounts() {
  std::vector<MountEntry> mounts;
  std::ifstream in("/proc/self/mountinfo");
  for (std::string line; std::getline(in, line);) {
    if (std::optional<MountEntry> entry = ParseMountInfoLine(line)) mounts.push_back(std::move(*entry));
  }
  return mounts;
}

// Where the device at `devicePath` is mounted: by device number, or by the mount's source for file
// systems that report a device number of their own (btrfs).
const MountEntry* FindMount(const std::vector<MountEntry>& mounts, const std::string& devicePath) {
  struct stat node {};
  if (::stat(devicePath.c_str(), &node) != 0 || !S_ISBLK(node.st_mode)) return nullptr;
  for (const MountEntry& mount : mounts) {
    if (mount.Major == major(node.st_rdev) && mount.Minor == minor(node.st_rdev)) return &mount;
  }
  std::error_code error;
  const fs::path canonicalDevice = fs::canonical(devicePath, error);
  for (const MountEntry& mount : mounts) {
    if (!mount.Source.starts_with("/dev/")) continue;
    const fs::path source = fs::canonical(mount.Source, error);
    if (!error && source == canonicalDevice) return &mount;
  }
  return nullptr;
}

// Label, type, serial and sizes of the file system on `volume.DevicePath`: from statvfs where it is
// mounted, else from the file system's own records (nothing is free then as far as we know).
void FillFileSystem(TNTVolumeInfo& volume, const BlockProbe& probe, const std::vector<MountEntry>& mounts) {
  volume.VolumeLabel = probe.Label;
  volume.FileSystemName = probe.Type;
  volume.SerialNumber = VolumeSerialFromBlkid(probe.Type, probe.Uuid);
  if (const MountEntry* mount = FindMount(mounts, volume.DevicePath)) {
    struct statvfs space {};
    if (::statvfs(mount->MountPoint.c_str(), &space) == 0) {
      volume.TotalBytes = static_cast<int64_t>(space.f_blocks * space.f_frsize);
      volume.FreeBytes = static_cast<int64_t>(space.f_bavail * space.f_frsize);
      return;
    }
  }
  if (!probe.Type.empty()) volume.TotalBytes = FileSystemBytes(volume.DevicePath, probe.Type);
}

// The partitions of a disk, by their number in its table.
std::vector<std::string> PartitionNames(const std::string& diskName) {
  std::vector<std::pair<int64_t, std::string>> partitions;
  std::error_code error;
  for (fs::directory_iterator it(kSysBlock / diskName, error), end; !error && it != end; it.increment(error)) {
    const fs::path numberFile = it->path() / "partition";
    std::error_code missing;
    if (!fs::exists(numberFile, missing)) continue;
    partitions.emplace_back(ReadNumberAttribute(numberFile), it->path().filename().string());
  }
  std::sort(partitions.begin(), partitions.end(), [](const auto& a, const auto& b) {
    return a.first != b.first ? a.first < b.first : DeviceNameLess(a.second, b.second);
  });
  std::vector<std::string> names;
  for (auto& partition : partitions) names.push_back(std::move(partition.second));
  return names;
}

// Every partition is a volume, with or without a readable file system, except a container of
// logical partitions.
std::optional<TNTVolumeInfo> PartitionVolume(const CatalogDisk& disk, const std::string& name,
                                             const std::vector<MountEntry>& mounts) {
  TNTVolumeInfo volume;
  volume.Drive = name;
  volume.DevicePath = DevicePathForBlockName(name);
  volume.DriveKind = disk.Removable ? "RD" : "HD";
  volume.DiskNumber = disk.Entry.Number;
  const fs::path sys = kSysBlock / disk.SysName / name;
  volume.StartingOffset = ReadNumberAttribute(sys / "start") * kSysfsUnitBytes;
  volume.ExtentLength = ReadNumberAttribute(sys / "size") * kSysfsUnitBytes;
  if (const std::optional<BlockProbe> probe = ProbeBlockDevice(volume.DevicePath)) {
    if (IsExtendedPartitionEntry(probe->EntryScheme, probe->EntryType)) return std::nullopt;
    FillFileSystem(volume, *probe, mounts);
  }
  return volume;
}

// A whole device is a volume only when it holds a file system and no partition table with entries.
std::optional<TNTVolumeInfo> WholeDeviceVolume(const std::string& name, uint64_t bytes, const std::string& kind,
                                               uint32_t diskNumber, const std::vector<MountEntry>& mounts) {
  TNTVolumeInfo volume;
  volume.Drive = name;
  volume.DevicePath = DevicePathForBlockName(name);
  const std::optional<BlockProbe> probe = ProbeBlockDevice(volume.DevicePath);
  if (!probe || probe->Partitions > 0 || probe->Usage != "filesystem") return std::nullopt;
  volume.DriveKind = kind;
  volume.DiskNumber = diskNumber;
  volume.StartingOffset = 0;
  volume.ExtentLength = static_cast<int64_t>(bytes);
  FillFileSystem(volume, *probe, mounts);
  return volume;
}

}  // namespace

std::vector<DiskEntry> ListDisks() {
  std::vector<DiskEntry> entries;
  for (CatalogDisk& disk : CatalogDisks()) entries.push_back(std::move(disk.Entry));
  return entries;
}

std::vector<TNTVolumeInfo> QueryVolumes() {
  const std::vector<MountEntry> mounts = ReadMounts();
  std::vector<TNTVolumeInfo> volumes;
  for (const CatalogDisk& disk : CatalogDisks()) {
    const std::vector<std::string> partitions = PartitionNames(disk.SysName);
    if (partitions.empty()) {
      const std::string kind = disk.Removable ? "RD" : "HD";
      if (auto volume = WholeDeviceVolume(disk.SysName, disk.Entry.SizeBytes, kind, disk.Entry.Number, mounts)) {
        volumes.push_back(std::move(*volume));
      }
      continue;
    }
    for (const std::string& name : partitions) {
      if (auto volume = PartitionVolume(disk, name, mounts)) volumes.push_back(std::move(*volume));
    }
  }
  // An optical disc is no disk of the list; its medium may still hold a volume.
  for (const std::string& name : SortedBlockNames()) {
    if (ClassifyBlockName(name) != BlockNameKind::Optical) continue;
    const std::optional<uint64_t> bytes = BlockDeviceBytes(DevicePathForBlockName(name));
    if (!bytes || *bytes == 0) continue;
    if (auto volume = WholeDeviceVolume(name, *bytes, "CD", kNoDisk, mounts)) volumes.push_back(std::move(*volume));
  }
  return volumes;
}

std::string SourcePathFor(const std::string& sourceText) {
  const SourceText source = ClassifySourceText(sourceText);
  if (source.kind != SourceText::Kind::Disk) return sourceText;
  for (const DiskEntry& disk : ListDisks()) {
    if (disk.Number == source.DiskNumber) return disk.DevicePath;
  }
  throw KorvidError(ErrorKind::OpenFailed, sourceText, SystemErrorText(ENODEV));
}

}  // namespace korvid::sources
