#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "simd_dispatch.h"

namespace korvid {

// The places a filter looks for: a first byte and the byte `TailOffset` after it, one of up to
// MaxPairs pairs (one per pattern searched in the same pass).
struct BytePairs {
  static constexpr size_t MaxPairs = 8;
  uint8_t First[MaxPairs] = {};
  uint8_t Final[MaxPairs] = {};
  size_t Count = 0;
  size_t TailOffset = 0;
};

// Returns the first p in [from, last) where, for one of the pairs, data[p] == First and
// data[p + TailOffset] == Final; or `last`. Callers guarantee last + TailOffset <= size. The
// matcher runs it to skip to the places where one of its patterns' first and last bytes fit,
// then compares the rest: one pass over the bytes for all the patterns of a mode.
using CandidateFilter = size_t (*)(const uint8_t* data, size_t size, size_t from, size_t last, const BytePairs& pairs);

using NamedCandidateFilter = NamedFilter<CandidateFilter>;

// The filters this processor can run, fastest first; the last is plain C++ and runs anywhere.
std::vector<NamedCandidateFilter> CandidateFilters();

}  // namespace korvid
