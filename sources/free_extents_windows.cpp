// Free space on Windows from the volume bitmap that the file system keeps (FSCTL_GET_VOLUME_BITMAP
// through NtFsControlFile). A volume source is read directly; a disk source is read through the
// mounted volumes that lie on it. An image file has no volume of its own here: reading its file
// system needs The Sleuth Kit, which the Windows build does not include, so the caller scans the
// whole image instead.
#include <winternl.h>
#include <winioctl.h>

#include <algorithm>
#include <limits>

#include "engine/errors.h"
#include "sources/boot_sector.h"
#include "sources/source_catalog.h"
#include "sources/volume_bitmap.h"
#include "sources/windows_device.h"
#include "sources/windows_paths.h"

namespace korvid::sources {
namespace {

using NtFsControlFileCall = LONG(NTAPI*)(HANDLE, HANDLE, PIO_APC_ROUTINE, PVOID, PIO_STATUS_BLOCK, ULONG, PVOID,
                                         ULONG, PVOID, ULONG);

[[noreturn]] void Unreadable(const std::string& path, const std::string& why) {
  throw KorvidError(ErrorKind::ReadFailed, path, why);
}

// Looked up anew for every read: ntdll exports it on every Windows, but it is no documented
// import, so its absence is told instead of stopping the program at start.
NtFsControlFileCall FindNtFsControlFile() {
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  if (ntdll == nullptr) return nullptr;
  return reinterpret_cast<NtFsControlFileCall>(
      reinterpret_cast<void*>(GetProcAddress(ntdll, "NtFsControlFile")));
}

uint32_t Clamp32(int64_t value) {
  return static_cast<uint32_t>(std::clamp<int64_t>(value, 0, std::numeric_limits<uint32_t>::max()));
}

// The byte offset of cluster 0 within the volume: behind the FATs on FAT and exFAT, which count
// their bitmap from the first data cluster, else the volume's first byte.
int64_t ClusterZeroOffset(HANDLE volume, const std::string& path, const std::string& fileSystem,
                          uint32_t bytesPerSector) {
  const ClusterOrigin origin = ClusterOriginOf(fileSystem);
  if (origin == ClusterOrigin::VolumeStart) return 0;
  // A device reads whole sectors: the first one holds the boot sector.
  std::vector<uint8_t> sector(std::max<uint32_t>(bytesPerSector, 512));
  OVERLAPPED start{};
  DWORD got = 0;
  if (!ReadFile(volume, sector.data(), static_cast<DWORD>(sector.size()), &got, &start)) {
    Unreadable(path, win::SystemMessageText(GetLastError()));
  }
  sector.resize(got);
  const bool signed55AA = sector.size() >= 512 && sector[510] == 0x55 && sector[511] == 0xAA;
  const std::optional<FatClusterLayout> layout =
      signed55AA ? ParseFatBootSector(sector, origin == ClusterOrigin::ExFatClusterHeap) : std::nullopt;
  if (!layout) Unreadable(path, "The boot sector of the " + fileSystem + " volume cannot be read.");
  return static_cast<int64_t>(layout->FirstClusterSector * layout->BytesPerSector);
}

// The free space of one mounted volume: `path` opens it (\\.\C:, \\?\Volume{GUID}), `root` is
// its root folder for the volume queries.
FreeExtents ReadVolume(const std::string& path, const std::string& root) {
  const NtFsControlFileCall control = FindNtFsControlFile();
  if (control == nullptr) Unreadable(path, "#11 - 加载失败!");

  const std::wstring wideRoot = win::Wide(root);
  DWORD sectorsPerCluster = 0, bytesPerSector = 0, freeClusters = 0, totalClusters = 0;
  if (!GetDiskFreeSpaceW(wideRoot.c_str(), &sectorsPerCluster, &bytesPerSector, &freeClusters, &totalClusters)) {
    Unreadable(path, win::SystemMessageText(GetLastError()));
  }
  wchar_t fileSystem[MAX_PATH + 1] = {};
  if (!GetVolumeInformationW(wideRoot.c_str(), nullptr, 0, nullptr, nullptr, nullptr, fileSystem, MAX_PATH + 1)) {
    Unreadable(path, win::SystemMessageText(GetLastError()));
  }

  const win::Handle volume = win::OpenShared(path, GENERIC_READ, 0);
  if (!volume) Unreadable(path, win::SystemMessageText(GetLastError()));
  const std::optional<int64_t> length = win::QueryLength(volume.Get());
  if (!length) Unreadable(path, win::SystemMessageText(GetLastError()));

  const BitmapWalk walk = WalkVolumeBitmap([&](int64_t startingLcn, std::span<uint8_t> reply) {
    IO_STATUS_BLOCK status{};
    LARGE_INTEGER request{};
    request.QuadPart = startingLcn;
    // The handle is synchronous: the call returns once the request is complete.
    const LONG result = control(volume.Get(), nullptr, nullptr, nullptr, &status, FSCTL_GET_VOLUME_BITMAP, &request,
                                sizeof request, reply.data(), static_cast<ULONG>(reply.size()));
    return BitmapReply{static_cast<uint32_t>(result), static_cast<size_t>(status.Information)};
  });
  // A walk that stopped early would leave free clusters unscanned without a word: the caller
  // scans the whole volume instead.
  if (!walk.Failure.empty()) Unreadable(path, walk.Failure);

  const std::string fileSystemName = win::Utf8(fileSystem);
  FreeExtents extents;
  extents.SectorsPerCluster = sectorsPerCluster;
  extents.BytesPerSector = bytesPerSector;
  extents.FreeClusters = freeClusters;
  extents.TotalClusters = std::max<uint32_t>(totalClusters, Clamp32(walk.Clusters));
  extents.List = FreeExtentEntries(walk.FreeRuns);
  const int64_t clusterBytes = int64_t{sectorsPerCluster} * bytesPerSector;
  extents.Ranges = ClusterRunsToByteRanges(
      walk.FreeRuns, ClusterZeroOffset(volume.Get(), path, fileSystemName, bytesPerSector), clusterBytes, *length);
  return extents;
}

// Every mounted volume, as its \\?\Volume{GUID} path without the closing backslash.
std::vector<std::string> MountedVolumes() {
  std::vector<std::string> volumes;
  wchar_t name[MAX_PATH + 1] = {};
  const HANDLE search = FindFirstVolumeW(name, MAX_PATH + 1);
  if (search == INVALID_HANDLE_VALUE) return volumes;
  do {
    std::string path = win::Utf8(name);
    if (!path.empty() && path.back() == '\\') path.pop_back();
    volumes.push_back(std::move(path));
  } while (FindNextVolumeW(search, name, MAX_PATH + 1));
  FindVolumeClose(search);
  return volumes;
}

// The volumes that lie in one piece on disk `number`, in the order of their place on it.
std::vector<std::pair<int64_t, std::string>> VolumesOnDisk(uint32_t number) {
  std::vector<std::pair<int64_t, std::string>> volumes;
  for (const std::string& path : MountedVolumes()) {
    const win::Handle volume = win::OpenShared(path, 0);
    if (!volume) continue;
    const auto extents = win::QueryDiskExtents(volume.Get());
    if (extents && extents->size() == 1 && extents->front().DiskNumber == number) {
      volumes.emplace_back(extents->front().StartingOffset, path);
    }
  }
  std::sort(volumes.begin(), volumes.end());
  return volumes;
}

// A disk's free space is that of the volumes on it, each shifted to its place on the disk; the
// list holds each volume's entries in disk order and the geometry is the first volume's.
FreeExtents ReadDisk(const std::string& path, uint32_t number) {
  std::vector<std::string> failures;
  std::vector<FreeExtents> read;
  std::vector<ByteRange> ranges;
  for (const auto& [offset, volume] : VolumesOnDisk(number)) {
    try {
      FreeExtents extents = ReadVolume(volume, volume + "\\");
      for (const ByteRange& range : extents.Ranges) ranges.push_back({range.Offset + offset, range.Length});
      read.push_back(std::move(extents));
    } catch (const KorvidError& e) {
      failures.push_back(e.SystemText());
    }
  }
  if (read.empty()) {
    std::string why = "No volume on the disk has a volume bitmap that can be read";
    for (size_t i = 0; i < failures.size(); ++i) why += (i == 0 ? " (" : "; ") + failures[i];
    Unreadable(path, why + (failures.empty() ? "." : ")."));
  }
  FreeExtents extents = read.front();
  extents.List.clear();
  for (const FreeExtents& volume : read) extents.List.insert(extents.List.end(), volume.List.begin(), volume.List.end());
  extents.Ranges = MergeByteRanges(std::move(ranges));
  return extents;
}

}  // namespace

FreeExtents LoadFreeExtents(const std::string& sourcePath) {
  const WindowsDevicePath device = ClassifyWindowsPath(sourcePath);
  switch (device.kind) {
    case WindowsDevicePath::Kind::Volume:
      return ReadVolume(sourcePath, device.RootPath);
    case WindowsDevicePath::Kind::Disk:
      return ReadDisk(sourcePath, device.DiskNumber);
    case WindowsDevicePath::Kind::File:
    case WindowsDevicePath::Kind::Device:
      break;
  }
  Unreadable(sourcePath,
             "The Windows build reads the free space of volumes and disks through the volume bitmap "
             "of their mounted file systems; an image file's file system is not read (that needs "
             "The Sleuth Kit, which this build does not include).");
}

// This build reads no file system of an image itself: the engine infers the cluster grid from
// where the pieces of recordings break.
ClusterGeometry LoadClusterGeometry(SourceDevice& /*source*/) { return {}; }

// Nor its directories: the files keep their numbers.
std::vector<SourceEntry> LoadSourceEntries(SourceDevice& /*source*/) { return {}; }

}  // namespace korvid::sources
