#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "engine/source_bytes.h"

namespace korvid::mxf {

// The kinds of partition an MXF partition pack key names (its 14th byte).
enum class PartitionKind { None, Header, Body, Footer };

// The partition a 16-byte key opens, or None when it is no partition pack key.
PartitionKind PartitionOfKey(const uint8_t* key);

// One past the end of the KLV triplet at `at`; nothing when no SMPTE key and length are there.
std::optional<int64_t> TripletEnd(SourceBytes& source, int64_t at);

// The essence elements of one track: frames, when the essence is frame-wrapped.
struct EssenceTrack {
  uint32_t TrackNumber = 0;  // the last four bytes of its elements' key
  bool Picture = false;
  bool Sound = false;
  uint64_t Elements = 0;
};

// An MXF file found on the source: [Start, End).
struct MxfFile {
  int64_t Start = 0;
  int64_t End = 0;
  // It reached its footer partition or its random index pack; false when it broke off before
  // (cut off, or its next bytes are not the file's).
  bool Complete = false;
  std::vector<EssenceTrack> Tracks;  // in the order their first element comes
};

// Walks the KLV triplets of the file whose header partition pack starts at `start`: through the
// header, body and footer partitions up to the random index pack, or to the end of the footer
// partition where the next bytes are no SMPTE key. A partition pack must name its own offset in
// the file, so another file's partitions end the walk. Nothing when `start` holds no header
// partition pack.
std::optional<MxfFile> WalkMxfFile(SourceBytes& source, int64_t start);

}  // namespace korvid::mxf
