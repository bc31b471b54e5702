#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

// The records that Windows' disk and volume queries (DeviceIoControl) deliver, read field by field
// from the bytes a query returned: little-endian, at the offsets of the platform's structures, and
// never past the count of bytes delivered, so that a short or inconsistent reply is refused
// instead of read from stale memory. No system call here: every platform builds and tests them.
namespace korvid::sources {

// DISK_GEOMETRY, the reply of IOCTL_DISK_GET_DRIVE_GEOMETRY.
struct DiskGeometry {
  int64_t Cylinders = 0;
  uint32_t MediaType = 0;  // the MEDIA_TYPE numbering of MediaTypeText
  uint32_t TracksPerCylinder = 0;
  uint32_t SectorsPerTrack = 0;
  uint32_t BytesPerSector = 0;
};
inline constexpr size_t DiskGeometryBytes = 24;
std::optional<DiskGeometry> ParseDiskGeometry(std::span<const uint8_t> reply);

// GET_LENGTH_INFORMATION, the reply of IOCTL_DISK_GET_LENGTH_INFO: the exact length in bytes of a
// disk, a partition or a volume. Nullopt for a short reply or a negative length.
inline constexpr size_t LengthInformationBytes = 8;
std::optional<int64_t> ParseLengthInformation(std::span<const uint8_t> reply);

// One DISK_EXTENT of VOLUME_DISK_EXTENTS, the reply of IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS.
struct DiskExtent {
  uint32_t DiskNumber = 0;  // n of \\.\PhysicalDriveN
  int64_t StartingOffset = 0;
  int64_t ExtentLength = 0;
  bool operator==(const DiskExtent&) const = default;
};
// A 4-byte count, 4 bytes of alignment, then 24 bytes per extent.
inline constexpr size_t VolumeDiskExtentsHeaderBytes = 8;
inline constexpr size_t DiskExtentBytes = 24;

// The size of a reply with room for `count` extents.
constexpr size_t VolumeDiskExtentsBytes(uint32_t count) {
  return VolumeDiskExtentsHeaderBytes + size_t{count} * DiskExtentBytes;
}
// The count of extents a reply announces; a reply too small for all of them (ERROR_MORE_DATA)
// still holds it.
std::optional<uint32_t> VolumeDiskExtentCount(std::span<const uint8_t> reply);
// Every extent of the reply; nullopt when it is shorter than its count says.
std::optional<std::vector<DiskExtent>> ParseVolumeDiskExtents(std::span<const uint8_t> reply);

}  // namespace korvid::sources
