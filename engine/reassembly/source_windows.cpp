#include "engine/reassembly/source_windows.h"

#include <algorithm>

#include "engine/sector_reader.h"

namespace korvid {

void SourceWindows::Read(std::span<const ByteRange> extents, uint64_t offset, size_t count,
                         std::vector<uint8_t>& out) {
  out.clear();
  ForEachPartOf(extents, offset, count, [&](int64_t position, size_t length) {
    while (length > 0) {
      const int64_t start = position / WindowBytes * WindowBytes;
      const std::vector<uint8_t>& window = Window(start);
      const size_t from = static_cast<size_t>(position - start);
      const size_t take = std::min(length, window.size() - from);
      out.insert(out.end(), window.begin() + static_cast<std::ptrdiff_t>(from),
                 window.begin() + static_cast<std::ptrdiff_t>(from + take));
      position += static_cast<int64_t>(take);
      length -= take;
    }
  });
}

const std::vector<uint8_t>& SourceWindows::Window(int64_t start) {
  if (auto at = held_.find(start); at != held_.end()) {
    used_[at->second] = true;
    return windows_[at->second];
  }
  size_t slot;
  if (windows_.size() < Windows) {
    slot = windows_.size();
    windows_.emplace_back(static_cast<size_t>(WindowBytes));
    starts_.push_back(start);
    used_.push_back(true);
  } else {
    // The first window not used since the hand last passed it makes room.
    while (used_[hand_]) {
      used_[hand_] = false;
      hand_ = (hand_ + 1) % Windows;
    }
    slot = hand_;
    hand_ = (hand_ + 1) % Windows;
    held_.erase(starts_[slot]);
    starts_[slot] = start;
    used_[slot] = true;
  }
  held_[start] = slot;
  std::vector<uint8_t>& window = windows_[slot];
  // Past the source's end the window reads as zeros, as a short read leaves it.
  ReadSectors(source_, start, window.data(), window.size(), 0, window.size());
  return window;
}

}  // namespace korvid
