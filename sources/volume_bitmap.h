#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/scan_ranges.h"
#include "sources/source_text.h"

// The volume bitmap that Windows' FSCTL_GET_VOLUME_BITMAP delivers piece by piece, one bit per
// cluster, and the free runs read from it. The request itself is a system call of the Windows
// sources; everything here is plain data, built and tested on every platform.
namespace korvid::sources {

// NT status codes of the bitmap request.
inline constexpr uint32_t StatusSuccess = 0x00000000;
inline constexpr uint32_t StatusBufferOverflow = 0x80000005;  // more of the bitmap follows
inline constexpr uint32_t StatusInvalidParameter = 0xC000000D;
inline constexpr uint32_t StatusInvalidDeviceRequest = 0xC0000010;
inline constexpr uint32_t StatusAlreadyCommitted = 0xC0000021;
inline constexpr uint32_t StatusBufferTooSmall = 0xC0000023;

// The text shown for a failed status: the names of the four the bitmap request is known to
// return, else the code as at least eight upper-case hexadecimal digits ("C0000022").
std::string NtStatusText(uint32_t status);

// VOLUME_BITMAP_BUFFER: StartingLcn and BitmapSize (signed 64-bit each), then the bitmap, bit i
// being bit (i mod 8) of byte (i div 8), set for a cluster in use.
struct VolumeBitmap {
  int64_t StartingLcn = 0;  // the cluster of bit 0
  int64_t BitmapSize = 0;   // clusters from StartingLcn to the end of the volume
  std::span<const uint8_t> Bitmap;
};
inline constexpr size_t VolumeBitmapHeaderBytes = 16;
// One request's buffer: the header and one piece of BitmapPieceClusters bits (4112 bytes).
inline constexpr size_t VolumeBitmapReplyBytes = VolumeBitmapHeaderBytes + BitmapPieceClusters / 8;
// Nullopt for a reply shorter than its header or with a negative field.
std::optional<VolumeBitmap> ParseVolumeBitmap(std::span<const uint8_t> reply);

// One bitmap request from cluster `startingLcn` into `reply`: its NT status and the count of
// bytes it delivered (the Information of its I/O status block).
struct BitmapReply {
  uint32_t Status = StatusSuccess;
  size_t Bytes = 0;
};
using BitmapRequest = std::function<BitmapReply(int64_t startingLcn, std::span<uint8_t> reply)>;

// Free runs in clusters: (first cluster, length), ascending, each run as long as the free space
// it stands for (a run crossing a piece border is one run; FreeExtentEntries splits the entries).
using ClusterRuns = std::vector<std::pair<int64_t, int64_t>>;

struct BitmapWalk {
  ClusterRuns FreeRuns;  // what the pieces read before any failure hold
  int64_t Clusters = 0;  // clusters described: the volume's cluster count after a complete walk
  uint64_t Requests = 0;
  std::string Failure;  // empty when the walk reached the end of the volume, else why it stopped
};

// Requests the bitmap piece by piece from cluster 0, one request per BitmapPieceClusters
// clusters, while the status says more follows, and collects the free clusters of each piece.
BitmapWalk WalkVolumeBitmap(const BitmapRequest& request);

// Where a file system's cluster 0 of the volume bitmap lies.
enum class ClusterOrigin {
  VolumeStart,       // NTFS, ReFS and the rest: cluster 0 is the volume's first byte
  FatDataArea,       // FAT12/16/32: cluster 0 is FAT cluster 2, behind the FATs and the root folder
  ExFatClusterHeap,  // exFAT: cluster 0 is the first cluster of the cluster heap
};
// By the file system's name as GetVolumeInformation gives it ("NTFS", "FAT", "FAT32", "exFAT").
ClusterOrigin ClusterOriginOf(std::string_view fileSystemName);

// The free runs as byte ranges: cluster c starts at `clusterZero` + c * `clusterBytes`; ranges
// are cut at `limit` (the end of what can be read).
std::vector<ByteRange> ClusterRunsToByteRanges(const ClusterRuns& runs, int64_t clusterZero, int64_t clusterBytes,
                                               int64_t limit);

// Sorts ranges by offset and joins those that touch or overlap (partitions follow each other on
// a disk, so free space may run from one into the next).
std::vector<ByteRange> MergeByteRanges(std::vector<ByteRange> ranges);

}  // namespace korvid::sources
