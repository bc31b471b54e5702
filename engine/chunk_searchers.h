#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <span>
#include <thread>
#include <vector>

#include "fragment.h"
#include "rescue/rescue_map.h"
#include "scan_ranges.h"
#include "source_device.h"

namespace korvid {

// Appends the hits in `bytes` (at source offset `start`) that start before `searchEnd`, in
// ascending order. Called on several threads at once.
using ChunkSearch = std::function<void(std::span<const uint8_t> bytes, int64_t start, FragmentList& out,
                                       size_t searchEnd)>;

// Reads the stretches of a source chunk after chunk and searches each chunk, on as many threads
// as the processor has cores, a few chunks ahead of the caller, who takes the chunks in source
// order. The caller reads nothing itself: a read of a failing disk may take seconds, and the
// caller shows progress and answers pause and stop meanwhile. A page-cached source is read as
// fast as memory copies, and one core cannot search that fast; each thread searches the chunk
// it has just read, while the chunk is in its core's cache. A chunk's last `margin` bytes are searched by the caller, who
// has the next chunk's first bytes too: the hits there need bytes of both.
//
// This is the first pass over a failing disk, and it reads every readable area first, as GNU
// ddrescue does: a failed read is not tried again sector by sector. The rest of what it asked for
// is left for later, and the pass skips ahead, further while reads keep failing. What
// it read, left and skipped goes into the map; the bytes not read are searched as zeros.
class ChunkSearchers {
 public:
  struct Chunk {
    int64_t Position = 0;
    size_t Length = 0;
    uint64_t UnreadableBytes = 0;  // not read in this pass, failed or skipped
    bool Continues = false;  // it starts where the chunk before ended
    // Its first and its last min(Length, margin) bytes; valid until the next call of Next.
    std::span<const uint8_t> Head, Tail;
    // Its hits that start in its first Length - margin bytes (none when it is shorter).
    const FragmentList* Hits = nullptr;
  };

  // `ranges`: ascending, disjoint stretches within the source. `threads` 0: one per core.
  ChunkSearchers(SourceDevice& source, std::vector<ByteRange> ranges, int64_t chunkSize, size_t margin,
                 ChunkSearch search, RescueMap& map, unsigned threads = 0);
  ChunkSearchers(const ChunkSearchers&) = delete;
  ChunkSearchers& operator=(const ChunkSearchers&) = delete;
  // Stops the threads and waits for them.
  ~ChunkSearchers();

  // The next chunk in source order; false at the end of the stretches.
  bool Next(Chunk& chunk);

 private:
  // Chunks ready, or slots free, before the caller or the threads are woken.
  static constexpr size_t Batch = 16;
  // Chunks asked of the source ahead of the one claimed.
  static constexpr uint64_t ReadAhead = 32;

  struct Slot {
    std::vector<uint8_t> Edges;  // the chunk's Head, then its Tail
    FragmentList Hits;
    Chunk Done;
    std::exception_ptr Failure;  // what reading or searching the chunk raised
    bool Ready = false;
  };

  // The threads' loop: chunks are claimed while their slots are free.
  void Work();
  // Slots that may take a chunk, and whether the next chunk may be claimed; under the lock.
  uint64_t FreeSlots() const;
  bool Claimable() const;
  // Reads chunk `index` into `buffer` and searches it, fills its slot, then marks it ready;
  // outside the lock. Each thread reads into a buffer of its own, which stays in its core's
  // cache: a buffer that another core wrote last costs its cache lines moved over first.
  void Process(uint64_t index, std::vector<uint8_t>& buffer);
  // Tells the source that chunk `index`, if there is one, will be read soon.
  void AskFor(uint64_t index);
  // Where chunk `index` lies: its position, length and whether it continues the one before.
  void Locate(uint64_t index, Chunk& chunk) const;
  // Reads the chunk into `buffer`, skipping what the failures before it condemn; the bytes not
  // read are zeros. Returns how many those are.
  uint64_t ReadFirstPass(const Chunk& chunk, uint8_t* buffer);
  // After a read that failed at `at`, having asked up to `askedEnd`: where reading goes on.
  int64_t SkipAfterFailure(int64_t at, int64_t askedEnd);

  SourceDevice& source_;
  RescueMap& map_;
  const std::vector<ByteRange> ranges_;
  std::vector<uint64_t> firstChunk_;  // of each range, in the numbering of all chunks
  uint64_t chunks_ = 0;
  const int64_t chunkSize_;
  const size_t margin_;
  const ChunkSearch search_;
  std::vector<Slot> slots_;  // chunk i is read into slot i % size

  std::mutex mutex_;
  std::condition_variable changed_;
  uint64_t claimed_ = 0;   // chunks handed to the threads
  uint64_t taken_ = 0;     // chunks handed to the caller
  bool inUse_ = false;     // the caller holds chunk taken_ - 1
  bool cancelled_ = false;
  unsigned idleThreads_ = 0;    // threads waiting for a free slot
  uint64_t readyAhead_ = 0;     // chunks searched that the caller has not taken
  bool callerWaiting_ = false;  // the caller waits for the chunk it takes next
  // The skip after a failure: it doubles, up to mostSkip_, while the first read after a skip
  // fails too. Under the lock.
  int64_t skip_ = 0;
  int64_t mostSkip_ = 0;
  // Once a read failed, the source is told nothing ahead: a failing disk would read ahead into
  // its bad areas on its own, trying their sectors once more.
  std::atomic<bool> failed_{false};
  int64_t skipFrom_ = 0;   // the stretch the last failure skips
  int64_t skipUntil_ = 0;
  std::vector<std::thread> threads_;  // started last, once the state above exists
};

}  // namespace korvid
