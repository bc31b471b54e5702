#include "engine/signatures.h"

#include <gtest/gtest.h>

#include <vector>

#include "engine/memory_source.h"

namespace korvid {
namespace {

using testing::Filler;
using testing::PutChunkHeader;

std::vector<Fragment> Search(const std::vector<std::string>& texts, const std::vector<uint8_t>& bytes,
                             int64_t start, size_t searchEnd = SIZE_MAX) {
  FragmentList list;
  SearchChunk(PatternList(texts), bytes, start, list, searchEnd);
  return {list.begin(), list.end()};
}

void PutBytes(std::vector<uint8_t>& bytes, size_t at, std::initializer_list<uint8_t> values) {
  std::copy(values.begin(), values.end(), bytes.begin() + static_cast<long>(at));
}

// Every case runs at the chunk's start and shifted inside it: the hits must move with the shift.
class ShiftedSearch : public ::testing::TestWithParam<size_t> {
 protected:
  // `bytes` placed `GetParam()` bytes into a larger chunk of filler.
  std::vector<Fragment> Run(const std::vector<std::string>& texts, const std::vector<uint8_t>& bytes,
                            int64_t start) {
    std::vector<uint8_t> chunk = Filler(GetParam());
    chunk.insert(chunk.end(), bytes.begin(), bytes.end());
    std::vector<Fragment> found = Search(texts, chunk, start);
    for (Fragment& f : found) f.Position -= static_cast<int64_t>(GetParam());
    return found;
  }
};

TEST_P(ShiftedSearch, VideoChunkGivesPositionAndLengthWithHeader) {
  std::vector<uint8_t> bytes = Filler(200);
  PutBytes(bytes, 100, {0x30, 0x30, 0x64, 0x63, 0x00, 0x10, 0x00, 0x00});
  const auto found = Run(AviChunkPatterns, bytes, 1048576);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].Position, 1048676);
  EXPECT_EQ(found[0].Length, 4104u);
}

TEST_P(ShiftedSearch, ZeroSizeWordGivesNoRecord) {
  std::vector<uint8_t> bytes = Filler(200);
  PutBytes(bytes, 100, {0x30, 0x30, 0x64, 0x63, 0, 0, 0, 0});
  EXPECT_TRUE(Run(AviChunkPatterns, bytes, 0).empty());
}

TEST_P(ShiftedSearch, RecordsFollowPatternOrderThenSortByPosition) {
  std::vector<uint8_t> bytes = Filler(600);
  PutChunkHeader(bytes, 500, "00db", 7);
  PutChunkHeader(bytes, 20, "00dc", 9);
  auto found = Run(AviChunkPatterns, bytes, 0);
  ASSERT_EQ(found.size(), 2u);
  EXPECT_EQ(found[0].Position, 500);
  EXPECT_EQ(found[1].Position, 20);
  FragmentList list;
  for (const Fragment& f : found) list.push_back(f);
  SortFragments(list);
  EXPECT_EQ(list[0].Position, 20);
  EXPECT_EQ(list[0].Length, 17u);
  EXPECT_EQ(list[1].Position, 500);
}

TEST_P(ShiftedSearch, MxfKeyMatchesTwoContainerPatterns) {
  std::vector<uint8_t> bytes = Filler(64);
  PutBytes(bytes, 10, {0x06, 0x0E, 0x2B, 0x34, 0x02, 0x05, 0x01, 0x01, 0x0D, 0x01, 0x02, 0x01, 0x01, 0x02, 0x04, 0x00});
  const auto found = Run(ContainerPatterns, bytes, 0);
  ASSERT_EQ(found.size(), 2u);
  for (const Fragment& f : found) {
    EXPECT_EQ(f.Position, 10);
    EXPECT_EQ(f.Length, 16844042u);
  }
}

TEST_P(ShiftedSearch, ContainerTypeFields) {
  std::vector<uint8_t> bytes = Filler(64);
  const char ftyp[] = "ftypmp42";
  std::copy(ftyp, ftyp + 8, bytes.begin() + 4);
  const char mdat[] = "mdat";
  std::copy(mdat, mdat + 4, bytes.begin() + 30);
  PutBytes(bytes, 34, {0x10, 0x00, 0x00, 0x00});
  const auto found = Run(ContainerPatterns, bytes, 0);
  ASSERT_EQ(found.size(), 2u);
  EXPECT_EQ(found[0].Position, 30);  // "mdat" is the first pattern
  EXPECT_EQ(found[0].Length, 24u);
  EXPECT_EQ(found[1].Position, 4);
  EXPECT_EQ(found[1].Length, 842297461u);
}

TEST_P(ShiftedSearch, FileTypeOfEveryBrandAndMovieBoxesAreHit) {
  std::vector<uint8_t> bytes = Filler(96);
  const char* brands[] = {"qt  ", "3gp5", "zz9!"};
  for (int i = 0; i < 3; ++i) {
    std::copy_n("ftyp", 4, bytes.begin() + 4 + 20 * i);
    std::copy_n(brands[i], 4, bytes.begin() + 8 + 20 * i);
  }
  std::copy_n("moov", 4, bytes.begin() + 70);
  const auto found = Run(ContainerPatterns, bytes, 0);
  ASSERT_EQ(found.size(), 4u);
  EXPECT_EQ(found[0].Position, 4);
  EXPECT_EQ(found[2].Position, 44);
  EXPECT_EQ(found[3].Position, 70);  // "moov" is the last pattern
}

TEST_P(ShiftedSearch, SizeWordsNearTheTopWrapAround) {
  std::vector<uint8_t> bytes = Filler(64);
  PutChunkHeader(bytes, 0, "00dc", 0xFFFFFFF8u);
  PutChunkHeader(bytes, 20, "00dc", 0xFFFFFFFFu);
  const auto found = Run(AviChunkPatterns, bytes, 0);
  ASSERT_EQ(found.size(), 2u);
  EXPECT_EQ(found[0].Length, 0u);
  EXPECT_EQ(found[1].Length, 7u);
}

TEST_P(ShiftedSearch, OverlappingOccurrencesAreAllFound) {
  // "0000" holds "00" at 0, 1 and 2; each is followed by a non-zero word within the bytes.
  std::vector<uint8_t> bytes = Filler(32);
  PutBytes(bytes, 8, {0x30, 0x30, 0x30, 0x30});
  const auto found = Run({"3030"}, bytes, 0);
  ASSERT_EQ(found.size(), 3u);
  EXPECT_EQ(found[0].Position, 8);
  EXPECT_EQ(found[1].Position, 9);
  EXPECT_EQ(found[2].Position, 10);
  EXPECT_EQ(found[0].Length, 0x8F8E8D8Cu + 8);  // filler bytes 12..15
}

INSTANTIATE_TEST_SUITE_P(AtStartAndShifted, ShiftedSearch, ::testing::Values(0u, 1u, 15u, 31u, 4099u));

TEST(SearchChunk, MalformedPatternStopsThatPatternAndAllAfterIt) {
  std::vector<uint8_t> bytes = Filler(64);
  PutChunkHeader(bytes, 0, "00db", 5);
  PutChunkHeader(bytes, 16, "00dc", 5);
  PutChunkHeader(bytes, 32, "00dc", 6);
  const std::vector<std::string> withBadLetter = {"30306462", "3030646G", "30306463"};
  const auto found = Search(withBadLetter, bytes, 0);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].Position, 0);

  EXPECT_TRUE(Search({"", "30306463"}, bytes, 0).empty());
  EXPECT_TRUE(Search({"3030646", "30306463"}, bytes, 0).empty());
  EXPECT_EQ(Search({"30306463", "303064"}, bytes, 0).size(), 2u + 3u);  // a 3-byte pattern is valid
}

TEST(SearchChunk, LowerAndUpperCaseDigitsAreEqual) {
  std::vector<uint8_t> bytes = Filler(64);
  bytes[10] = 0xAB;
  bytes[11] = 0xCD;
  EXPECT_EQ(Search({"ABCD"}, bytes, 0).size(), 1u);
  EXPECT_EQ(Search({"abcd"}, bytes, 0).size(), 1u);
  EXPECT_EQ(Search({"aBcD"}, bytes, 0).size(), 1u);
}

TEST(SearchChunk, ChunkShorterThanPatternHasNoOccurrence) {
  const std::vector<uint8_t> bytes = {0x30, 0x30, 0x64};
  EXPECT_TRUE(Search(AviChunkPatterns, bytes, 0).empty());
  EXPECT_TRUE(Search(AviChunkPatterns, {}, 0).empty());
}

TEST(SearchChunk, HitWithoutItsWholeSizeWordGivesNoRecord) {
  std::vector<uint8_t> bytes = Filler(48);
  PutChunkHeader(bytes, 33, "00dc", 100);  // word at 37..40, one byte past the cut below
  bytes.resize(40);
  EXPECT_TRUE(Search(AviChunkPatterns, bytes, 0).empty());
  bytes.push_back(0);
  EXPECT_EQ(Search(AviChunkPatterns, bytes, 0).size(), 1u);
}

TEST(SearchChunk, OnlyHitsStartingBeforeSearchEndAreTaken) {
  std::vector<uint8_t> bytes = Filler(100);
  PutChunkHeader(bytes, 40, "00dc", 1);
  PutChunkHeader(bytes, 60, "00dc", 2);
  const auto found = Search(AviChunkPatterns, bytes, 1000, 60);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].Position, 1040);
  EXPECT_EQ(Search(AviChunkPatterns, bytes, 1000, 61).size(), 2u);
}

TEST(PatternList, MarginCoversTheLongestPatternAndTheSizeWord) {
  EXPECT_EQ(PatternList(AviChunkPatterns).Margin(), 7u);
  EXPECT_EQ(PatternList(ContainerPatterns).Margin(), 15u);
  EXPECT_EQ(PatternList(ContainerPatterns).Patterns().size(), 5u);
}

}  // namespace
}  // namespace korvid
