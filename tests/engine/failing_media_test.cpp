// A failing disk: the first pass reads every readable area first and skips ahead after a failed
// read; coming back reads what it skipped and closes in on the bad sectors; no bad sector is
// tried more than twice, and the files are those of the same bytes with the bad sectors zeroed.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>

#include "engine/rescue/mapped_source.h"
#include "engine/rescue/rescue_map.h"
#include "engine/scan_driver.h"
#include "tests/engine/memory_source.h"
#include "tests/engine/temp_folder.h"

namespace korvid {
namespace {

using testing::Filler;
using testing::MemorySource;
using testing::ReadFile;
using testing::TempFolder;

TEST(RescueMap, KeepsRunsOfStatesAndTellsWhatMayBeRead) {
  const std::vector<ByteRange> stretches = {{1024, 8192}, {16384, 4096}};
  RescueMap map(32768, stretches);
  EXPECT_EQ(map.ReadableUntil(0, 1024), 1024);  // outside the stretches: passed through
  EXPECT_EQ(map.ReadableUntil(0, 4096), 1024);
  map.Mark(1024, 4096, SectorState::Finished);
  map.Mark(4096, 4608, SectorState::Bad);
  map.Mark(4608, 9216, SectorState::Finished);
  EXPECT_EQ(map.ReadableUntil(2000, 9216), 4096);
  EXPECT_EQ(map.ReadableUntil(4608, 12000), 12000);
  map.Mark(16384, 20480, SectorState::Finished);
  map.Mark(4096, 4608, SectorState::Finished);  // read at last: the runs join again
  EXPECT_TRUE(map.Pending().empty());
  map.Mark(17000, 17512, SectorState::NonTrimmed);
  map.Mark(17512, 18024, SectorState::Bad);
  const auto pending = map.Pending();
  ASSERT_EQ(pending.size(), 2u);
  EXPECT_EQ(pending[0].second, SectorState::NonTrimmed);
  EXPECT_EQ(map.Unreadable(), (std::vector<ByteRange>{{17000, 1024}}));
}

TEST(MappedSource, RefusesWhatTheScanCouldNotReadWithoutAskingTheDevice) {
  MemorySource device(Filler(8192));
  const std::vector<ByteRange> all = {{0, 8192}};
  RescueMap map(8192, all);
  map.Mark(0, 8192, SectorState::Finished);
  map.Mark(2048, 2560, SectorState::Bad);
  MappedSource source(device, map);
  uint8_t buffer[4096];
  const ReadResult r = source.ReadAt(1024, buffer, sizeof buffer);
  EXPECT_EQ(r.Bytes, 1024u);
  EXPECT_NE(r.Error, 0);
  ASSERT_EQ(device.reads.size(), 1u);
  EXPECT_EQ(device.reads[0], std::make_pair(int64_t{1024}, size_t{1024}));
  EXPECT_EQ(source.ReadAt(2048, buffer, 512).Bytes, 0u);
  EXPECT_EQ(device.reads.size(), 1u);
  EXPECT_EQ(source.ReadAt(8000, buffer, 512).Bytes, 192u);  // the end of data stays the device's
}

constexpr int64_t Size = 6 << 20;

// Chains of video chunks all over the medium, so that the bad areas cut through many of them.
std::vector<uint8_t> Medium() { return testing::ChainedMedium(Size, 4096, 9000, 3); }

// A damaged stretch of 300 KiB and sectors on their own, some of them next to each other.
std::set<int64_t> BadSectors() {
  std::set<int64_t> bad;
  for (int64_t s = (2 << 20) / 512; s < (2 << 20) / 512 + 600; ++s) bad.insert(s);
  for (int64_t s : {77, 1500, 1501, 6000, 9001, 11999}) bad.insert(s);
  return bad;
}

class FailingMedia : public ::testing::Test {
 protected:
  // How often each bad sector was tried: a read fails at the first bad sector it meets.
  static std::map<int64_t, int> Tries(const MemorySource& source) {
    std::map<int64_t, int> tries;
    for (const auto& [offset, length] : source.reads) {
      const auto first = source.badSectors.lower_bound(offset / 512);
      if (first != source.badSectors.end() && *first * 512 < offset + static_cast<int64_t>(length)) ++tries[*first];
    }
    return tries;
  }

  RecoveryReport Run(MemorySource& source, const std::string& out, RetryLimits retry = {}) {
    std::filesystem::create_directories(folder / out);
    RecoveryRequest request;
    request.Source = &source;
    request.OutputFolder = folder / out;
    request.Header = {'h', 'd', 'r', 'm', 'o', 'v', 'i'};
    request.Retry = retry;
    RecoveryReport report;
    RunObserver observer;
    RunRecovery(request, observer, report);
    return report;
  }

  // The same bytes with the given ranges zeroed, as a disk gives them that cannot read them.
  static std::vector<uint8_t> Zeroed(std::vector<uint8_t> bytes, const std::vector<ByteRange>& ranges) {
    for (const ByteRange& r : ranges) std::fill_n(bytes.begin() + r.Offset, r.Length, 0);
    return bytes;
  }

  void ExpectSameFiles(const RecoveryReport& got, const RecoveryReport& expected) {
    ASSERT_EQ(got.Write.Files.size(), expected.Write.Files.size());
    EXPECT_EQ(got.FragmentsFound, expected.FragmentsFound);
    for (size_t i = 0; i < got.Write.Files.size(); ++i) {
      EXPECT_EQ(ReadFile(got.Write.Files[i].Path), ReadFile(expected.Write.Files[i].Path)) << i;
    }
  }

  TempFolder folder;
};

TEST_F(FailingMedia, EveryReadableByteComesBackAndNoBadSectorIsTriedMoreThanTwice) {
  MemorySource failing(Medium());
  failing.badSectors = BadSectors();
  const RecoveryReport report = Run(failing, "failing");

  std::vector<ByteRange> bad;
  for (int64_t s : failing.badSectors) {
    if (!bad.empty() && bad.back().Offset + bad.back().Length == s * 512) {
      bad.back().Length += 512;
    } else {
      bad.push_back({s * 512, 512});
    }
  }
  EXPECT_EQ(report.UnreadableRanges, bad);
  EXPECT_EQ(report.UnreadableScanBytes, failing.badSectors.size() * 512);

  MemorySource zeroed(Zeroed(Medium(), bad));
  ExpectSameFiles(report, Run(zeroed, "zeroed"));
  EXPECT_GT(report.Write.Files.size(), 100u);

  for (const auto& [sector, n] : Tries(failing)) EXPECT_LE(n, 2) << "sector " << sector;
}

TEST_F(FailingMedia, TheFirstPassReadsTheReadableAreasBeforeComingBack) {
  MemorySource failing(Medium());
  failing.badSectors = BadSectors();
  // The reads made before coming back tells of its first read; the first pass's threads read a
  // few chunks apart, in any order.
  struct FirstPass : RunObserver {
    explicit FirstPass(MemorySource& source) : source_(source) {}
    void RetryProgress(uint64_t, uint64_t) override {
      if (reads == SIZE_MAX) reads = source_.reads.size() - 1;
    }
    MemorySource& source_;
    size_t reads = SIZE_MAX;
  } firstPass(failing);
  std::filesystem::create_directories(folder / "failing");
  RecoveryRequest request;
  request.Source = &failing;
  request.OutputFolder = folder / "failing";
  request.Header = {'h', 'd', 'r', 'm', 'o', 'v', 'i'};
  RecoveryReport report;
  RunRecovery(request, firstPass, report);
  ASSERT_NE(firstPass.reads, SIZE_MAX) << "the run never came back";
  // By then the first pass has read all but the bad areas and the skips after them.
  int64_t covered = 0;
  for (size_t r = 0; r < firstPass.reads; ++r) covered += static_cast<int64_t>(failing.reads[r].second);
  EXPECT_GT(covered, Size * 3 / 4);
  EXPECT_LT(covered, Size);
}

TEST_F(FailingMedia, WithoutRetriesTheRunEndsAfterTheFirstPass) {
  for (const RetryLimits limits : {RetryLimits{0}, RetryLimits{1, 0.0}}) {
    MemorySource failing(Medium());
    failing.badSectors = BadSectors();
    const RecoveryReport report = Run(failing, "first-pass", limits);
    // The skipped stretches stay unread, and no bad sector was tried again.
    EXPECT_GT(report.UnreadableScanBytes, failing.badSectors.size() * 512);
    for (const auto& [sector, n] : Tries(failing)) EXPECT_EQ(n, 1) << "sector " << sector;
    MemorySource zeroed(Zeroed(Medium(), report.UnreadableRanges));
    ExpectSameFiles(report, Run(zeroed, "first-pass-zeroed"));
    std::filesystem::remove_all(folder / "first-pass");
    std::filesystem::remove_all(folder / "first-pass-zeroed");
  }
}

}  // namespace
}  // namespace korvid
