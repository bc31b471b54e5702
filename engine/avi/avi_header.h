#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace korvid {

// One stream declared by a sample's header: its chunks in movi are "nnxx", n its place here.
struct AviStream {
  uint32_t Type = 0;         // strh fccType: FourCC("vids"), FourCC("auds"), FourCC("txts"), ...
  uint32_t Handler = 0;      // strh fccHandler
  uint32_t Compression = 0;  // strf: biCompression for video, wFormatTag for audio, else 0
  uint32_t Scale = 0;        // strh dwScale
  uint32_t Rate = 0;         // strh dwRate
  uint32_t SampleSize = 0;   // strh dwSampleSize
  uint16_t BlockAlign = 0;   // strf nBlockAlign for audio, else 0
};

// Where the fields a repaired file rewrites lie in the sample's header bytes, and which chunks
// it replaces. Filled by ParseAviHeader; offsets are from the start of the header.
struct AviHeaderLayout {
  size_t AvihData = 0;                 // first byte of avih's data (dwMicroSecPerFrame)
  size_t HdrlList = 0;                 // the "LIST" of hdrl
  std::vector<size_t> StrlLists;       // the "LIST" of each strl, one per stream
  std::vector<size_t> StrhData;        // first byte of each stream's strh data
  std::vector<size_t> IndxChunks;      // every "indx" chunk found in a strl
  std::optional<size_t> OdmlList;      // the "LIST" of odml, when present
  std::optional<size_t> DmlhData;      // first byte of its dmlh's data (dwTotalFrames)
  size_t MoviList = 0;                 // the "LIST" whose type is the final "movi"
};

struct AviHeader {
  std::vector<uint8_t> Bytes;      // the sample's header, "RIFF" to the final "movi"
  std::vector<AviStream> Streams;  // one per strl, in order
  uint32_t MicroSecPerFrame = 0;   // avih
  AviHeaderLayout Layout;
};

// Reads a sample's header: a RIFF "AVI " form whose chunks, each read with bounds checks,
// include a "LIST" hdrl holding avih and one strl (strh + strf) per stream, and whose last
// top-level chunk is a "LIST" whose type "movi" is the last four bytes of `bytes`. Anything
// else (a size running past the end, a missing avih, more than 100 streams, ...) yields nothing
// and `problem` says what was wrong; no input makes it read outside `bytes`.
std::optional<AviHeader> ParseAviHeader(std::span<const uint8_t> bytes, std::string& problem);

// One entry of an OpenDML super index: where a stream's standard index chunk ("ix##") lies.
struct SuperIndexEntry {
  uint64_t Offset = 0;    // absolute file offset of the ix## chunk's header
  uint32_t Size = 0;      // the ix## chunk's length, its 8-byte header included
  uint32_t Duration = 0;  // entries it holds (video) or samples it covers (audio)
};

// What a repaired file holds, for its header.
struct HeaderTotals {
  uint32_t RiffSize = 0;                   // size word of the first RIFF
  uint32_t MoviSize = 0;                   // size word of the first movi LIST
  uint32_t AvihTotalFrames = 0;            // avih dwTotalFrames (frames in the first RIFF)
  std::vector<uint32_t> StreamLength;      // strh dwLength, one per stream
  // OpenDML only; empty for a file of one RIFF. One list per stream (possibly empty lists).
  std::vector<std::vector<SuperIndexEntry>> SuperIndex;
  uint32_t DmlhTotalFrames = 0;            // dmlh dwTotalFrames: frames of the whole file
};

// The header of a repaired file: the sample's header with the RIFF and movi sizes, avih
// dwTotalFrames (and the AVIF_HASINDEX flag) and every strh dwLength set from `totals`.
// Without super index entries, every "indx" the sample held becomes a "JUNK" chunk of the same
// length (its entries would point into the sample file), and a dmlh the sample held gets
// DmlhTotalFrames. With them, each strl's "indx" is
// replaced by (or, when it has none, gains) an AVI_INDEX_OF_INDEXES super index of those
// entries, and hdrl's "LIST" odml (replaced or added) holds a dmlh of DmlhTotalFrames; the
// sizes of the strl, hdrl and RIFF lists grow to match. The result's length depends only on the
// sample and on the number of super index entries per stream, so a writer can lay the file out
// with placeholder totals of the right shape first.
std::vector<uint8_t> RepairedHeader(const AviHeader& header, const HeaderTotals& totals);

}  // namespace korvid
