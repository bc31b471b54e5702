#include "engine/naming/entry_match.h"

#include <gtest/gtest.h>

namespace korvid {
namespace {

constexpr int64_t Cluster = 32768;

SourceEntry Entry(const char* name, int64_t firstByte, uint64_t size, bool deleted = true) {
  SourceEntry e;
  e.Name = name;
  e.FirstByte = firstByte;
  e.Size = size;
  e.ClusterSize = Cluster;
  e.Deleted = deleted;
  return e;
}

WrittenFile FileAt(int64_t firstData) {
  WrittenFile f;
  f.SourceStart = firstData - 100;  // the writer's start need not be the data's
  f.Extents = {{firstData, 50000}, {firstData + 10 * Cluster, 1000}};
  return f;
}

TEST(EntryMatch, DataInsideTheFirstClusterOrAFewClustersOnMatchesItsEntry) {
  const std::vector<SourceEntry> entries = {Entry("_H01_1.AVI", 10 * Cluster, 5 * Cluster),
                                            Entry("_H01_2.AVI", 20 * Cluster, 5 * Cluster)};
  const auto matches =
      MatchSourceEntries({FileAt(10 * Cluster + 8192), FileAt(23 * Cluster), FileAt(20 * Cluster)}, entries);
  ASSERT_EQ(matches.size(), 3u);
  EXPECT_EQ(matches[0], 0u);
  EXPECT_EQ(matches[1], 1u);
  EXPECT_EQ(matches[2], 1u);
}

TEST(EntryMatch, TheFirstExtentDecidesNotTheWritersStart) {
  WrittenFile f = FileAt(20 * Cluster + 10);
  f.SourceStart = 20 * Cluster - 10;  // before the second entry's cluster
  const auto matches = MatchSourceEntries(
      {f}, {Entry("A.AVI", 10 * Cluster, Cluster), Entry("B.AVI", 20 * Cluster, Cluster)});
  EXPECT_EQ(matches[0], 1u);
}

TEST(EntryMatch, DataBeyondTheEntrysSizeOrBeforeEveryEntryMatchesNone) {
  const std::vector<SourceEntry> entries = {Entry("A.AVI", 10 * Cluster, 3 * Cluster)};
  const auto matches = MatchSourceEntries({FileAt(13 * Cluster), FileAt(9 * Cluster), FileAt(12 * Cluster)}, entries);
  EXPECT_FALSE(matches[0].has_value());
  EXPECT_FALSE(matches[1].has_value());
  EXPECT_EQ(matches[2], 0u);
}

TEST(EntryMatch, ASmallEntryStillCoversItsFirstCluster) {
  const auto matches = MatchSourceEntries({FileAt(10 * Cluster + 30000)}, {Entry("A.AVI", 10 * Cluster, 100)});
  EXPECT_EQ(matches[0], 0u);
}

TEST(EntryMatch, TheLastFirstClusterBeforeTheDataWinsOverAnEarlierLargerEntry) {
  // An old entry spans the whole area; a newer recording was written into its clusters.
  const std::vector<SourceEntry> entries = {Entry("OLD.AVI", 10 * Cluster, 100 * Cluster),
                                            Entry("NEW.AVI", 40 * Cluster, 5 * Cluster)};
  const auto matches = MatchSourceEntries({FileAt(41 * Cluster), FileAt(30 * Cluster)}, entries);
  EXPECT_EQ(matches[0], 1u);
  EXPECT_EQ(matches[1], 0u);
}

TEST(EntryMatch, ALiveEntryWinsOverADeletedOneOfTheSameCluster) {
  const std::vector<SourceEntry> entries = {Entry("_LD.AVI", 10 * Cluster, 5 * Cluster, true),
                                            Entry("LIVE.AVI", 10 * Cluster, 5 * Cluster, false)};
  EXPECT_EQ(MatchSourceEntries({FileAt(10 * Cluster)}, entries)[0], 1u);
}

TEST(EntryMatch, EmptyEntriesAreNoMatch) {
  const std::vector<SourceEntry> entries = {Entry("A.AVI", 10 * Cluster, 5 * Cluster), Entry("EMPTY", 11 * Cluster, 0)};
  EXPECT_EQ(MatchSourceEntries({FileAt(12 * Cluster)}, entries)[0], 0u);
  EXPECT_FALSE(MatchSourceEntries({FileAt(12 * Cluster)}, {}).front().has_value());
}

TEST(EntryMatch, AFileWithoutExtentsIsMatchedByItsStart) {
  WrittenFile f;
  f.SourceStart = 10 * Cluster + 4;
  EXPECT_EQ(FirstDataByte(f), 10 * Cluster + 4);
  EXPECT_EQ(MatchSourceEntries({f}, {Entry("A.AVI", 10 * Cluster, Cluster)})[0], 0u);
}

}  // namespace
}  // namespace korvid
