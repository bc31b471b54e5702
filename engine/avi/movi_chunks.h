#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "engine/fragment.h"
#include "engine/simd_dispatch.h"

namespace korvid {

// The largest data chunk a recording is taken to hold; a bigger size word is a chance hit.
inline constexpr uint32_t MaxDataChunkSize = 64u << 20;
// Bytes a hit needs beyond its first byte: the rest of the id, the size word and a list type.
inline constexpr size_t MoviChunkMargin = 11;
// Streams a header can declare: stream numbers are two decimal digits.
inline constexpr unsigned MaxStreams = 100;

// What a chunk id found in a movi list is.
enum class MoviChunkKind : uint8_t {
  None,   // not a movi chunk id
  Data,   // "nndb", "nndc", "nnwb", "nnpc", "nntx": a stream's frame, sound or text
  Index,  // "ixnn" (an OpenDML standard index) or "idx1"
  Junk,   // "JUNK" padding
  List,   // "LIST" of type "rec " or "movi": the chunks it holds follow its 12-byte header
  Riff,   // "RIFF" of form "AVIX": an OpenDML continuation, stepped into like a list
};

MoviChunkKind KindOf(uint32_t id);
// The stream number of a "nnxx" or "ixnn" id, else -1.
int StreamOf(uint32_t id);

// Decides whether the bytes at `at` (source offset `position`) head a chunk that a movi list can
// hold, with a plausible size: within the source, and at most MaxDataChunkSize unless it is a
// LIST or RIFF. Stream numbers of `declaredStreams` and above are refused. `at` must hold at
// least 8 bytes, 12 for a list; a hit that needs more than it holds is refused.
bool RecogniseMoviChunk(std::span<const uint8_t> at, int64_t position, int64_t sourceSize,
                        unsigned declaredStreams, Fragment& out);

// Appends a record for every recognised chunk starting before `searchEnd` in `bytes` (at source
// offset `start`), ascending.
void SearchMoviChunks(std::span<const uint8_t> bytes, int64_t start, int64_t sourceSize,
                      unsigned declaredStreams, FragmentList& out, size_t searchEnd = SIZE_MAX);

// Finds the first p in [from, last) where the bytes at data + p may head a movi chunk id (a
// data chunk's type letters at p + 2, or the first two letters of the other ids), or `last`;
// data[p + 3] must be readable for every p < last. The search runs one to skip to the places
// worth a full look.
using MoviCandidateFilter = size_t (*)(const uint8_t* data, size_t from, size_t last);

using NamedMoviCandidateFilter = NamedFilter<MoviCandidateFilter>;

// The filters this processor can run, fastest first; the last is plain C++ and runs anywhere.
std::vector<NamedMoviCandidateFilter> MoviCandidateFilters();

}  // namespace korvid
