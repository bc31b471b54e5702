#include "engine/fragment.h"

#include <gtest/gtest.h>

namespace korvid {
namespace {

TEST(CompareFragments, ComparesPositionAlone) {
  EXPECT_EQ(CompareFragments({5, 1}, {4, 100}), 1);
  EXPECT_EQ(CompareFragments({4, 1}, {4, 100}), 0);
  EXPECT_EQ(CompareFragments({-1, 1}, {0, 1}), -1);
  EXPECT_EQ(CompareFragments({int64_t{1} << 40, 1}, {1, 1}), 1);
}

TEST(FragmentList, GrowsPastManyBlocksKeepingEveryRecordInOrder) {
  FragmentList list;
  const int64_t count = 300000;
  for (int64_t i = 0; i < count; ++i) list.push_back({i * 3, static_cast<uint32_t>(i)});
  ASSERT_EQ(list.size(), static_cast<size_t>(count));
  for (int64_t i = 0; i < count; i += 997) {
    EXPECT_EQ(list[static_cast<size_t>(i)].Position, i * 3);
    EXPECT_EQ(list[static_cast<size_t>(i)].Length, static_cast<uint32_t>(i));
  }
  FragmentList moved = std::move(list);
  EXPECT_EQ(moved.size(), static_cast<size_t>(count));
  EXPECT_TRUE(list.empty());
}

TEST(SortFragments, SortsByPosition) {
  FragmentList list;
  for (int64_t p : {50, 10, 40, 10, 30}) list.push_back({p, static_cast<uint32_t>(p)});
  SortFragments(list);
  std::vector<int64_t> positions;
  for (const Fragment& f : list) positions.push_back(f.Position);
  EXPECT_EQ(positions, (std::vector<int64_t>{10, 10, 30, 40, 50}));
  EXPECT_EQ(list[4].Length, 50u);
}

TEST(MergeRuns, MergesThePatternRunsAfterTheGivenIndexOnly) {
  FragmentList list;
  for (int64_t p : {90, 5}) list.push_back({p, 0});             // before `from`: left alone
  for (int64_t p : {10, 40, 70, 20, 30, 80, 15, 75}) list.push_back({p, 0});  // three runs
  MergeRuns(list, 2);
  std::vector<int64_t> positions;
  for (const Fragment& f : list) positions.push_back(f.Position);
  EXPECT_EQ(positions, (std::vector<int64_t>{90, 5, 10, 15, 20, 30, 40, 70, 75, 80}));
  MergeRuns(list, list.size());  // nothing new
  EXPECT_EQ(list.size(), 10u);
}

}  // namespace
}  // namespace korvid
