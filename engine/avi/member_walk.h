#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <vector>

#include "engine/fragment.h"
#include "engine/scan_ranges.h"
#include "engine/source_device.h"

namespace korvid {

// Walks a deep chain's members on the source itself, as ChainFinder walks them over the scan's
// records: from each chunk to the chunk at its end (after the pad byte of an odd size, or
// without it), from a LIST or RIFF header to the chunk 12 bytes on. A chunk counts only where
// the scan could have recorded it: its header within the stretches searched, read through what
// the scan learnt of the source (pass the mapped source, so that nothing the scan could not read
// is asked of the disk again). The writer takes a recording's chunks from here, so that the
// scan's records need not be kept for it.
//
// What the walks of one recording read can be kept, so that its copy is served from memory and
// the disk reads the recording once.
class MemberWalk {
 public:
  // Bytes read at a time, within a stretch and a chain's declared end.
  static constexpr int64_t BlockBytes = 1 << 20;
  // The most kept for one recording; the copy reads the rest of a longer one again.
  static constexpr size_t KeptBytes = 64u << 20;

  // `stretches`: those searched, ascending and disjoint; none: the whole source.
  // `declaredStreams`: chunks of higher stream numbers were refused by the scan.
  MemberWalk(SourceDevice& source, std::vector<ByteRange> stretches, unsigned declaredStreams)
      : source_(source), stretches_(std::move(stretches)), declaredStreams_(declaredStreams), kept_(*this) {}

  // The first `members` members of the deep chain whose first chunk is at `start`, fewer where
  // the chain ends sooner, none when no chunk is recorded there; no byte at or past `end` (its
  // last chunk's declared end) is read for it. Valid until the next call.
  std::span<const Fragment> Walk(int64_t start, size_t members, int64_t end);

  // Keeps what the walks read from now on, when `keep`, for Kept to serve; what was kept before
  // is let go.
  void Keep(bool keep);
  // The source, with what the walks kept served from memory.
  SourceDevice& Kept() { return kept_; }

 private:
  class KeptSource : public SourceDevice {
   public:
    explicit KeptSource(MemberWalk& walk) : walk_(walk) {}
    const std::string& Path() const override { return walk_.source_.Path(); }
    int64_t Size() const override { return walk_.source_.Size(); }
    ReadResult ReadAt(int64_t offset, uint8_t* buffer, size_t length) override;
    void WillRead(int64_t offset, int64_t length) override { walk_.source_.WillRead(offset, length); }

   private:
    MemberWalk& walk_;
  };

  // The record the scan would have made at `position`, if any; `member`: the next member of the
  // chain in hand, whose bytes up to it the walk reads along.
  bool RecordAt(int64_t position, int64_t end, bool member, Fragment& out);
  // The stretch searched that holds `position`, or an empty range.
  ByteRange StretchOf(int64_t position) const;
  // Copies [offset, offset + length) from the blocks kept, if they hold all of it.
  bool FromKept(int64_t offset, uint8_t* buffer, size_t length) const;

  SourceDevice& source_;
  const std::vector<ByteRange> stretches_;
  const unsigned declaredStreams_;
  std::vector<uint8_t> block_;                   // read into, unless kept
  const std::vector<uint8_t>* inHand_ = &block_;  // the block last read: block_, or one kept
  std::vector<std::vector<uint8_t>> spare_;       // kept for the last recording, to read into again
  int64_t blockStart_ = 0;
  std::vector<Fragment> members_;
  bool keep_ = false;
  size_t keptBytes_ = 0;
  std::map<int64_t, std::vector<uint8_t>> keptBlocks_;  // by their first byte; each read whole
  KeptSource kept_;
};

}  // namespace korvid
