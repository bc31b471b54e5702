#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/naming/source_entry.h"
#include "engine/reassembly/cluster_grid.h"
#include "engine/source_device.h"
#include "engine/scan_ranges.h"

// What the rest of the program needs to know about the machine's disks and volumes. One
// implementation per platform (source_catalog_linux.cpp, later Windows); everything that is not
// a system call lives in source_text.h and is shared.
namespace korvid::sources {

// One whole disk that can be opened read-only.
struct DiskEntry {
  uint32_t Number = 0;      // 0, 1, 2, ... in a stable order, gaps skipped
  std::string Name;         // "PhysicalDrive" + Number: the menu entry's name and the Source text
  std::string DevicePath;   // what is opened: /dev/sda, \\.\PhysicalDrive0
  uint32_t MediaType = 0;   // the platform MEDIA_TYPE numbering: 11 removable, 12 fixed
  uint64_t SizeBytes = 0;   // exact length
  std::string Caption;      // "HD0, Fixed Drive, [74.52 GB]"
};

// What the system tells about one volume (a partition, or a device holding a bare file system).
struct TNTVolumeInfo {
  std::string Drive;           // device name where Windows has the letter: "sdb1" (Windows: "D")
  std::string DevicePath;      // what is opened: /dev/sdb1 (Windows: \\.\D:)
  std::string VolumeLabel;     // empty when none
  std::string SerialNumber;    // 8 upper-case hex digits where the file system has a 32-bit serial, else empty
  std::string FileSystemName;  // "vfat", "exfat", "ntfs", "ext4", ...
  int64_t TotalBytes = 0;      // mounted: statvfs; unmounted: the file system's own size; 0 if unknown
  int64_t FreeBytes = 0;       // mounted: statvfs; unmounted: 0
  std::string DriveKind;       // "RD" removable, "HD" fixed, "CD" optical, "ND" network
  uint32_t DiskNumber = 255;   // Number of the DiskEntry that holds it; 255 if none
  int64_t StartingOffset = 0;  // byte offset on that disk
  int64_t ExtentLength = 0;    // exact length of the volume in bytes
};

// Every whole disk that opens read-only, numbered 0, 1, 2, ...
std::vector<DiskEntry> ListDisks();

// Every volume, unfiltered, in a stable order (disk order, then partition order).
std::vector<TNTVolumeInfo> QueryVolumes();

// The path that is opened for a Source text: a "PhysicalDrive" + n text gives that disk's device
// path; a device path or an image path stays as it is. Raises KorvidError (OpenFailed) for a disk
// number that is not listed.
std::string SourcePathFor(const std::string& sourceText);

// The free space of a file system's allocation data, as the free-space mode uses it.
struct FreeExtents {
  // Geometry of the (first) file system read.
  uint32_t SectorsPerCluster = 0;
  uint32_t BytesPerSector = 0;
  uint32_t FreeClusters = 0;
  uint32_t TotalClusters = 0;
  // "start - length" in that file system's clusters, ascending, split at multiples of
  // BitmapPieceClusters (see source_text.h: FreeExtentEntries).
  std::vector<std::string> List;
  // The same free space as absolute byte ranges on the source, ascending, adjacent ranges merged.
  std::vector<ByteRange> Ranges;
};

// Reads the allocation data of the file system(s) on `sourcePath`: a volume, an image of a
// volume, or a disk or disk image with a partition table (every partition's file system).
// Raises KorvidError (ReadFailed) naming the source and why, when none can be read.
FreeExtents LoadFreeExtents(const std::string& sourcePath);

// The cluster grids of the file systems on `source` that The Sleuth Kit finds (every partition's,
// on a partitioned disk): empty when it finds none. It reads through `source`, so that a scan's
// map keeps it off the sectors a failing disk could not give.
ClusterGeometry LoadClusterGeometry(SourceDevice& source);

// The directory entries, live and deleted, of regular files with data in every file system on
// `source` that The Sleuth Kit reads (every partition's): empty when it finds none. Reads
// through `source`, as LoadClusterGeometry.
std::vector<SourceEntry> LoadSourceEntries(SourceDevice& source);

}  // namespace korvid::sources
