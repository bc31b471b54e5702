#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace korvid {

// What one positioned read delivered.
struct ReadResult {
  size_t Bytes = 0;  // bytes delivered from the requested offset on
  int Error = 0;     // errno of the failure that stopped the read; 0 when it stopped at end of data
};

// A source opened read-only: a disk, a volume, an image file, or a buffer in tests.
class SourceDevice {
 public:
  virtual ~SourceDevice() = default;

  // The path the source was opened from.
  virtual const std::string& Path() const = 0;
  // The exact length in bytes.
  virtual int64_t Size() const = 0;
  // Reads up to `length` bytes at `offset`. Delivers fewer only at end of data or on a failure,
  // which Error then names. Thread-safe for disjoint calls (positioned reads).
  virtual ReadResult ReadAt(int64_t offset, uint8_t* buffer, size_t length) = 0;
  // Tells the source that these bytes will be read soon, so that a disk may start on them while
  // earlier ones are read: reads spread over several threads do not look sequential to the
  // system's own read-ahead. Errors are not reported; the read itself meets them.
  virtual void WillRead(int64_t /*offset*/, int64_t /*length*/) {}
};

}  // namespace korvid
