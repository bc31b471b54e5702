// The disks and volumes of a Windows machine: "\\.\PhysicalDriveN" for the disks, the drive
// letters C to Z for the volumes.
#include <cstdio>

#include "sources/source_catalog.h"
#include "sources/source_text.h"
#include "sources/windows_device.h"
#include "sources/windows_paths.h"

namespace korvid::sources {
namespace {

// Disk numbers tried; a machine numbers its disks from 0 upward, with gaps where one went away.
constexpr uint32_t kDiskNumbers = 256;

// Label, serial and file system from GetVolumeInformationW; total and free bytes (free as the
// calling user may use them) from GetDiskFreeSpaceExW. A failed query leaves its fields empty or 0.
void QueryFileSystem(TNTVolumeInfo& volume, const std::wstring& root) {
  wchar_t label[MAX_PATH + 1] = {};
  wchar_t fileSystem[MAX_PATH + 1] = {};
  DWORD serial = 0;
  if (GetVolumeInformationW(root.c_str(), label, MAX_PATH + 1, &serial, nullptr, nullptr, fileSystem,
                            MAX_PATH + 1)) {
    char digits[9];
    std::snprintf(digits, sizeof digits, "%08lX", static_cast<unsigned long>(serial));
    volume.VolumeLabel = win::Utf8(label);
    volume.SerialNumber = digits;
    volume.FileSystemName = win::Utf8(fileSystem);
  }
  ULARGE_INTEGER available{}, total{}, free{};
  if (GetDiskFreeSpaceExW(root.c_str(), &available, &total, &free)) {
    volume.TotalBytes = static_cast<int64_t>(total.QuadPart);
    volume.FreeBytes = static_cast<int64_t>(available.QuadPart);
  }
}

// The disk and place of the volume's first extent, and its exact length. The extent query needs
// no data access, so it works without administrator rights; the length needs read access and
// falls back to the extent's length.
void QueryDiskExtent(TNTVolumeInfo& volume) {
  win::Handle device = win::OpenShared(volume.DevicePath, GENERIC_READ);
  const bool readable = static_cast<bool>(device);
  if (!readable) device = win::OpenShared(volume.DevicePath, 0);
  if (!device) return;
  const auto extents = win::QueryDiskExtents(device.Get());
  if (!extents || extents->empty()) return;
  volume.DiskNumber = extents->front().DiskNumber;
  volume.StartingOffset = extents->front().StartingOffset;
  volume.ExtentLength = extents->front().ExtentLength;
  if (readable && extents->size() == 1) {
    if (const std::optional<int64_t> length = win::QueryLength(device.Get())) volume.ExtentLength = *length;
  }
}

}  // namespace

std::vector<DiskEntry> ListDisks() {
  std::vector<DiskEntry> disks;
  for (uint32_t number = 0; number < kDiskNumbers; ++number) {
    const std::string name = "PhysicalDrive" + std::to_string(number);
    const std::string path = WindowsSourcePath(name);
    // Read-only and shared: listing must neither need nor take the disk for itself. A number
    // that does not open is a gap; the numbers after it are still tried.
    const win::Handle device = win::OpenShared(path, GENERIC_READ);
    if (!device) continue;
    // A reader without a card opens but has no length: nothing to read there.
    const std::optional<int64_t> length = win::QueryLength(device.Get());
    if (!length || *length == 0) continue;
    const std::optional<DiskGeometry> geometry = win::QueryGeometry(device.Get());
    DiskEntry entry;
    entry.Number = number;
    entry.Name = name;
    entry.DevicePath = path;
    entry.MediaType = geometry ? geometry->MediaType : 0;
    entry.SizeBytes = static_cast<uint64_t>(*length);
    entry.Caption = DiskCaption(entry.Number, entry.MediaType, entry.SizeBytes);
    disks.push_back(std::move(entry));
  }
  return disks;
}

std::vector<TNTVolumeInfo> QueryVolumes() {
  std::vector<TNTVolumeInfo> volumes;
  for (char letter = 'C'; letter <= 'Z'; ++letter) {
    TNTVolumeInfo volume;
    volume.Drive = std::string(1, letter);
    volume.DevicePath = WindowsSourcePath(volume.Drive + ":");
    const std::wstring root = win::Wide(volume.Drive + ":\\");
    const UINT driveType = GetDriveTypeW(root.c_str());
    // No volume behind the letter: nothing to ask.
    if (driveType == DRIVE_NO_ROOT_DIR || driveType == DRIVE_UNKNOWN) continue;
    QueryFileSystem(volume, root);
    volume.DriveKind = DriveKindText(driveType);
    if (driveType == DRIVE_REMOVABLE || driveType == DRIVE_FIXED) QueryDiskExtent(volume);
    volumes.push_back(std::move(volume));
  }
  return volumes;
}

// A disk's path follows from its number; one that is not there fails when it is opened, with
// the system's text.
std::string SourcePathFor(const std::string& sourceText) { return WindowsSourcePath(sourceText); }

}  // namespace korvid::sources
