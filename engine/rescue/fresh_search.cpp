#include "engine/rescue/fresh_search.h"

#include <algorithm>

#include "engine/sector_reader.h"

namespace korvid {

FreshSearch::FreshSearch(SourceDevice& source, std::vector<ByteRange> stretches, size_t margin, Search search)
    : source_(source), stretches_(std::move(stretches)), margin_(margin), search_(std::move(search)) {}

void FreshSearch::Add(int64_t offset, std::span<const uint8_t> bytes) {
  held_[offset].assign(bytes.begin(), bytes.end());
  heldBytes_ += bytes.size();
  if (heldBytes_ >= HeldBytes) SearchHeld();
}

void FreshSearch::SearchHeld() {
  std::vector<uint8_t> window, edge;
  for (auto at = held_.begin(); at != held_.end();) {
    // A run of pieces that lie back to back.
    const int64_t start = at->first;
    window.assign(at->second.begin(), at->second.end());
    for (++at; at != held_.end() && at->first == start + static_cast<int64_t>(window.size()); ++at) {
      window.insert(window.end(), at->second.begin(), at->second.end());
    }
    const int64_t end = start + static_cast<int64_t>(window.size());
    // Hits do not cross from one stretch into another.
    const auto stretch = std::prev(std::upper_bound(stretches_.begin(), stretches_.end(), start,
                                                    [](int64_t o, const ByteRange& s) { return o < s.Offset; }));
    const int64_t stretchEnd = stretch->Offset + stretch->Length;
    const int64_t from = std::max(stretch->Offset, start - static_cast<int64_t>(margin_));
    const int64_t to = std::min(stretchEnd, end + static_cast<int64_t>(margin_));
    edge.resize(static_cast<size_t>(start - from));
    ReadSectors(source_, from, edge.data(), edge.size(), 0, 0);
    window.insert(window.begin(), edge.begin(), edge.end());
    edge.resize(static_cast<size_t>(to - end));
    ReadSectors(source_, end, edge.data(), edge.size(), 0, 0);
    window.insert(window.end(), edge.begin(), edge.end());

    // At the stretch's end the end of data is the end of the window.
    const int64_t redoneEnd = to == stretchEnd ? to : end;
    FragmentList hits;
    search_(window, from, hits, to == stretchEnd ? SIZE_MAX : static_cast<size_t>(end - from));
    found_.erase(found_.lower_bound(from), found_.lower_bound(redoneEnd));
    for (const Fragment& hit : hits) found_.emplace(hit.Position, hit);
    redone_.push_back({from, redoneEnd - from});
  }
  held_.clear();
  heldBytes_ = 0;
}

void FreshSearch::MergeInto(FragmentList& fragments) {
  SearchHeld();
  if (redone_.empty()) return;
  std::sort(redone_.begin(), redone_.end(), [](const ByteRange& a, const ByteRange& b) { return a.Offset < b.Offset; });
  std::vector<ByteRange> merged;
  for (const ByteRange& r : redone_) {
    if (!merged.empty() && r.Offset <= merged.back().Offset + merged.back().Length) {
      merged.back().Length = std::max(merged.back().Offset + merged.back().Length, r.Offset + r.Length) - merged.back().Offset;
    } else {
      merged.push_back(r);
    }
  }
  const auto redone = [&](int64_t position) {
    const auto after = std::upper_bound(merged.begin(), merged.end(), position,
                                        [](int64_t p, const ByteRange& r) { return p < r.Offset; });
    return after != merged.begin() && position < std::prev(after)->Offset + std::prev(after)->Length;
  };
  const auto kept = std::remove_if(fragments.begin(), fragments.end(), [&](const Fragment& f) { return redone(f.Position); });
  fragments.truncate(static_cast<size_t>(kept - fragments.begin()));
  for (const auto& [position, hit] : found_) fragments.push_back(hit);
}

}  // namespace korvid
