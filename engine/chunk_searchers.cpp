#include "chunk_searchers.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <utility>

#include "sector_reader.h"

namespace korvid {

namespace {

// The skip after a failed read, as GNU ddrescue's: 64 KiB at first, doubling while reads keep
// failing, up to a thousandth of the source (at most 1 GiB).
constexpr int64_t FirstSkip = 65536;
constexpr int64_t LargestSkip = int64_t{1} << 30;

}  // namespace

ChunkSearchers::ChunkSearchers(SourceDevice& source, std::vector<ByteRange> ranges, int64_t chunkSize, size_t margin,
                               ChunkSearch search, RescueMap& map, unsigned threads)
    : source_(source), map_(map), ranges_(std::move(ranges)), chunkSize_(chunkSize), margin_(margin),
      search_(std::move(search)), skip_(FirstSkip),
      mostSkip_(std::clamp(source.Size() / 1000 / SectorSize * SectorSize, FirstSkip, LargestSkip)) {
  for (const ByteRange& range : ranges_) {
    firstChunk_.push_back(chunks_);
    chunks_ += static_cast<uint64_t>((range.Length + chunkSize_ - 1) / chunkSize_);
  }
  if (threads == 0) threads = std::clamp(std::thread::hardware_concurrency(), 1u, 16u);
  // Many chunks a thread: the threads read on while the caller takes the chunks before, and
  // the two wake each other only now and then.
  slots_.resize(std::max<size_t>(4 * Batch, 2 * Batch * size_t{threads}));
  for (uint64_t index = 0; index < ReadAhead; ++index) AskFor(index);
  for (unsigned t = 0; t < threads; ++t) threads_.emplace_back(&ChunkSearchers::Work, this);
}

ChunkSearchers::~ChunkSearchers() {
  {
    std::lock_guard lock(mutex_);
    cancelled_ = true;
  }
  changed_.notify_all();
  for (std::thread& thread : threads_) thread.join();
}

void ChunkSearchers::Locate(uint64_t index, Chunk& chunk) const {
  const size_t r = static_cast<size_t>(std::upper_bound(firstChunk_.begin(), firstChunk_.end(), index) -
                                       firstChunk_.begin()) - 1;
  const ByteRange& range = ranges_[r];
  const uint64_t within = index - firstChunk_[r];
  chunk.Position = range.Offset + static_cast<int64_t>(within) * chunkSize_;
  chunk.Length = static_cast<size_t>(std::min(chunkSize_, range.Offset + range.Length - chunk.Position));
  chunk.Continues =
      within > 0 || (r > 0 && ranges_[r - 1].Offset + ranges_[r - 1].Length == range.Offset);
}

void ChunkSearchers::AskFor(uint64_t index) {
  if (index >= chunks_ || failed_.load(std::memory_order_relaxed)) return;
  Chunk chunk;
  Locate(index, chunk);
  source_.WillRead(chunk.Position, static_cast<int64_t>(chunk.Length));
}

uint64_t ChunkSearchers::FreeSlots() const {
  // Chunk i may go into its slot once the caller is done with chunk i - slots.
  const uint64_t released = taken_ - (inUse_ ? 1 : 0);
  return released + slots_.size() - claimed_;
}

bool ChunkSearchers::Claimable() const { return claimed_ < chunks_ && FreeSlots() > 0; }

void ChunkSearchers::Work() {
  std::vector<uint8_t> buffer(static_cast<size_t>(chunkSize_));
  for (;;) {
    uint64_t index;
    {
      std::unique_lock lock(mutex_);
      while (!cancelled_ && !Claimable()) {
        if (claimed_ >= chunks_) return;
        ++idleThreads_;
        changed_.wait(lock);
        --idleThreads_;
      }
      if (cancelled_) return;
      index = claimed_++;
    }
    AskFor(index + ReadAhead);
    Process(index, buffer);
  }
}

void ChunkSearchers::Process(uint64_t index, std::vector<uint8_t>& buffer) {
  Slot& slot = slots_[index % slots_.size()];
  try {
    Chunk& chunk = slot.Done;
    Locate(index, chunk);
    chunk.UnreadableBytes = ReadFirstPass(chunk, buffer.data());
    slot.Hits.clear();
    search_(std::span<const uint8_t>(buffer.data(), chunk.Length), chunk.Position, slot.Hits,
            chunk.Length > margin_ ? chunk.Length - margin_ : 0);
    const size_t edge = std::min(chunk.Length, margin_);
    slot.Edges.assign(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(edge));
    slot.Edges.insert(slot.Edges.end(), buffer.begin() + static_cast<std::ptrdiff_t>(chunk.Length - edge),
                      buffer.begin() + static_cast<std::ptrdiff_t>(chunk.Length));
  } catch (...) {
    slot.Failure = std::current_exception();
  }
  bool wake;
  {
    std::lock_guard lock(mutex_);
    slot.Ready = true;
    ++readyAhead_;
    // Waking a thread costs more than searching a chunk takes: the waiting caller is woken once
    // a batch is ready, when the threads run out of slots, and at the end; else it looks again
    // by itself a moment later.
    wake = callerWaiting_ && (readyAhead_ >= Batch || !Claimable());
  }
  if (wake) changed_.notify_all();
}

uint64_t ChunkSearchers::ReadFirstPass(const Chunk& chunk, uint8_t* buffer) {
  const int64_t end = chunk.Position + static_cast<int64_t>(chunk.Length);
  int64_t at = chunk.Position;
  {
    // A chunk that starts in the stretch the last failure skips reads from its end on.
    std::lock_guard lock(mutex_);
    if (chunk.Position >= skipFrom_ && chunk.Position < skipUntil_) at = std::min(end, skipUntil_);
  }
  std::fill(buffer, buffer + (at - chunk.Position), uint8_t{0});
  uint64_t missing = static_cast<uint64_t>(at - chunk.Position);
  while (at < end) {
    // Once the disk has failed, in requests of GNU ddrescue's size: a failed one costs no more.
    int64_t ask = failed_.load(std::memory_order_relaxed) ? std::min(end - at, FailingDiskReadBytes) : end - at;
    // What is known bad already (imaging could not read it) is not tried.
    if (const ByteRange bad = map_.FirstBad(at, at + ask); bad.Length > 0) {
      if (bad.Offset == at) {
        std::fill(buffer + (at - chunk.Position), buffer + (at + bad.Length - chunk.Position), uint8_t{0});
        missing += static_cast<uint64_t>(bad.Length);
        at += bad.Length;
        continue;
      }
      ask = bad.Offset - at;
    }
    const size_t length = static_cast<size_t>(ask);
    const ReadResult r = source_.ReadAt(at, buffer + (at - chunk.Position), length);
    const size_t got = r.Bytes >= length ? length : r.Bytes / SectorSize * SectorSize;
    map_.Mark(at, at + static_cast<int64_t>(got), SectorState::Finished);
    at += static_cast<int64_t>(got);
    if (got == length) continue;
    // The rest of what was asked for failed: every sector of it was tried.
    const int64_t askedEnd = at - static_cast<int64_t>(got) + ask;
    const int64_t next = std::min(end, SkipAfterFailure(at, askedEnd));
    std::fill(buffer + (at - chunk.Position), buffer + (next - chunk.Position), uint8_t{0});
    missing += static_cast<uint64_t>(next - at);
    at = next;
  }
  return missing;
}

int64_t ChunkSearchers::SkipAfterFailure(int64_t at, int64_t askedEnd) {
  map_.Mark(at, askedEnd, SectorState::NonTrimmed);
  failed_.store(true, std::memory_order_relaxed);
  std::lock_guard lock(mutex_);
  // The first read after the last skip failed too: the bad area goes on, and so does the skip.
  skip_ = at == skipUntil_ ? std::min(2 * skip_, mostSkip_) : FirstSkip;
  skipFrom_ = askedEnd;
  skipUntil_ = std::min(source_.Size(), askedEnd + skip_);
  return skipUntil_;
}

bool ChunkSearchers::Next(Chunk& chunk) {
  std::unique_lock lock(mutex_);
  if (inUse_) {
    inUse_ = false;
    slots_[(taken_ - 1) % slots_.size()].Ready = false;
  }
  if (taken_ >= chunks_) return false;
  Slot& slot = slots_[taken_ % slots_.size()];
  while (!slot.Ready) {
    // The idle threads go on once a batch of slots is free, or now that the caller waits.
    if (idleThreads_ > 0 && Claimable()) changed_.notify_all();
    callerWaiting_ = true;
    changed_.wait_for(lock, std::chrono::milliseconds(2));
    callerWaiting_ = false;
  }
  if (idleThreads_ > 0 && claimed_ < chunks_ && FreeSlots() >= Batch) changed_.notify_all();
  --readyAhead_;
  ++taken_;
  inUse_ = true;
  if (slot.Failure) std::rethrow_exception(std::exchange(slot.Failure, nullptr));
  chunk = slot.Done;
  const size_t edge = slot.Edges.size() / 2;
  chunk.Head = std::span<const uint8_t>(slot.Edges.data(), edge);
  chunk.Tail = std::span<const uint8_t>(slot.Edges.data() + edge, edge);
  chunk.Hits = &slot.Hits;
  return true;
}

}  // namespace korvid
