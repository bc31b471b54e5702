#include "engine/sector_reader.h"

#include <gtest/gtest.h>

#include "engine/memory_source.h"

namespace korvid {
namespace {

using testing::Filler;
using testing::MemorySource;

std::vector<uint8_t> Slice(const std::vector<uint8_t>& bytes, size_t from, size_t count) {
  return {bytes.begin() + static_cast<long>(from), bytes.begin() + static_cast<long>(from + count)};
}

TEST(SectorArithmetic, BaseOffsetAndSpan) {
  EXPECT_EQ(SectorOffset(1000), 488);
  EXPECT_EQ(SectorBase(1000), 512);
  EXPECT_EQ(SectorSpan(100, 1000), 1024);
  EXPECT_EQ(SectorSpan(262144, 0), 262656);
  EXPECT_EQ(SectorSpan(512, 512), 1024);  // a range ending on a boundary gets one more sector
  EXPECT_EQ(SectorSpan(0, 700), 512);
  EXPECT_EQ(SectorBase(5'000'000'000'123), 5'000'000'000'000);
}

struct AlignedCase {
  int64_t position;
  int64_t count;
  int64_t readOffset;
  size_t readLength;
};

class ReadAlignedCase : public ::testing::TestWithParam<AlignedCase> {};

TEST_P(ReadAlignedCase, OneWholeSectorReadDeliversJustTheRange) {
  const AlignedCase c = GetParam();
  MemorySource source(Filler(400000));
  SectorReader reader(source);
  std::vector<uint8_t> dest = {1, 2, 3};
  EXPECT_EQ(reader.ReadAligned(c.count, dest, c.position), c.count);
  ASSERT_EQ(source.reads.size(), 1u);
  EXPECT_EQ(source.reads[0].first, c.readOffset);
  EXPECT_EQ(source.reads[0].second, c.readLength);
  EXPECT_EQ(dest, Slice(source.Bytes(), static_cast<size_t>(c.position), static_cast<size_t>(c.count)));
  EXPECT_EQ(reader.UnreadableBytes(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Examples, ReadAlignedCase,
                         ::testing::Values(AlignedCase{1000, 100, 512, 1024}, AlignedCase{0, 262144, 0, 262656},
                                           AlignedCase{512, 512, 512, 1024}, AlignedCase{700, 0, 512, 512},
                                           AlignedCase{777, 262144, 512, 262656}));

TEST(ReadAligned, RangeNearTheEndOfAnOddSizedImageHoldsTheRealBytes) {
  MemorySource source(Filler(10000));  // no multiple of 512
  SectorReader reader(source);
  std::vector<uint8_t> dest;
  reader.ReadAligned(90, dest, 9900);
  EXPECT_EQ(dest, Slice(source.Bytes(), 9900, 90));
  EXPECT_EQ(reader.UnreadableBytes(), 0u);  // the short read is the end of data, not damage
}

TEST(ReadAligned, UnreadableSectorIsZeroAndTheRestStillArrives) {
  MemorySource source(Filler(8192));
  source.badSectors = {3};  // bytes 1536..2047
  SectorReader reader(source);
  std::vector<uint8_t> dest;
  reader.ReadAligned(3000, dest, 1000);  // covers sectors 1..7

  std::vector<uint8_t> expected = Slice(source.Bytes(), 1000, 3000);
  std::fill(expected.begin() + (1536 - 1000), expected.begin() + (2048 - 1000), 0);
  EXPECT_EQ(dest, expected);
  EXPECT_EQ(reader.UnreadableBytes(), 512u);
}

TEST(ReadAligned, UnreadableBytesCountOnlyTheRequestedRange) {
  MemorySource source(Filler(4096));
  source.badSectors = {0, 2};
  SectorReader reader(source);
  std::vector<uint8_t> dest;
  reader.ReadAligned(100, dest, 412);  // bytes 412..511 of sector 0; span reaches into sector 1
  EXPECT_EQ(reader.UnreadableBytes(), 100u);
  EXPECT_EQ(dest, std::vector<uint8_t>(100, 0));
  reader.ReadAligned(512, dest, 512);  // sector 1, span includes bad sector 2 beyond the range
  EXPECT_EQ(reader.UnreadableBytes(), 100u);
  EXPECT_EQ(dest, Slice(source.Bytes(), 512, 512));
}

TEST(ReadSectors, WholeFailureIsRescuedSectorBySector) {
  MemorySource source(Filler(262144 * 2));
  source.badSectors = {600, 601};
  std::vector<uint8_t> buffer(262144);
  const uint64_t unreadable = ReadSectors(source, 262144, buffer.data(), buffer.size(), 0, buffer.size());
  EXPECT_EQ(unreadable, 1024u);
  // One whole read that fails at sector 600, then single sectors from there on.
  EXPECT_EQ(source.reads.front().second, 262144u);
  EXPECT_EQ(source.reads.size(), 1u + (1024 - 600));  // sectors 600..1023 one by one
  for (size_t i = 0; i < buffer.size(); ++i) {
    const size_t sector = (262144 + i) / 512;
    const uint8_t expected = sector == 600 || sector == 601 ? 0 : source.Bytes()[262144 + i];
    ASSERT_EQ(buffer[i], expected) << "at " << i;
  }
}

}  // namespace
}  // namespace korvid
