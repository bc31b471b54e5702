#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "scan_ranges.h"
#include "source_device.h"

namespace korvid {

// Reads stretches of a source chunk after chunk on a thread of its own, a few chunks ahead of the
// scan, so that reading and searching overlap. Each stretch is read in chunks from its start.
// Each buffer keeps `headroom` free bytes in front of its data, where the scan puts the
// unexamined tail of the chunk before.
class ChunkPrefetcher {
 public:
  struct Chunk {
    int64_t Position = 0;
    size_t Length = 0;
    uint64_t UnreadableBytes = 0;
    uint8_t* Data = nullptr;  // Length bytes, with `headroom` writable bytes before them
    size_t Buffer = 0;        // which of the buffers holds it
    bool Continues = false;   // it starts where the chunk before ended
  };

  // `ranges`: ascending, disjoint stretches within the source.
  ChunkPrefetcher(SourceDevice& source, std::vector<ByteRange> ranges, int64_t chunkSize, size_t headroom,
                  size_t depth = 4);
  ChunkPrefetcher(const ChunkPrefetcher&) = delete;
  ChunkPrefetcher& operator=(const ChunkPrefetcher&) = delete;
  // Stops the reading thread and waits for it.
  ~ChunkPrefetcher();

  // The next chunk in source order; false at the end of the source. The chunk stays valid
  // until the next call.
  bool Next(Chunk& chunk);

 private:
  void ReadAll();
  // Reads one chunk into a free buffer and queues it; false once the scan has ended.
  bool ReadOne(int64_t position, int64_t length, int64_t previousEnd);

  SourceDevice& source_;
  const std::vector<ByteRange> ranges_;
  const int64_t chunkSize_;
  const size_t headroom_;
  std::vector<std::vector<uint8_t>> buffers_;

  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<size_t> free_;      // buffers the reader may fill
  std::deque<Chunk> ready_;      // chunks read, in source order
  std::atomic<size_t> readyCount_{0};  // ready_.size(), readable without the lock
  bool finished_ = false;        // the reader has queued its last chunk
  bool cancelled_ = false;       // the scan has ended early
  size_t inUse_ = SIZE_MAX;      // buffer handed out by the last Next
  std::thread reader_;           // started last, once the state above exists
};

}  // namespace korvid
