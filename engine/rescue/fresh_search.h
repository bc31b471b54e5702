#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <span>
#include <vector>

#include "engine/fragment.h"
#include "engine/scan_ranges.h"
#include "engine/source_device.h"

namespace korvid {

// Searches the bytes that coming back for a failing disk's bad areas read: the first pass
// searched zeros in their place, so the records there and just before them (whose size words
// reach in) are made again from the bytes as they are now. The bytes are held until there are
// many, then searched with the bytes around them, read through `source` (which refuses what is
// still unread: zeros, as the first pass had them). A stretch searched again later wins.
class FreshSearch {
 public:
  // `search(bytes, start, out, searchEnd)` appends, in ascending order, the hits in `bytes`
  // (at source offset `start`) that start before `searchEnd`; each needs at most `margin` bytes
  // beyond its first.
  using Search = std::function<void(std::span<const uint8_t>, int64_t, FragmentList&, size_t)>;

  FreshSearch(SourceDevice& source, std::vector<ByteRange> stretches, size_t margin, Search search);

  void Add(int64_t offset, std::span<const uint8_t> bytes);
  // Replaces the records of `fragments` in the stretches searched again with those found now.
  void MergeInto(FragmentList& fragments);

 private:
  static constexpr size_t HeldBytes = 64 << 20;
  void SearchHeld();

  SourceDevice& source_;
  const std::vector<ByteRange> stretches_;
  const size_t margin_;
  const Search search_;
  std::map<int64_t, std::vector<uint8_t>> held_;  // by offset, disjoint
  size_t heldBytes_ = 0;
  std::multimap<int64_t, Fragment> found_;  // by position
  std::vector<ByteRange> redone_;           // positions whose records found_ holds
};

}  // namespace korvid
