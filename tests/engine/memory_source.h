#pragma once

#include <cerrno>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "engine/source_device.h"

namespace korvid::testing {

// A source held in memory that logs every read and fails the sectors it is told to fail,
// the way a damaged disk does: a read that touches a bad sector delivers the sectors before it
// and then fails with EIO.
class MemorySource : public SourceDevice {
 public:
  explicit MemorySource(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {}

  const std::string& Path() const override { return path_; }
  int64_t Size() const override { return static_cast<int64_t>(bytes_.size()); }

  // Safe on several threads at once, as a source must be.
  ReadResult ReadAt(int64_t offset, uint8_t* buffer, size_t length) override {
    {
      std::lock_guard lock(readsMutex_);
      reads.emplace_back(offset, length);
    }
    ReadResult result;
    const int64_t end = std::min<int64_t>(offset + static_cast<int64_t>(length), Size());
    for (int64_t at = offset; at < end; ++at) {
      if (badSectors.count(at / 512) != 0) {
        result.Error = EIO;
        return result;
      }
      buffer[result.Bytes++] = bytes_[static_cast<size_t>(at)];
    }
    return result;
  }

  std::vector<uint8_t>& Bytes() { return bytes_; }

  // Offset and length of every ReadAt, in the order they began; the scan reads on several
  // threads, so its reads may come in any order.
  std::vector<std::pair<int64_t, size_t>> reads;
  std::set<int64_t> badSectors;                   // sector numbers that cannot be read

 private:
  std::vector<uint8_t> bytes_;
  std::string path_ = "memory";
  std::mutex readsMutex_;
};

// Bytes with no signature in them: a repeating ramp that never forms "00d".
inline std::vector<uint8_t> Filler(size_t size) {
  std::vector<uint8_t> bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(0x80 + i % 97);
  return bytes;
}

// Puts an AVI chunk header (id, little-endian size) at `at`.
inline void PutChunkHeader(std::vector<uint8_t>& bytes, size_t at, const char* id, uint32_t size) {
  std::memcpy(bytes.data() + at, id, 4);
  for (int i = 0; i < 4; ++i) bytes[at + 4 + i] = static_cast<uint8_t>(size >> (8 * i));
}

// Filler of `size` bytes holding, from `first` on and every `every` bytes, a chain of `chunks`
// video chunks of 1000 bytes each, header included.
inline std::vector<uint8_t> ChainedMedium(int64_t size, int64_t first, int64_t every, int chunks) {
  std::vector<uint8_t> bytes = Filler(static_cast<size_t>(size));
  for (int64_t at = first; at + 1000 * (chunks + 1) < size; at += every) {
    for (int k = 0; k < chunks; ++k) PutChunkHeader(bytes, static_cast<size_t>(at + 1000 * k), "00dc", 992);
  }
  return bytes;
}

}  // namespace korvid::testing
