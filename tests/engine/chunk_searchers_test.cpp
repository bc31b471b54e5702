#include "engine/chunk_searchers.h"

#include <gtest/gtest.h>

#include <random>
#include <stdexcept>

#include "engine/memory_source.h"
#include "engine/avi/movi_chunks.h"

namespace korvid {
namespace {

using testing::MemorySource;

struct Delivered {
  std::vector<std::tuple<int64_t, size_t, bool>> Chunks;  // position, length, continues
  std::vector<int64_t> Hits;
  std::vector<uint8_t> Edges;
};

// Every chunk the searchers hand over, with its hits and its first and last bytes.
Delivered Drain(MemorySource& source, const std::vector<ByteRange>& ranges, unsigned threads) {
  RescueMap map(source.Size(), ranges);
  ChunkSearchers searchers(source, ranges, 1024, MoviChunkMargin,
                           [&](std::span<const uint8_t> bytes, int64_t start, FragmentList& out, size_t end) {
                             SearchMoviChunks(bytes, start, source.Size(), MaxStreams, out, end);
                           },
                           map, threads);
  Delivered d;
  ChunkSearchers::Chunk chunk;
  while (searchers.Next(chunk)) {
    d.Chunks.emplace_back(chunk.Position, chunk.Length, chunk.Continues);
    for (const Fragment& f : *chunk.Hits) d.Hits.push_back(f.Position);
    d.Edges.insert(d.Edges.end(), chunk.Head.begin(), chunk.Head.end());
    d.Edges.insert(d.Edges.end(), chunk.Tail.begin(), chunk.Tail.end());
  }
  return d;
}

TEST(ChunkSearchers, HandOverTheChunksInSourceOrderWithTheHitsOfOneThread) {
  std::mt19937 random(5);
  std::vector<uint8_t> bytes(200'000);
  for (uint8_t& b : bytes) b = static_cast<uint8_t>(random());
  // Chunk ids with small sizes all over, many of them across the 1 KiB borders.
  for (size_t at = 100; at + 8 < bytes.size(); at += 301) testing::PutChunkHeader(bytes, at, "00dc", 64);
  MemorySource source(bytes);
  const std::vector<ByteRange> ranges = {{0, 50'000}, {50'000, 3'000}, {60'000, 100'005}, {170'000, 5}};

  const Delivered one = Drain(source, ranges, 1);
  ASSERT_EQ(one.Chunks.size(), 49u + 3 + 98 + 1);
  EXPECT_EQ(one.Chunks.front(), std::make_tuple(int64_t{0}, size_t{1024}, false));
  EXPECT_EQ(one.Chunks[48], std::make_tuple(int64_t{49'152}, size_t{848}, true));
  EXPECT_EQ(one.Chunks[49], std::make_tuple(int64_t{50'000}, size_t{1024}, true));  // touches the range before
  EXPECT_EQ(one.Chunks[52], std::make_tuple(int64_t{60'000}, size_t{1024}, false));
  EXPECT_EQ(one.Chunks.back(), std::make_tuple(int64_t{170'000}, size_t{5}, false));
  EXPECT_TRUE(std::is_sorted(one.Hits.begin(), one.Hits.end()));
  EXPECT_GT(one.Hits.size(), 400u);

  for (unsigned threads : {2u, 3u, 8u}) {
    const Delivered many = Drain(source, ranges, threads);
    EXPECT_EQ(many.Chunks, one.Chunks) << threads << " threads";
    EXPECT_EQ(many.Hits, one.Hits) << threads << " threads";
    EXPECT_EQ(many.Edges, one.Edges) << threads << " threads";
  }
}

TEST(ChunkSearchers, AFailedSearchReachesTheCallerAtItsChunkAfterTheChunksBefore) {
  MemorySource source(std::vector<uint8_t>(20 * 1024, 0));
  const std::vector<ByteRange> all = {{0, 20 * 1024}};
  RescueMap map(source.Size(), all);
  ChunkSearchers searchers(source, all, 1024, MoviChunkMargin,
                           [](std::span<const uint8_t>, int64_t start, FragmentList&, size_t) {
                             if (start == 7 * 1024) throw std::runtime_error("search failed");
                           },
                           map, 4);
  ChunkSearchers::Chunk chunk;
  for (int i = 0; i < 7; ++i) {
    ASSERT_TRUE(searchers.Next(chunk));
    EXPECT_EQ(chunk.Position, i * 1024);
  }
  EXPECT_THROW(searchers.Next(chunk), std::runtime_error);
  // The chunks after it still come.
  ASSERT_TRUE(searchers.Next(chunk));
  EXPECT_EQ(chunk.Position, 8 * 1024);
}

}  // namespace
}  // namespace korvid
