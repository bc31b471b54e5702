#include "sources/volume_bitmap.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

#include "sources/little_endian.h"

namespace korvid::sources {
namespace {

void AddFree(ClusterRuns& runs, int64_t cluster, int64_t length) {
  if (!runs.empty() && runs.back().first + runs.back().second == cluster) {
    runs.back().second += length;
  } else {
    runs.emplace_back(cluster, length);
  }
}

// Adds the free clusters among bits [from, count) of a piece whose bit 0 is cluster `first`.
// Whole bytes of one state are taken at once: a volume of millions of clusters is mostly those.
void CollectFreeRuns(std::span<const uint8_t> bitmap, int64_t first, int64_t from, int64_t count, ClusterRuns& runs) {
  int64_t i = from;
  while (i < count) {
    const uint8_t byte = bitmap[static_cast<size_t>(i / 8)];
    if (i % 8 == 0 && count - i >= 8 && (byte == 0x00 || byte == 0xFF)) {
      if (byte == 0x00) AddFree(runs, first + i, 8);
      i += 8;
      continue;
    }
    if (((byte >> (i % 8)) & 1) == 0) AddFree(runs, first + i, 1);
    ++i;
  }
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

}  // namespace

std::string NtStatusText(uint32_t status) {
  switch (status) {
    case StatusInvalidParameter:
      return "STATUS_INVALID_PARAMETER";
    case StatusInvalidDeviceRequest:
      return "STATUS_INVALID_DEVICE_REQUEST";
    case StatusAlreadyCommitted:
      return "STATUS_ALREADY_COMMITTED";
    case StatusBufferTooSmall:
      return "STATUS_BUFFER_TOO_SMALL";
  }
  char text[16];
  std::snprintf(text, sizeof text, "%.*X", 8, static_cast<unsigned>(status));
  return text;
}

std::optional<VolumeBitmap> ParseVolumeBitmap(std::span<const uint8_t> reply) {
  const std::optional<int64_t> start = SignedLittleEndian64At(reply, 0);
  const std::optional<int64_t> size = SignedLittleEndian64At(reply, 8);
  if (!start || !size || *start < 0 || *size < 0) return std::nullopt;
  return VolumeBitmap{*start, *size, reply.subspan(VolumeBitmapHeaderBytes)};
}

BitmapWalk WalkVolumeBitmap(const BitmapRequest& request) {
  BitmapWalk walk;
  std::vector<uint8_t> reply(VolumeBitmapReplyBytes);
  int64_t next = 0;
  for (;;) {
    const BitmapReply answer = request(next, reply);
    ++walk.Requests;
    if (answer.Status != StatusSuccess && answer.Status != StatusBufferOverflow) {
      walk.Failure = NtStatusText(answer.Status);
      return walk;
    }
    const std::optional<VolumeBitmap> piece =
        ParseVolumeBitmap(std::span<const uint8_t>(reply).first(std::min(answer.Bytes, reply.size())));
    // The system starts a piece at the byte that holds the cluster asked for, never after it.
    if (!piece || piece->StartingLcn > next || next - piece->StartingLcn >= 8) {
      walk.Failure = "The volume bitmap's reply does not start at the cluster asked for.";
      return walk;
    }
    const int64_t delivered = static_cast<int64_t>(piece->Bitmap.size()) * 8;
    const int64_t count = std::min({BitmapPieceClusters, piece->BitmapSize, delivered});
    CollectFreeRuns(piece->Bitmap, piece->StartingLcn, next - piece->StartingLcn, count, walk.FreeRuns);
    walk.Clusters = std::max(walk.Clusters, piece->StartingLcn + count);
    if (answer.Status == StatusSuccess) return walk;
    if (piece->StartingLcn + count <= next) {
      walk.Failure = "The volume bitmap's reply says more follows but holds no further cluster.";
      return walk;
    }
    next = piece->StartingLcn + count;
  }
}

ClusterOrigin ClusterOriginOf(std::string_view fileSystemName) {
  if (EqualsIgnoringCase(fileSystemName, "exFAT")) return ClusterOrigin::ExFatClusterHeap;
  if (fileSystemName.size() >= 3 && EqualsIgnoringCase(fileSystemName.substr(0, 3), "FAT")) {
    return ClusterOrigin::FatDataArea;
  }
  return ClusterOrigin::VolumeStart;
}

std::vector<ByteRange> ClusterRunsToByteRanges(const ClusterRuns& runs, int64_t clusterZero, int64_t clusterBytes,
                                               int64_t limit) {
  std::vector<ByteRange> ranges;
  for (const auto& [first, length] : runs) {
    const int64_t offset = clusterZero + first * clusterBytes;
    const int64_t end = std::min(offset + length * clusterBytes, limit);
    if (end > offset) ranges.push_back({offset, end - offset});
  }
  return ranges;
}

std::vector<ByteRange> MergeByteRanges(std::vector<ByteRange> ranges) {
  std::sort(ranges.begin(), ranges.end(), [](const ByteRange& a, const ByteRange& b) { return a.Offset < b.Offset; });
  std::vector<ByteRange> merged;
  for (const ByteRange& range : ranges) {
    if (!merged.empty() && merged.back().Offset + merged.back().Length >= range.Offset) {
      const int64_t end = std::max(merged.back().Offset + merged.back().Length, range.Offset + range.Length);
      merged.back().Length = end - merged.back().Offset;
    } else {
      merged.push_back(range);
    }
  }
  return merged;
}

}  // namespace korvid::sources
