#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "avi_header.h"
#include "engine/fragment.h"
#include "engine/scan_ranges.h"

namespace korvid {

// Chunk data a file holds at most in one RIFF; beyond it a file is written as OpenDML, in
// RIFF AVIX continuations of at most this much each, so that no size word overflows.
inline constexpr uint64_t OpenDmlSegmentBytes = uint64_t{1} << 30;

// A data chunk of a repaired file.
struct LaidChunk {
  int64_t Source = 0;   // its "nnxx" header on the source
  uint64_t Offset = 0;  // its header in the file
  uint32_t Size = 0;    // bytes of data, without the header and pad byte
  uint32_t Id = 0;
  uint8_t Stream = 0;
  bool KeyFrame = true;  // set by the writer once it has seen the data
  int32_t Split = -1;    // an index into the split chunks it was laid out with, or -1: one stretch

  // Header, data and pad byte: what is copied from the source.
  uint64_t Span() const { return 8 + uint64_t{Size} + (Size & 1u); }
};

// A chunk of a chain whose bytes lie in several stretches of the source (a recording that broke
// into pieces inside it), header first.
struct SplitChunk {
  size_t Member = 0;                   // its place in the chain
  std::span<const ByteRange> Extents;  // its bytes, in order, pad byte included
};

// A standard index chunk ("ixnn") of one stream in one segment.
struct StreamIndexPlace {
  uint8_t Stream = 0;
  uint64_t Offset = 0;             // its header in the file
  std::vector<uint32_t> Chunks;    // indexes into AviLayout::Chunks
};

// A stretch of the file with its own movi list: the first RIFF's, or one RIFF AVIX.
struct AviSegment {
  size_t FirstChunk = 0;  // [FirstChunk, EndChunk) of AviLayout::Chunks
  size_t EndChunk = 0;
  uint64_t RiffOffset = 0;  // its "RIFF" (0 for the first)
  uint64_t MoviFourCC = 0;  // the "movi" of its list, which index offsets count from
  uint64_t End = 0;         // one past its last byte (for the first, before idx1)
  std::vector<StreamIndexPlace> Indexes;  // OpenDML only, after its chunks, inside its movi list
};

// Where every byte of a repaired file goes: its header, its data chunks, and its indexes.
struct AviLayout {
  std::vector<uint8_t> Header;       // the repaired header, up to the first "movi"
  std::vector<LaidChunk> Chunks;     // in file order
  std::vector<AviSegment> Segments;  // one unless OpenDML
  uint64_t Idx1Offset = 0;           // the idx1 chunk, after the first movi list
  uint64_t FileSize = 0;
  std::vector<uint64_t> ChunksPerStream;  // data chunks written, per declared stream
  double DurationSeconds = 0;             // of the longest stream, from its rate
};

// A stream's length in the units of its strh dwLength: samples for audio of fixed-size
// samples, else chunks.
uint64_t StreamUnits(const AviStream& stream, uint64_t chunks, uint64_t bytes);
// The playing time of the longest stream holding `chunks` chunks and `bytes` bytes per stream.
double DurationSeconds(const AviHeader& header, const std::vector<uint64_t>& chunks,
                       const std::vector<uint64_t>& bytes);

// Lays out a file for the data chunks of `chain` whose stream the header declares and which
// lie wholly in the source, or in the stretches `splits` give them; every other record (lists,
// indexes, padding) is left out. Nothing when no such chunk remains or one is too large for an
// index entry.
std::optional<AviLayout> LayOutRepairedAvi(const AviHeader& header, std::span<const Fragment> chain,
                                           int64_t sourceSize, uint64_t segmentBytes = OpenDmlSegmentBytes,
                                           std::span<const SplitChunk> splits = {});

// The bytes a RIFF AVIX segment starts with: its RIFF and LIST movi headers.
std::vector<uint8_t> SegmentStart(const AviSegment& segment);
// The segment's standard index chunk at `place`, with the chunks' keyframe flags.
std::vector<uint8_t> StandardIndexChunk(const AviLayout& layout, const AviSegment& segment,
                                        const StreamIndexPlace& place);
// The idx1 chunk of the first segment's chunks, with their keyframe flags.
std::vector<uint8_t> Idx1Chunk(const AviLayout& layout);

}  // namespace korvid
