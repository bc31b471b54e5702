#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <span>
#include <vector>

#include "engine/scan_ranges.h"

namespace korvid {

// Once a disk has failed, reads ask for this much at a time, GNU ddrescue's cluster size: a read
// that fails costs no more than that, and no later read asks again for the sectors it tried.
inline constexpr int64_t FailingDiskReadBytes = 65536;

// What is known of each byte of a source that is being read, in the states GNU ddrescue's map
// files use, so that the user's own tools read them too.
enum class SectorState : char {
  Outside = ' ',     // not to be read by this run: passed through as it is
  NonTried = '?',    // not read yet (skipped by the first pass)
  NonTrimmed = '*',  // a read of it failed; its sectors are still to be tried from both ends
  NonScraped = '/',  // between two failed sectors; still to be read sector by sector
  Bad = '-',         // a sector whose own read failed
  Finished = '+',    // read
};

// The state of every byte of a source, kept as runs. Shared by the threads of a scan and then
// by the writer: safe for concurrent use.
class RescueMap {
 public:
  // The stretches a run reads start NonTried; the rest of the source is Outside.
  RescueMap(int64_t size, std::span<const ByteRange> stretches);

  int64_t Size() const { return size_; }
  void Mark(int64_t begin, int64_t end, SectorState state);
  // Marks the bytes of `range` that lie within `stretches`.
  void MarkWithin(ByteRange range, SectorState state, std::span<const ByteRange> stretches);
  // The first byte in [begin, end) that may not be read (of a stretch and not Finished), or end.
  int64_t ReadableUntil(int64_t begin, int64_t end) const;
  // The first run of Bad bytes that meets [begin, end), clipped to it; empty when there is none.
  ByteRange FirstBad(int64_t begin, int64_t end) const;
  // Every run, Outside ones too, in source order.
  std::vector<std::pair<ByteRange, SectorState>> Runs() const;
  // The runs not yet read, in source order.
  std::vector<std::pair<ByteRange, SectorState>> Pending() const;
  // The same as merged ranges: what could not be read, or was not.
  std::vector<ByteRange> Unreadable() const;

 private:
  mutable std::mutex mutex_;
  int64_t size_;
  std::map<int64_t, SectorState> runs_;  // each state holds from its key to the next key
};

}  // namespace korvid
