#include "engine/rescue/come_back.h"

#include <algorithm>
#include <chrono>
#include <vector>

#include "engine/sector_reader.h"

namespace korvid {
namespace {

// Skipped stretches are read in blocks of FailingDiskReadBytes.
class Retry {
 public:
  Retry(SourceDevice& source, RescueMap& map, const RetryLimits& limits, RunObserver& observer,
        const std::function<void(int64_t, std::span<const uint8_t>)>& fresh, const std::function<void(uint64_t)>& tried)
      : source_(source), map_(map), limits_(limits), observer_(observer), fresh_(fresh), triedHook_(tried),
        start_(std::chrono::steady_clock::now()) {
    for (const auto& [range, state] : map_.Pending()) total_ += static_cast<uint64_t>(range.Length);
  }

  void Run() {
    if (total_ == 0) return;
    for (unsigned pass = 1; pass <= limits_.Passes && !Spent(); ++pass) {
      if (pass == 1) {
        Each(SectorState::NonTried, [this](ByteRange r) { ReadBlocks(r); });
        Each(SectorState::NonTrimmed, [this](ByteRange r) { Trim(r); });
        Each(SectorState::NonScraped, [this](ByteRange r) { Scrape(r); });
      } else {
        Each(SectorState::Bad, [this](ByteRange r) { Scrape(r); });
      }
    }
  }

 private:
  // Whether the time allowed has run out or a stop was asked for.
  bool Spent() {
    if (spent_) return true;
    observer_.Yield();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    spent_ = observer_.StopRequested() || seconds >= limits_.MaxSeconds;
    return spent_;
  }

  template <typename Work>
  void Each(SectorState state, Work&& work) {
    for (const auto& [range, s] : map_.Pending()) {
      if (Spent()) return;
      if (s == state) work(range);
    }
  }

  // Reads [offset, offset + length); the bytes read are Finished and handed on. Returns how
  // many whole sectors were read before a failure, or the whole length. The tries so far are
  // reported first, when the last one's failure is marked in the map too.
  size_t Read(int64_t offset, size_t length) {
    if (tried_ > 0) triedHook_(tried_);
    buffer_.resize(length);
    const ReadResult r = source_.ReadAt(offset, buffer_.data(), length);
    size_t got = std::min(r.Bytes, length);
    if (got < length) got = got / SectorSize * SectorSize;
    if (got > 0) {
      map_.Mark(offset, offset + static_cast<int64_t>(got), SectorState::Finished);
      fresh_(offset, std::span<const uint8_t>(buffer_.data(), got));
    }
    tried_ += length;
    observer_.RetryProgress(std::min(tried_, total_), total_);
    return got;
  }

  // A skipped stretch, block after block; where a block fails, its rest (every sector of which
  // the read tried) is left to trimming.
  void ReadBlocks(ByteRange range) {
    const int64_t end = range.Offset + range.Length;
    for (int64_t at = range.Offset; at < end && !Spent();) {
      const int64_t blockEnd = std::min(end, at + FailingDiskReadBytes);
      const size_t got = Read(at, static_cast<size_t>(blockEnd - at));
      if (at + static_cast<int64_t>(got) < blockEnd) map_.Mark(at + static_cast<int64_t>(got), blockEnd, SectorState::NonTrimmed);
      at = blockEnd;
    }
  }

  // One sector at `at` of a stretch ending at `end`: read, or marked bad.
  bool Sector(int64_t at, int64_t end) {
    const size_t length = static_cast<size_t>(std::min(SectorSize, end - at));
    if (Read(at, length) == length) return true;
    map_.Mark(at, at + static_cast<int64_t>(length), SectorState::Bad);
    return false;
  }

  void Trim(ByteRange range) {
    int64_t from = range.Offset, to = range.Offset + range.Length;
    while (from < to && !Spent() && Sector(from, to)) from += SectorSize;
    if (from >= to || spent_) return;
    from += SectorSize;  // the bad sector found
    while (to > from && !Spent()) {
      const int64_t sector = std::max(from, (to - 1) / SectorSize * SectorSize);
      if (!Sector(sector, to)) {
        to = sector;
        break;
      }
      to = sector;
    }
    if (to > from) map_.Mark(from, to, SectorState::NonScraped);
  }

  void Scrape(ByteRange range) {
    const int64_t end = range.Offset + range.Length;
    for (int64_t at = range.Offset; at < end && !Spent(); at += SectorSize) Sector(at, end);
  }

  SourceDevice& source_;
  RescueMap& map_;
  const RetryLimits& limits_;
  RunObserver& observer_;
  const std::function<void(int64_t, std::span<const uint8_t>)>& fresh_;
  const std::function<void(uint64_t)>& triedHook_;
  const std::chrono::steady_clock::time_point start_;
  std::vector<uint8_t> buffer_;
  uint64_t total_ = 0;
  uint64_t tried_ = 0;
  bool spent_ = false;
};

}  // namespace

void ComeBack(SourceDevice& source, RescueMap& map, const RetryLimits& limits, RunObserver& observer,
              const std::function<void(int64_t, std::span<const uint8_t>)>& fresh,
              const std::function<void(uint64_t)>& tried) {
  if (limits.Passes == 0 || limits.MaxSeconds <= 0) return;
  Retry(source, map, limits, observer, fresh, tried).Run();
}

}  // namespace korvid
