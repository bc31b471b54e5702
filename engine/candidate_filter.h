#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "simd_dispatch.h"

namespace korvid {

// Returns the first p in [from, last) with data[p] == first and data[p + tailOffset] == final,
// or `last`. Callers guarantee last + tailOffset <= size. The matcher runs it to skip to the
// places where a pattern's first and last byte both fit, then compares the rest.
using CandidateFilter = size_t (*)(const uint8_t* data, size_t size, size_t from, size_t last,
                                   uint8_t first, uint8_t final, size_t tailOffset);

using NamedCandidateFilter = NamedFilter<CandidateFilter>;

// The filters this processor can run, fastest first; the last is plain C++ and runs anywhere.
std::vector<NamedCandidateFilter> CandidateFilters();

}  // namespace korvid
