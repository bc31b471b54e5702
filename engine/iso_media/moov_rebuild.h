#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "engine/source_bytes.h"

namespace korvid::iso {

// A recording whose camera stopped before writing its moov: ftyp, perhaps free, and an mdat
// whose size is 0 or stale.
struct CutOffRecording {
  int64_t FileStart = 0;        // source offset of the ftyp box
  int64_t MdatStart = 0;        // source offset of the mdat box
  uint32_t MdatHeaderSize = 8;  // 8, or 16 with largesize
  uint64_t DeclaredSize = 0;    // the mdat's size as found (0: "to the end"); may be stale or wrong
  int64_t Limit = 0;            // source offset the media data cannot pass (next file found, or end of source)
};

struct RebuiltRecording {
  int64_t CopyEnd = 0;              // the file is source bytes [FileStart, CopyEnd) ...
  int64_t MdatHeaderAt = 0;         // ... with the bytes at [MdatHeaderAt, MdatHeaderAt + MdatHeader.size()) replaced by
  std::vector<uint8_t> MdatHeader;  //     this: the mdat header with its size mended, 16 bytes when it takes over an
                                    //     8-byte free/wide/skip box before it for a 64-bit size
  std::vector<uint8_t> Moov;        // ... followed by this new moov
  std::vector<uint64_t> SamplesPerTrack;  // in the sample's track order (PCM: frames); 0 for a track left out of Moov
  double DurationSeconds = 0;
};

// Rebuilds the moov of `cut` from the moov of a sample recording by the same camera with the
// same settings: its tracks, sample descriptions and time scales, with sample tables made from
// the media data. Keeps the first video track (H.264 or H.265) and the first sound track (AAC
// or PCM); a sound track of another codec, or AAC in a build without libavcodec, is left out
// and its bytes skipped. nullopt when the media data holds no video sample, or the sample's moov
// cannot be used.
std::optional<RebuiltRecording> RebuildCutOff(SourceBytes& source, const CutOffRecording& cut,
                                              std::span<const uint8_t> sampleMoov);

}  // namespace korvid::iso
