// Walking a deep chain on the source gives the chain the scan's records give: the writer takes a
// recording's chunks from there.
#include <gtest/gtest.h>

#include <random>

#include "engine/avi/chain_finder.h"
#include "engine/avi/member_walk.h"
#include "engine/avi/movi_chunks.h"
#include "engine/memory_source.h"
#include "engine/rescue/mapped_source.h"
#include "engine/rescue/rescue_map.h"
#include "engine/sector_reader.h"

namespace korvid {
namespace {

struct Quiet : RunObserver {};

constexpr unsigned DeclaredStreams = 2;

// A medium of filler holding chains of movi chunks at random places, some of them over each
// other: lists, odd sizes with and without their pad byte, chance headers inside frames, chunks
// of a stream no sample declares, and chains that run into filler.
std::vector<uint8_t> ChainsMedium(uint32_t seed) {
  std::mt19937 random(seed);
  std::vector<uint8_t> bytes = testing::Filler(1 << 20);
  const char* ids[] = {"00dc", "01wb", "00db", "JUNK", "ix00", "02dc"};
  for (int chain = 0; chain < 60; ++chain) {
    size_t at = random() % (bytes.size() - 80000);
    const bool padless = random() % 3 == 0;
    if (random() % 4 == 0) {
      testing::PutChunkHeader(bytes, at, "LIST", 100000);
      std::memcpy(bytes.data() + at + 8, random() % 2 ? "movi" : "rec ", 4);
      at += 12;
    }
    const int chunks = 2 + static_cast<int>(random() % 30);
    for (int k = 0; k < chunks; ++k) {
      const uint32_t size = random() % 2500;
      testing::PutChunkHeader(bytes, at, ids[random() % 6], size);
      // A chance header inside a frame's data.
      if (size > 40 && random() % 5 == 0) testing::PutChunkHeader(bytes, at + 8 + random() % (size - 16), "00dc", random() % 3000);
      at += 8 + size + (padless ? 0 : size & 1u);
    }
  }
  return bytes;
}

// Checks that every record's chain, walked on `source` as the scan's records of `stretches`
// give it, is the chain the records give.
void ExpectSameChains(SourceDevice& source, const std::vector<uint8_t>& seen, const std::vector<ByteRange>& stretches) {
  FragmentList records;
  for (const ByteRange& s : stretches) {
    SearchMoviChunks(std::span(seen).subspan(static_cast<size_t>(s.Offset), static_cast<size_t>(s.Length)), s.Offset,
                     static_cast<int64_t>(seen.size()), DeclaredStreams, records);
  }
  ASSERT_GT(records.size(), 300u);
  Quiet quiet;
  ChainFinder finder(records, true, quiet);
  MemberWalk walk(source, stretches, DeclaredStreams);
  size_t longer = 0;
  for (size_t r = 0; r < records.size(); ++r) {
    const std::vector<Fragment> want(finder.DeepChainFrom(r).begin(), finder.DeepChainFrom(r).end());
    const std::span<const Fragment> got = walk.Walk(records[r].Position, SIZE_MAX, source.Size());
    ASSERT_EQ(got.size(), want.size()) << "the chain from " << records[r].Position;
    for (size_t m = 0; m < want.size(); ++m) {
      ASSERT_EQ(got[m].Position, want[m].Position) << "member " << m << " of the chain from " << records[r].Position;
      ASSERT_EQ(got[m].Length, want[m].Length);
      ASSERT_EQ(got[m].Id, want[m].Id);
    }
    longer += want.size() > 5;
    // A piece asks for its first members only.
    EXPECT_EQ(walk.Walk(records[r].Position, 3, MemberEnd(want.back())).size(), std::min<size_t>(3, want.size()));
  }
  EXPECT_GT(longer, 30u);
}

TEST(MemberWalk, WalksEveryChainAsTheScansRecordsDoOverTheWholeSource) {
  for (uint32_t seed : {1u, 2u, 3u}) {
    testing::MemorySource source(ChainsMedium(seed));
    ExpectSameChains(source, source.Bytes(), {{0, source.Size()}});
  }
}

TEST(MemberWalk, ChunksOutsideTheSearchedStretchesOrInUnreadableSectorsAreNoMembers) {
  testing::MemorySource device(ChainsMedium(4));
  const int64_t size = device.Size();
  // The free space: stretches of whole sectors, a chunk header now and then across an end.
  std::vector<ByteRange> stretches;
  std::mt19937 random(9);
  for (int64_t at = 0; at < size;) {
    const int64_t length = std::min<int64_t>(size - at, SectorSize * (1 + random() % 200));
    if (random() % 3 != 0) stretches.push_back({at, length});
    at += length + SectorSize * (1 + random() % 20);
  }
  RescueMap map(size, stretches);
  for (const ByteRange& s : stretches) map.Mark(s.Offset, s.Offset + s.Length, SectorState::Finished);
  // Sectors that failed: the scan saw zeros there, and the walk must not ask the device again.
  std::vector<uint8_t> seen = device.Bytes();
  for (int k = 0; k < 60; ++k) {
    const int64_t sector = static_cast<int64_t>(random() % static_cast<uint64_t>(size / SectorSize));
    device.badSectors.insert(sector);
    map.Mark(sector * SectorSize, (sector + 1) * SectorSize, SectorState::Bad);
    std::fill_n(seen.begin() + sector * SectorSize, SectorSize, uint8_t{0});
  }
  MappedSource mapped(device, map);
  device.reads.clear();
  ExpectSameChains(mapped, seen, stretches);
  for (const auto& [offset, length] : device.reads) {
    bool within = false;
    for (const ByteRange& s : stretches) within |= offset >= s.Offset && offset + static_cast<int64_t>(length) <= s.Offset + s.Length;
    ASSERT_TRUE(within) << "read of " << length << " bytes at " << offset << " outside the stretches searched";
    for (int64_t sector = offset / SectorSize; sector * SectorSize < offset + static_cast<int64_t>(length); ++sector) {
      ASSERT_EQ(device.badSectors.count(sector), 0u) << "bad sector " << sector << " read again";
    }
  }
}

TEST(MemberWalk, WhatTheWalksOfARecordingReadServesItsCopyWithoutReadingTheDiskAgain) {
  testing::MemorySource device(ChainsMedium(5));
  const int64_t size = device.Size();
  FragmentList records;
  SearchMoviChunks(device.Bytes(), 0, size, DeclaredStreams, records);
  MemberWalk walk(device, {}, DeclaredStreams);
  // The stretches of some chains; a sector in the middle of the longest cannot be read.
  std::vector<ByteRange> chains;
  for (size_t r = 0; r < records.size(); r += 7) {
    const std::span<const Fragment> chain = walk.Walk(records[r].Position, SIZE_MAX, size);
    chains.push_back({SectorBase(chain.front().Position), std::min(size, MemberEnd(chain.back())) - SectorBase(chain.front().Position)});
  }
  const ByteRange longest = *std::max_element(chains.begin(), chains.end(), [](const ByteRange& a, const ByteRange& b) { return a.Length < b.Length; });
  ASSERT_GT(longest.Length, 4 * SectorSize);
  const int64_t bad = (longest.Offset + longest.Length / 2) / SectorSize;
  device.badSectors = {bad};

  walk.Keep(true);
  for (size_t r = 0, c = 0; r < records.size(); r += 7, ++c) walk.Walk(records[r].Position, SIZE_MAX, chains[c].Offset + chains[c].Length);
  std::vector<uint8_t> bytes;
  size_t withBad = 0, served = 0;
  for (const ByteRange& chain : chains) {
    device.reads.clear();
    bytes.assign(static_cast<size_t>(chain.Length), 0xEE);
    const uint64_t unreadable = ReadSectors(walk.Kept(), chain.Offset, bytes.data(), bytes.size(), 0, bytes.size());
    std::vector<uint8_t> want(device.Bytes().begin() + chain.Offset, device.Bytes().begin() + chain.Offset + chain.Length);
    const bool holdsBad = bad * SectorSize >= chain.Offset && bad * SectorSize < chain.Offset + chain.Length;
    if (holdsBad) std::fill_n(want.begin() + (bad * SectorSize - chain.Offset), SectorSize, uint8_t{0});
    ASSERT_EQ(bytes, want) << "the chain at " << chain.Offset;
    if (holdsBad) {
      // Not kept: the copy reads it from the disk, and so counts the sector it cannot read.
      ++withBad;
      EXPECT_EQ(unreadable, static_cast<uint64_t>(SectorSize));
    } else {
      // Those read with the unreadable sector in one block are read again too.
      served += device.reads.empty();
    }
  }
  EXPECT_GE(withBad, 1u);
  EXPECT_GE(served, (chains.size() - withBad) * 9 / 10) << "the copy read the disk again";
  walk.Keep(false);
  device.reads.clear();
  ReadSectors(walk.Kept(), chains.front().Offset, bytes.data(), 512, 0, 512);
  EXPECT_EQ(device.reads.size(), 1u) << "what is let go is read from the disk";
}

TEST(MemberWalk, ReadsAChainsBytesAlongButNotWhatLiesBetweenTwoChains) {
  // Two chains of twenty 2 KB chunks, 300 KB apart: the pieces of one recording among others.
  std::vector<uint8_t> bytes = testing::Filler(1 << 20);
  for (const size_t start : {size_t{10000}, size_t{350000}}) {
    for (size_t k = 0; k < 20; ++k) testing::PutChunkHeader(bytes, start + 2008 * k, "00dc", 2000);
  }
  testing::MemorySource device(bytes);
  MemberWalk walk(device, {}, DeclaredStreams);
  walk.Keep(true);
  for (const int64_t start : {10000, 350000}) {
    ASSERT_EQ(walk.Walk(start, 20, start + 20 * 2008).size(), 20u);
  }
  uint64_t read = 0;
  for (const auto& [offset, length] : device.reads) read += length;
  EXPECT_LE(read, 2 * (20 * 2008 + 2 * SectorSize)) << "the walks read what lies between the chains";
  // What they read serves the copy of both.
  device.reads.clear();
  std::vector<uint8_t> copy(20 * 2008);
  for (const int64_t start : {10000, 350000}) {
    ASSERT_EQ(walk.Kept().ReadAt(start, copy.data(), copy.size()).Bytes, copy.size());
    EXPECT_TRUE(std::equal(copy.begin(), copy.end(), bytes.begin() + start));
  }
  EXPECT_TRUE(device.reads.empty());
}

}  // namespace
}  // namespace korvid
