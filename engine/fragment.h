#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/packed_array.h"

namespace korvid {

// One signature hit on the source.
struct Fragment {
  int64_t Position;  // byte offset of the hit's first byte from the start of the source
  uint32_t Length;   // little-endian word 4 bytes after the hit, plus 8, modulo 2^32
  uint32_t Id;       // the hit's first four bytes (the chunk id), little-endian
};
static_assert(sizeof(Fragment) == 16, "a record must stay 16 bytes: media hold millions");

// 1, 0 or -1 as the first record's Position is greater than, equal to or less than the second's.
inline int CompareFragments(const Fragment& a, const Fragment& b) {
  return a.Position > b.Position ? 1 : a.Position < b.Position ? -1 : 0;
}

// The records of one run, in one block that grows without copying.
using FragmentList = PackedArray<Fragment>;

// CompareFragments as the "less than" of a sort.
inline bool FragmentBefore(const Fragment& a, const Fragment& b) { return CompareFragments(a, b) < 0; }

// Sorts the list into ascending Position with CompareFragments.
void SortFragments(FragmentList& list);

// Sorts records [from, end of list) that stand in a few ascending runs, one per pattern, by
// merging the runs: linear in the number of records.
void MergeRuns(FragmentList& list, size_t from);

}  // namespace korvid
