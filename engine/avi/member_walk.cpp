#include "engine/avi/member_walk.h"

#include <algorithm>
#include <cstring>

#include "engine/avi/chain_finder.h"
#include "engine/avi/movi_chunks.h"
#include "engine/sector_reader.h"

namespace korvid {
namespace {

// A chunk header is read with the 4 bytes after it: a list's type.
constexpr int64_t HeaderBytes = 12;

}  // namespace

ByteRange MemberWalk::StretchOf(int64_t position) const {
  if (stretches_.empty()) return position >= 0 && position < source_.Size() ? ByteRange{0, source_.Size()} : ByteRange{};
  const auto after = std::upper_bound(stretches_.begin(), stretches_.end(), position,
                                      [](int64_t p, const ByteRange& s) { return p < s.Offset; });
  if (after == stretches_.begin()) return {};
  const ByteRange& stretch = *std::prev(after);
  return position < stretch.Offset + stretch.Length ? stretch : ByteRange{};
}

bool MemberWalk::RecordAt(int64_t position, int64_t end, bool member, Fragment& out) {
  const ByteRange stretch = StretchOf(position);
  const int64_t stretchEnd = stretch.Offset + stretch.Length;
  // The scan searched a stretch's last bytes as the end of data: a header must lie within it.
  const int64_t available = std::min(HeaderBytes, stretchEnd - position);
  if (available < 8) return false;
  const int64_t blockEnd = blockStart_ + static_cast<int64_t>(inHand_->size());
  if (position < blockStart_ || position + available > blockEnd) {
    // Never past the stretch (the bytes beyond it are another file's, or not to be read), nor
    // far past the chain. A member a little past the block in hand is read with the chunk data
    // before it, so that the copy finds the chain's bytes whole; another chain's first chunk is
    // read from its header on, not with what lies between the two.
    const bool follows = member && !inHand_->empty() && position >= blockEnd &&
                         position + available <= blockEnd + BlockBytes && blockEnd > stretch.Offset;
    blockStart_ = follows ? blockEnd : std::max(stretch.Offset, SectorBase(position));
    const int64_t until = std::min({blockStart_ + BlockBytes, stretchEnd,
                                    std::max(SectorBase(std::min(end, stretchEnd) + HeaderBytes + SectorSize - 1),
                                             position + available)});
    // Into the memory of a block the last recording kept, rather than fresh pages.
    if (block_.capacity() == 0 && !spare_.empty()) {
      block_.swap(spare_.back());
      spare_.pop_back();
    }
    block_.resize(static_cast<size_t>(until - blockStart_));
    const uint64_t unreadable = ReadSectors(source_, blockStart_, block_.data(), block_.size(), 0, block_.size());
    inHand_ = &block_;
    // A block with unreadable bytes is read again by the copy, which counts them.
    if (keep_ && unreadable == 0 && keptBytes_ + block_.size() <= KeptBytes) {
      std::vector<uint8_t>& kept = keptBlocks_[blockStart_];
      keptBytes_ -= kept.size();
      kept.swap(block_);
      keptBytes_ += kept.size();
      inHand_ = &kept;
    }
  }
  const std::span<const uint8_t> at(inHand_->data() + (position - blockStart_), static_cast<size_t>(available));
  return RecogniseMoviChunk(at, position, source_.Size(), declaredStreams_, out);
}

std::span<const Fragment> MemberWalk::Walk(int64_t start, size_t members, int64_t end) {
  members_.clear();
  Fragment current;
  if (members == 0 || !RecordAt(start, end, false, current)) return {};
  members_.push_back(current);
  while (members_.size() < members) {
    const MoviChunkKind kind = KindOf(current.Id);
    const int64_t landing = MemberEnd(current);
    Fragment next;
    // Some writers leave out the pad byte after an odd-sized chunk.
    const bool found = RecordAt(landing, end, true, next) ||
                       (kind != MoviChunkKind::List && kind != MoviChunkKind::Riff && (current.Length & 1u) != 0 &&
                        RecordAt(landing - 1, end, true, next));
    if (!found) break;
    members_.push_back(next);
    current = next;
  }
  return members_;
}

void MemberWalk::Keep(bool keep) {
  keep_ = keep;
  // What was kept serves the next recording's reads; once nothing is kept, it is let go.
  if (keep) {
    for (auto& [start, bytes] : keptBlocks_) spare_.push_back(std::move(bytes));
  } else {
    spare_.clear();
  }
  keptBlocks_.clear();
  keptBytes_ = 0;
  // The block in hand was read before: the walks to come read their own, to keep them.
  block_.clear();
  inHand_ = &block_;
}

bool MemberWalk::FromKept(int64_t offset, uint8_t* buffer, size_t length) const {
  // Blocks overlap where walks overlap: of the last few that start at or before the offset,
  // the one that reaches farthest serves it.
  constexpr int Looked = 4;
  while (length > 0) {
    auto after = keptBlocks_.upper_bound(offset);
    size_t held = 0;
    const std::vector<uint8_t>* from = nullptr;
    for (int k = 0; k < Looked && after != keptBlocks_.begin(); ++k) {
      --after;
      const int64_t within = offset - after->first;
      if (within < static_cast<int64_t>(after->second.size()) && after->second.size() - static_cast<size_t>(within) > held) {
        held = after->second.size() - static_cast<size_t>(within);
        from = &after->second;
      }
    }
    if (from == nullptr) return false;
    const int64_t within = static_cast<int64_t>(from->size() - held);
    const size_t take = std::min(length, held);
    std::memcpy(buffer, from->data() + within, take);
    buffer += take;
    offset += static_cast<int64_t>(take);
    length -= take;
  }
  return true;
}

ReadResult MemberWalk::KeptSource::ReadAt(int64_t offset, uint8_t* buffer, size_t length) {
  if (walk_.FromKept(offset, buffer, length)) return {length, 0};
  return walk_.source_.ReadAt(offset, buffer, length);
}

}  // namespace korvid
