#include "sources/windows_layouts.h"

#include "sources/little_endian.h"

namespace korvid::sources {

std::optional<DiskGeometry> ParseDiskGeometry(std::span<const uint8_t> reply) {
  if (reply.size() < DiskGeometryBytes) return std::nullopt;
  DiskGeometry geometry;
  geometry.Cylinders = *SignedLittleEndian64At(reply, 0);
  geometry.MediaType = static_cast<uint32_t>(*LittleEndianAt(reply, 8, 4));
  geometry.TracksPerCylinder = static_cast<uint32_t>(*LittleEndianAt(reply, 12, 4));
  geometry.SectorsPerTrack = static_cast<uint32_t>(*LittleEndianAt(reply, 16, 4));
  geometry.BytesPerSector = static_cast<uint32_t>(*LittleEndianAt(reply, 20, 4));
  return geometry;
}

std::optional<int64_t> ParseLengthInformation(std::span<const uint8_t> reply) {
  const std::optional<int64_t> length = SignedLittleEndian64At(reply, 0);
  if (!length || *length < 0) return std::nullopt;
  return length;
}

std::optional<uint32_t> VolumeDiskExtentCount(std::span<const uint8_t> reply) {
  const std::optional<uint64_t> count = LittleEndianAt(reply, 0, 4);
  if (!count) return std::nullopt;
  return static_cast<uint32_t>(*count);
}

std::optional<std::vector<DiskExtent>> ParseVolumeDiskExtents(std::span<const uint8_t> reply) {
  const std::optional<uint32_t> count = VolumeDiskExtentCount(reply);
  // Compared by division: a count near 2^32 must not wrap a 32-bit size.
  if (!count || reply.size() < VolumeDiskExtentsHeaderBytes ||
      (reply.size() - VolumeDiskExtentsHeaderBytes) / DiskExtentBytes < *count) {
    return std::nullopt;
  }
  std::vector<DiskExtent> extents;
  extents.reserve(*count);
  for (uint32_t i = 0; i < *count; ++i) {
    const size_t at = VolumeDiskExtentsHeaderBytes + size_t{i} * DiskExtentBytes;
    DiskExtent extent;
    extent.DiskNumber = static_cast<uint32_t>(*LittleEndianAt(reply, at, 4));
    extent.StartingOffset = *SignedLittleEndian64At(reply, at + 8);
    extent.ExtentLength = *SignedLittleEndian64At(reply, at + 16);
    extents.push_back(extent);
  }
  return extents;
}

}  // namespace korvid::sources
