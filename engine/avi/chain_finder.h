#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "engine/fragment.h"
#include "engine/run_control.h"

namespace korvid {

// Walks a sorted record list and hands out its chains, in order of their first record.
//
// Plain chains are runs of neighbouring records whose chunks lie back to back: the next record
// starts where the current chunk ends, with or without a pad byte.
//
// Deep chains follow movi chunks: from each chunk to the record at its end (after the pad byte
// of an odd size, or without it), and from a LIST or RIFF header to the record 12 bytes on.
// Records inside a chunk of the chain are skipped, since a frame's data may hold any bytes. When
// a chain ends, the walk goes on from the record after the start of its last chunk: a chunk
// whose end no record continues may be partly overwritten by another recording. A deep chain
// holds at least one data chunk.
class ChainFinder {
 public:
  // `observer` gets a Yield and a WriteProgress for every record the walk looks at.
  // Deep chains of a single data chunk are given too when `singles`: the last piece of a
  // fragmented recording may hold just one chunk header.
  ChainFinder(const FragmentList& fragments, bool deep, RunObserver& observer, bool singles = false)
      : fragments_(fragments), deep_(deep), singles_(singles), observer_(observer) {}

  // The next chain of two or more records (or one, as above), or an empty span when there are no
  // more. The span stays valid until the next call.
  std::span<const Fragment> Next();

  // The deep chain that starts at record `first`, as Next would give it; the span stays valid
  // until the next call.
  std::span<const Fragment> DeepChainFrom(size_t first);
  // The first `members` records of the deep chain that starts at the record at `position`
  // (which the list holds); the span stays valid until the next call.
  std::span<const Fragment> DeepChainAt(int64_t position, size_t members);
  // The index in the record list of the first record of the chain Next gave last.
  size_t ChainStart() const { return chainStart_; }

  // Records come in source order, and those before `settled` are all known: deep chains that
  // may still take a record at or past it are not given yet. Next then gives no more, and
  // Cursor names the first record they need.
  void SettledBefore(int64_t settled) { settled_ = settled; }
  // The index of the first record that the chains given so far leave to later ones.
  size_t Cursor() const { return cursor_; }

 private:
  std::span<const Fragment> NextPlain();
  std::span<const Fragment> NextDeep();
  // The index of the record at `position` after `from`, or the list's size.
  size_t Find(size_t from, int64_t position) const;
  void Visit(size_t record);
  // Walks the deep chain from record `first` into members_; returns the index of its last record
  // and whether it holds a data chunk.
  size_t WalkDeep(size_t first, bool& holdsData);

  const FragmentList& fragments_;
  const bool deep_;
  const bool singles_;
  RunObserver& observer_;
  size_t cursor_ = 0;
  size_t chainStart_ = 0;
  int64_t settled_ = INT64_MAX;
  std::vector<Fragment> members_;
};

// One past the last byte of the chunk that `f` heads, its pad byte included; for a LIST or RIFF
// header, one past its 12 bytes.
int64_t MemberEnd(const Fragment& f);

}  // namespace korvid
