#include "chunk_prefetcher.h"

#include <algorithm>

#include "sector_reader.h"

namespace korvid {
namespace {

// Tells the processor that this is a wait loop, so that a sibling thread on the same core runs
// on (x86 PAUSE); elsewhere gives up the time slice.
void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#else
  std::this_thread::yield();
#endif
}

}  // namespace

ChunkPrefetcher::ChunkPrefetcher(SourceDevice& source, std::vector<ByteRange> ranges, int64_t chunkSize,
                                 size_t headroom, size_t depth)
    : source_(source), ranges_(std::move(ranges)), chunkSize_(chunkSize), headroom_(headroom) {
  buffers_.resize(depth);
  for (size_t i = 0; i < depth; ++i) {
    buffers_[i].resize(headroom + static_cast<size_t>(chunkSize));
    free_.push_back(i);
  }
  reader_ = std::thread(&ChunkPrefetcher::ReadAll, this);
}

ChunkPrefetcher::~ChunkPrefetcher() {
  {
    std::lock_guard lock(mutex_);
    cancelled_ = true;
  }
  changed_.notify_all();
  reader_.join();
}

void ChunkPrefetcher::ReadAll() {
  int64_t previousEnd = -1;
  for (const ByteRange& range : ranges_) {
    const int64_t end = range.Offset + range.Length;
    for (int64_t position = range.Offset; position < end; position += chunkSize_) {
      const int64_t length = std::min(chunkSize_, end - position);
      if (!ReadOne(position, length, previousEnd)) return;
      previousEnd = position + length;
    }
  }
  {
    std::lock_guard lock(mutex_);
    finished_ = true;
  }
  changed_.notify_all();
}

bool ChunkPrefetcher::ReadOne(int64_t position, int64_t length, int64_t previousEnd) {
  size_t buffer;
  {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return cancelled_ || !free_.empty(); });
    if (cancelled_) return false;
    buffer = free_.front();
    free_.pop_front();
  }
  Chunk chunk;
  chunk.Position = position;
  chunk.Length = static_cast<size_t>(length);
  chunk.Data = buffers_[buffer].data() + headroom_;
  chunk.Buffer = buffer;
  chunk.Continues = position == previousEnd;
  chunk.UnreadableBytes = ReadSectors(source_, position, chunk.Data, chunk.Length, 0, chunk.Length);
  {
    std::lock_guard lock(mutex_);
    ready_.push_back(chunk);
    readyCount_.store(ready_.size(), std::memory_order_release);
  }
  changed_.notify_all();
  return true;
}

bool ChunkPrefetcher::Next(Chunk& chunk) {
  if (inUse_ != SIZE_MAX) {
    {
      std::lock_guard lock(mutex_);
      free_.push_back(inUse_);
      inUse_ = SIZE_MAX;
    }
    changed_.notify_all();
  }
  // From the page cache a chunk arrives within tens of microseconds, less than it takes to put
  // a thread to sleep and wake it on a virtual machine: wait briefly before blocking.
  for (int spin = 0; spin < 20000 && readyCount_.load(std::memory_order_acquire) == 0; ++spin) {
    CpuRelax();
  }
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [&] { return finished_ || !ready_.empty(); });
  if (ready_.empty()) return false;
  chunk = ready_.front();
  ready_.pop_front();
  readyCount_.store(ready_.size(), std::memory_order_relaxed);
  inUse_ = chunk.Buffer;
  return true;
}

}  // namespace korvid
