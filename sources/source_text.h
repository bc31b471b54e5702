#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sources/source_catalog.h"

// Texts and rules of the source menu that involve no system call, shared by every platform.
namespace korvid::sources {

// Clusters per piece of the volume bitmap; free runs are split at its multiples.
inline constexpr int64_t BitmapPieceClusters = 32768;

// 1035 -> "1.01 KB", 80023749120 -> "74.52 GB", 2^50 -> "1024 TB" (hundredths cut, not rounded).
std::string FormatByteSize(uint64_t bytes);
// 1048575 -> "1.00 MB"; from 1 MiB on in GB: 1048576 -> "0.00 GB".
std::string FormatSpace(double bytes);
// The text for a MEDIA_TYPE number: 11 "Removable Drive", 12 "Fixed Drive", ...
std::string MediaTypeText(uint32_t mediaType);
// "HD0, Fixed Drive, [74.52 GB]"
std::string DiskCaption(uint32_t number, uint32_t mediaType, uint64_t sizeBytes);
// "Data (sdb1), RD1, vfat, [1.20 GB/7.45 GB]"; `drive` as the platform names the volume: a device
// name ("sdb1") as it stands, a drive letter ("D", as TNTVolumeInfo::Drive holds it on Windows)
// with its colon ("Data (D:), ...").
std::string VolumeCaption(const TNTVolumeInfo& volume, const std::string& drive);
// The keep rule of the volume list: a known disk, or a non-empty label.
bool KeepVolume(const TNTVolumeInfo& volume);

// What a Source text names.
struct SourceText {
  enum class Kind { Disk, Volume, Image } kind = Kind::Image;
  uint32_t DiskNumber = 0;  // Disk: the number after "PhysicalDrive"
  char Letter = 0;          // Volume: the drive letter of "C:" / "C:\"
};
SourceText ClassifySourceText(const std::string& text);

// Free runs [start, start + length) in clusters, ascending, as list entries "start - length",
// each run split at multiples of BitmapPieceClusters.
std::vector<std::string> FreeExtentEntries(const std::vector<std::pair<int64_t, int64_t>>& runs);

}  // namespace korvid::sources
