#include "engine/rescue/rescue_map.h"

#include <algorithm>
#include <iterator>

namespace korvid {
namespace {

bool IsPending(SectorState state) { return state != SectorState::Outside && state != SectorState::Finished; }

}  // namespace

RescueMap::RescueMap(int64_t size, std::span<const ByteRange> stretches) : size_(size) {
  runs_[0] = SectorState::Outside;
  for (const ByteRange& s : stretches) Mark(s.Offset, s.Offset + s.Length, SectorState::NonTried);
}

void RescueMap::Mark(int64_t begin, int64_t end, SectorState state) {
  begin = std::max<int64_t>(begin, 0);
  end = std::min(end, size_);
  if (begin >= end) return;
  std::lock_guard lock(mutex_);
  // The state from `end` on stays what it was.
  auto after = runs_.upper_bound(end);
  const SectorState atEnd = std::prev(after)->second;
  if (end < size_) runs_[end] = atEnd;
  runs_.erase(runs_.lower_bound(begin), runs_.lower_bound(end));
  runs_[begin] = state;
  // Neighbouring runs of one state become one.
  auto at = runs_.find(begin);
  if (at != runs_.begin() && std::prev(at)->second == state) at = runs_.erase(at), --at;
  auto next = std::next(at);
  if (next != runs_.end() && next->second == state) runs_.erase(next);
}

void RescueMap::MarkWithin(ByteRange range, SectorState state, std::span<const ByteRange> stretches) {
  for (const ByteRange& s : stretches) {
    const int64_t from = std::max(range.Offset, s.Offset);
    const int64_t to = std::min(range.Offset + range.Length, s.Offset + s.Length);
    if (from < to) Mark(from, to, state);
  }
}

int64_t RescueMap::ReadableUntil(int64_t begin, int64_t end) const {
  std::lock_guard lock(mutex_);
  auto at = std::prev(runs_.upper_bound(begin));
  for (int64_t from = begin; from < end; ++at) {
    if (IsPending(at->second)) return from;
    const auto next = std::next(at);
    if (next == runs_.end()) break;
    from = next->first;
  }
  return end;
}

ByteRange RescueMap::FirstBad(int64_t begin, int64_t end) const {
  std::lock_guard lock(mutex_);
  for (auto at = std::prev(runs_.upper_bound(begin)); at != runs_.end() && at->first < end; ++at) {
    const auto next = std::next(at);
    const int64_t runEnd = next == runs_.end() ? size_ : next->first;
    if (at->second == SectorState::Bad && runEnd > begin) {
      const int64_t from = std::max(begin, at->first);
      return {from, std::min(end, runEnd) - from};
    }
  }
  return {};
}

std::vector<std::pair<ByteRange, SectorState>> RescueMap::Runs() const {
  std::lock_guard lock(mutex_);
  std::vector<std::pair<ByteRange, SectorState>> runs;
  for (auto at = runs_.begin(); at != runs_.end(); ++at) {
    const auto next = std::next(at);
    const int64_t end = next == runs_.end() ? size_ : next->first;
    if (end > at->first) runs.push_back({{at->first, end - at->first}, at->second});
  }
  return runs;
}

std::vector<std::pair<ByteRange, SectorState>> RescueMap::Pending() const {
  std::vector<std::pair<ByteRange, SectorState>> pending = Runs();
  std::erase_if(pending, [](const auto& run) { return !IsPending(run.second); });
  return pending;
}

std::vector<ByteRange> RescueMap::Unreadable() const {
  std::vector<ByteRange> ranges;
  for (const auto& [range, state] : Pending()) {
    if (!ranges.empty() && ranges.back().Offset + ranges.back().Length == range.Offset) {
      ranges.back().Length += range.Length;
    } else {
      ranges.push_back(range);
    }
  }
  return ranges;
}

}  // namespace korvid
