#include "chain_finder.h"

#include <algorithm>

#include "movi_chunks.h"

namespace korvid {
namespace {

bool IsHeaderOfList(const Fragment& f) {
  const MoviChunkKind kind = KindOf(f.Id);
  return kind == MoviChunkKind::List || kind == MoviChunkKind::Riff;
}

// True when `next` starts where the chunk of `current` ends, with or without a pad byte.
bool Continues(const Fragment& current, const Fragment& next) {
  const int64_t distance = next.Position - current.Position;
  const int64_t length = current.Length;
  return distance > 0 && (distance == length || distance == length + 1);
}

}  // namespace

int64_t MemberEnd(const Fragment& f) {
  if (IsHeaderOfList(f)) return f.Position + 12;
  return f.Position + static_cast<int64_t>(f.Length) + (f.Length & 1u);
}

std::span<const Fragment> ChainFinder::Next() { return deep_ ? NextDeep() : NextPlain(); }

void ChainFinder::Visit(size_t record) {
  observer_.Yield();
  observer_.WriteProgress(record, fragments_.size());
}

std::span<const Fragment> ChainFinder::NextPlain() {
  const size_t count = fragments_.size();
  while (cursor_ + 1 < count) {
    const size_t first = cursor_;
    size_t last = first;
    for (; last + 1 < count; ++last) {
      Visit(last);
      if (!Continues(fragments_[last], fragments_[last + 1])) break;
    }
    cursor_ = last + 1;
    chainStart_ = first;
    if (last > first) return {fragments_.begin() + first, last - first + 1};
  }
  cursor_ = count;
  return {};
}

size_t ChainFinder::Find(size_t from, int64_t position) const {
  const size_t count = fragments_.size();
  if (from < count && fragments_[from].Position >= position) {
    return fragments_[from].Position == position ? from : count;
  }
  const Fragment* found = std::lower_bound(fragments_.begin() + std::min(from, count), fragments_.end(), position,
                                           [](const Fragment& f, int64_t p) { return f.Position < p; });
  return found != fragments_.end() && found->Position == position ? static_cast<size_t>(found - fragments_.begin())
                                                                  : count;
}

size_t ChainFinder::WalkDeep(size_t first, bool& holdsData) {
  const size_t count = fragments_.size();
  members_.assign(1, fragments_[first]);
  size_t last = first;
  holdsData = KindOf(fragments_[last].Id) == MoviChunkKind::Data;
  for (;;) {
    Visit(last);
    const Fragment& current = fragments_[last];
    size_t next = Find(last + 1, MemberEnd(current));
    // Some writers leave out the pad byte after an odd-sized chunk.
    if (next == count && !IsHeaderOfList(current) && (current.Length & 1u) != 0) {
      next = Find(last + 1, MemberEnd(current) - 1);
    }
    if (next == count) return last;
    members_.push_back(fragments_[next]);
    holdsData |= KindOf(fragments_[next].Id) == MoviChunkKind::Data;
    last = next;
  }
}

std::span<const Fragment> ChainFinder::NextDeep() {
  while (cursor_ < fragments_.size()) {
    bool holdsData = false;
    chainStart_ = cursor_;
    const size_t last = WalkDeep(cursor_, holdsData);
    // Its walk looked for a record at its last chunk's end, pad byte or not.
    if (MemberEnd(fragments_[last]) >= settled_) return {};
    cursor_ = last + 1;
    if ((members_.size() >= 2 || singles_) && holdsData) return members_;
  }
  return {};
}

std::span<const Fragment> ChainFinder::DeepChainFrom(size_t first) {
  bool holdsData = false;
  WalkDeep(first, holdsData);
  return members_;
}

std::span<const Fragment> ChainFinder::DeepChainAt(int64_t position, size_t members) {
  const size_t first = Find(0, position);
  if (first == fragments_.size()) return {};
  return DeepChainFrom(first).first(std::min(members, members_.size()));
}

}  // namespace korvid
