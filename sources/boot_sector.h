#pragma once

#include <cstdint>
#include <optional>
#include <span>

// Where the clusters of a FAT12/16/32 or exFAT file system lie, read from its boot sector. Their
// cluster numbering as a volume bitmap counts it (Windows' FSCTL_GET_VOLUME_BITMAP, and the free
// extent list) starts at the first data cluster, FAT cluster 2, which lies behind the reserved
// sectors, the FATs and a FAT12/16 root folder, not at the first byte of the volume.
namespace korvid::sources {

struct FatClusterLayout {
  uint32_t BytesPerSector = 0;
  uint32_t SectorsPerCluster = 0;
  uint64_t FirstClusterSector = 0;  // the sector, from the start of the volume, where cluster 0 starts
  uint64_t ClusterCount = 0;        // clusters that the bitmap counts
};

// Reads the BIOS parameter block of `sector` (the volume's first 512 bytes or more) as FAT12/16/32,
// or as exFAT's boot sector when `exfat`. Nullopt when the sector is too short or its numbers
// cannot describe a volume (a sector size or cluster size of 0, data area past the end). The
// 0x55 0xAA signature is the caller's to check.
std::optional<FatClusterLayout> ParseFatBootSector(std::span<const uint8_t> sector, bool exfat);

}  // namespace korvid::sources
