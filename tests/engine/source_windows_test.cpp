#include "engine/reassembly/source_windows.h"

#include <gtest/gtest.h>

#include <random>

#include "engine/memory_source.h"

namespace korvid {
namespace {

using testing::MemorySource;

// What `extents` hold from `offset` on, `count` bytes, taken straight from the bytes.
std::vector<uint8_t> Expected(const std::vector<uint8_t>& bytes, const std::vector<ByteRange>& extents,
                              uint64_t offset, size_t count) {
  std::vector<uint8_t> all;
  for (const ByteRange& e : extents) {
    for (int64_t at = e.Offset; at < e.Offset + e.Length; ++at) {
      all.push_back(at < static_cast<int64_t>(bytes.size()) ? bytes[static_cast<size_t>(at)] : 0);
    }
  }
  const size_t from = std::min<size_t>(offset, all.size());
  return {all.begin() + static_cast<std::ptrdiff_t>(from),
          all.begin() + static_cast<std::ptrdiff_t>(std::min(all.size(), from + count))};
}

TEST(SourceWindows, ReadsWhatTheExtentsHoldWhateverTheWindowsHeldBefore) {
  std::mt19937 random(3);
  // Many more windows' worth of bytes than are kept, ending inside a window.
  std::vector<uint8_t> bytes(3 * SourceWindows::Windows * SourceWindows::WindowBytes + 777);
  for (uint8_t& b : bytes) b = static_cast<uint8_t>(random());
  MemorySource source(bytes);
  SourceWindows windows(source);
  std::vector<uint8_t> out;
  const auto size = static_cast<int64_t>(bytes.size());
  for (int trial = 0; trial < 2000; ++trial) {
    std::vector<ByteRange> extents;
    for (int e = 0; e < 1 + trial % 3; ++e) {
      const int64_t at = static_cast<int64_t>(random() % static_cast<uint64_t>(size));
      extents.push_back({at, std::min<int64_t>(size - at, 1 + static_cast<int64_t>(random() % 40'000))});
    }
    const uint64_t offset = random() % 100;
    const size_t count = random() % 60'000;
    windows.Read(extents, offset, count, out);
    ASSERT_EQ(out, Expected(bytes, extents, offset, count)) << "trial " << trial;
  }
}

TEST(SourceWindows, UnreadableSectorsReadAsZerosAndTheRestArrives) {
  std::vector<uint8_t> bytes(100'000, 0x5A);
  MemorySource source(bytes);
  source.badSectors = {20};  // bytes 10240..10751
  SourceWindows windows(source);
  std::vector<uint8_t> out;
  const std::vector<ByteRange> extents = {{10'000, 1'000}};
  windows.Read(extents, 0, 1'000, out);
  ASSERT_EQ(out.size(), 1'000u);
  EXPECT_EQ(out[239], 0x5A);
  EXPECT_EQ(out[240], 0);
  EXPECT_EQ(out[751], 0);
  EXPECT_EQ(out[752], 0x5A);
}

}  // namespace
}  // namespace korvid
