#include "fragment.h"

#include <algorithm>

namespace korvid {

void SortFragments(FragmentList& list) {
  // Records with equal Position are identical, so the sort need not be stable.
  if (!std::is_sorted(list.begin(), list.end(), FragmentBefore)) {
    std::sort(list.begin(), list.end(), FragmentBefore);
  }
}

void MergeRuns(FragmentList& list, size_t from) {
  Fragment* const first = list.begin() + from;
  Fragment* const last = list.end();
  Fragment* sorted = std::is_sorted_until(first, last, FragmentBefore);
  while (sorted != last) {
    Fragment* const runEnd = std::is_sorted_until(sorted, last, FragmentBefore);
    std::inplace_merge(first, sorted, runEnd, FragmentBefore);
    sorted = runEnd;
  }
}

}  // namespace korvid
