// Opening a source on Windows: an image file, a volume (\\.\C:) or a disk (\\.\PhysicalDriveN),
// read-only and shared, read with positioned reads.
#include <algorithm>
#include <set>

#include "engine/errors.h"
#include "sources/open_source.h"
#include "sources/windows_device.h"
#include "sources/windows_paths.h"

namespace korvid::sources {
namespace {

// The most one ReadFile is asked for: its count is 32-bit.
constexpr size_t kMostPerRead = size_t{1} << 30;
// Sector size taken when a device does not tell its own.
constexpr uint32_t kDefaultSectorBytes = 512;

// ReadResult::Error carries the Windows error code here; the engine only tells 0 from the rest.
class WindowsSource final : public SourceDevice {
 public:
  WindowsSource(std::string path, win::Handle handle, int64_t size, uint32_t sectorBytes)
      : path_(std::move(path)), handle_(std::move(handle)), size_(size), sectorBytes_(sectorBytes) {}

  const std::string& Path() const override { return path_; }
  int64_t Size() const override { return size_; }

  ReadResult ReadAt(int64_t offset, uint8_t* buffer, size_t length) override {
    // A device reads whole sectors only, and nothing past its end.
    if (sectorBytes_ != 0) {
      length = static_cast<size_t>(std::clamp<int64_t>(size_ - offset, 0, static_cast<int64_t>(length)));
      if (offset % sectorBytes_ != 0 || length % sectorBytes_ != 0) return ReadUnaligned(offset, buffer, length);
    }
    return ReadDirect(offset, buffer, length);
  }

 private:
  ReadResult ReadDirect(int64_t offset, uint8_t* buffer, size_t length) {
    ReadResult result;
    while (result.Bytes < length) {
      const int64_t at = offset + static_cast<int64_t>(result.Bytes);
      OVERLAPPED position{};
      position.Offset = static_cast<DWORD>(static_cast<uint64_t>(at));
      position.OffsetHigh = static_cast<DWORD>(static_cast<uint64_t>(at) >> 32);
      const DWORD want = static_cast<DWORD>(std::min(length - result.Bytes, kMostPerRead));
      DWORD got = 0;
      if (!ReadFile(handle_.Get(), buffer + result.Bytes, want, &got, &position)) {
        const DWORD error = GetLastError();
        if (error != ERROR_HANDLE_EOF) result.Error = static_cast<int>(error);
        break;
      }
      if (got == 0) break;  // end of data
      result.Bytes += got;
    }
    return result;
  }

  // Reads the whole sectors around the range and hands back the range.
  ReadResult ReadUnaligned(int64_t offset, uint8_t* buffer, size_t length) {
    const int64_t base = offset / sectorBytes_ * sectorBytes_;
    const int64_t end = (offset + static_cast<int64_t>(length) + sectorBytes_ - 1) / sectorBytes_ * sectorBytes_;
    std::vector<uint8_t> sectors(static_cast<size_t>(end - base));
    ReadResult whole = ReadDirect(base, sectors.data(), sectors.size());
    const size_t skip = static_cast<size_t>(offset - base);
    ReadResult result;
    result.Error = whole.Error;
    result.Bytes = whole.Bytes > skip ? std::min(whole.Bytes - skip, length) : 0;
    std::copy_n(sectors.begin() + static_cast<std::ptrdiff_t>(skip), result.Bytes, buffer);
    return result;
  }

  std::string path_;
  win::Handle handle_;
  int64_t size_;
  uint32_t sectorBytes_;  // 0 for a file, which reads at any byte
};

[[noreturn]] void OpenFailed(const std::string& path, DWORD error) {
  throw KorvidError(ErrorKind::OpenFailed, path, win::SystemMessageText(error));
}

// The disks that hold the device at `path`: the disk itself, or the disks of a volume's extents.
std::set<uint32_t> DisksOf(const WindowsDevicePath& device, const std::string& path) {
  if (device.kind == WindowsDevicePath::Kind::Disk) return {device.DiskNumber};
  std::set<uint32_t> disks;
  const win::Handle volume = win::OpenShared(path, 0);
  if (!volume) return disks;
  if (const auto extents = win::QueryDiskExtents(volume.Get())) {
    for (const DiskExtent& extent : *extents) disks.insert(extent.DiskNumber);
  }
  return disks;
}

// The volume that holds `folder`, as a \\?\Volume{GUID} device path; empty when unknown.
std::string VolumeOfFolder(const std::filesystem::path& folder) {
  wchar_t mountPoint[MAX_PATH + 1] = {};
  wchar_t volumeName[MAX_PATH + 1] = {};
  if (!GetVolumePathNameW(folder.c_str(), mountPoint, MAX_PATH + 1) ||
      !GetVolumeNameForVolumeMountPointW(mountPoint, volumeName, MAX_PATH + 1)) {
    return {};
  }
  std::string name = win::Utf8(volumeName);
  if (!name.empty() && name.back() == '\\') name.pop_back();
  return name;
}

// The \\?\Volume{GUID} name of a volume source (\\.\C:), to compare with a folder's volume.
std::string VolumeName(const WindowsDevicePath& device) {
  wchar_t volumeName[MAX_PATH + 1] = {};
  if (!GetVolumeNameForVolumeMountPointW(win::Wide(device.RootPath).c_str(), volumeName, MAX_PATH + 1)) return {};
  std::string name = win::Utf8(volumeName);
  if (!name.empty() && name.back() == '\\') name.pop_back();
  return name;
}

}  // namespace

std::unique_ptr<SourceDevice> OpenSource(const std::string& path) {
  const WindowsDevicePath device = ClassifyWindowsPath(path);
  const bool isFile = device.kind == WindowsDevicePath::Kind::File;
  win::Handle handle = win::OpenShared(path, GENERIC_READ, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN);
  if (!handle) OpenFailed(path, GetLastError());
  if (isFile) {
    if (GetFileType(handle.Get()) != FILE_TYPE_DISK) OpenFailed(path, ERROR_INVALID_FUNCTION);
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(handle.Get(), &size)) OpenFailed(path, GetLastError());
    return std::make_unique<WindowsSource>(path, std::move(handle), size.QuadPart, 0);
  }
  // A disk or volume: its exact length, not the product of its geometry's cylinders.
  const std::optional<int64_t> length = win::QueryLength(handle.Get());
  if (!length) OpenFailed(path, GetLastError());
  const std::optional<DiskGeometry> geometry = win::QueryGeometry(handle.Get());
  const uint32_t sectorBytes =
      geometry && geometry->BytesPerSector != 0 ? geometry->BytesPerSector : kDefaultSectorBytes;
  return std::make_unique<WindowsSource>(path, std::move(handle), *length, sectorBytes);
}

bool OutputOnSourceDevice(const std::string& sourcePath, const std::filesystem::path& outputFolder) {
  const WindowsDevicePath source = ClassifyWindowsPath(sourcePath);
  if (source.kind == WindowsDevicePath::Kind::File || source.kind == WindowsDevicePath::Kind::Device) return false;
  const std::string folderVolume = VolumeOfFolder(outputFolder);
  if (folderVolume.empty()) return false;
  if (source.kind == WindowsDevicePath::Kind::Volume && VolumeName(source) == folderVolume) return true;
  const std::set<uint32_t> sourceDisks = DisksOf(source, sourcePath);
  const std::set<uint32_t> folderDisks = DisksOf(ClassifyWindowsPath(folderVolume), folderVolume);
  return std::any_of(folderDisks.begin(), folderDisks.end(),
                     [&](uint32_t disk) { return sourceDisks.count(disk) != 0; });
}

// Creating a file is the one sure test: folder attributes and access lists say too little.
std::string FolderWriteProblem(const std::filesystem::path& folder) {
  const std::filesystem::path probe =
      folder / (L".korvid-write-check-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                std::to_wstring(GetTickCount64()));
  const win::Handle file(CreateFileW(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                     FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr));
  return file ? std::string() : win::SystemMessageText(GetLastError());
}

}  // namespace korvid::sources
