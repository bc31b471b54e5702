#include "sources/boot_sector.h"

#include "sources/little_endian.h"

namespace korvid::sources {
namespace {

constexpr size_t kBootSectorBytes = 512;

// The BPB fields sit well inside the first 512 bytes, which the caller has checked are there.
uint64_t Field(std::span<const uint8_t> sector, size_t offset, size_t width) {
  return *LittleEndianAt(sector, offset, width);
}

}  // namespace

std::optional<FatClusterLayout> ParseFatBootSector(std::span<const uint8_t> sector, bool exfat) {
  if (sector.size() < kBootSectorBytes) return std::nullopt;
  FatClusterLayout layout;
  if (exfat) {
    const uint64_t sectorShift = sector[108];   // BytesPerSectorShift
    const uint64_t clusterShift = sector[109];  // SectorsPerClusterShift
    if (sectorShift > 12 || clusterShift > 25) return std::nullopt;
    layout.BytesPerSector = uint32_t{1} << sectorShift;
    layout.SectorsPerCluster = uint32_t{1} << clusterShift;
    layout.FirstClusterSector = Field(sector, 88, 4);  // ClusterHeapOffset
    layout.ClusterCount = Field(sector, 92, 4);        // ClusterCount
    return layout;
  }
  layout.BytesPerSector = static_cast<uint32_t>(Field(sector, 11, 2));
  layout.SectorsPerCluster = sector[13];
  if (layout.BytesPerSector == 0 || layout.SectorsPerCluster == 0) return std::nullopt;
  const uint64_t reserved = Field(sector, 14, 2);
  const uint64_t fatCount = sector[16];
  const uint64_t rootEntries = Field(sector, 17, 2);
  // FAT12/16 keep the counts in 16 bits where they fit; 0 there sends to the 32-bit field.
  const uint64_t sectors = Field(sector, 19, 2) != 0 ? Field(sector, 19, 2) : Field(sector, 32, 4);
  const uint64_t fatSectors = Field(sector, 22, 2) != 0 ? Field(sector, 22, 2) : Field(sector, 36, 4);
  const uint64_t rootSectors = (rootEntries * 32 + layout.BytesPerSector - 1) / layout.BytesPerSector;
  layout.FirstClusterSector = reserved + fatCount * fatSectors + rootSectors;
  if (layout.FirstClusterSector > sectors) return std::nullopt;
  layout.ClusterCount = (sectors - layout.FirstClusterSector) / layout.SectorsPerCluster;
  return layout;
}

}  // namespace korvid::sources
