#include "engine/scan_driver.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "engine/errors.h"
#include "engine/iso_builder.h"
#include "engine/memory_source.h"
#include "engine/temp_folder.h"

namespace korvid {
namespace {

using testing::Filler;
using testing::MemorySource;
using testing::PutChunkHeader;
using testing::ReadFile;
using testing::TempFolder;

const std::vector<uint8_t> kHeader = {'h', 'd', 'r', 'm', 'o', 'v', 'i'};
// What container mode takes from an MP4 sample: its file type box and movie box.
const std::vector<uint8_t> kMovieSample =
    testing::Concat({testing::MakeBox("ftyp", {'i', 's', 'o', 'm', 0, 0, 0, 0}), testing::MovieWithChunks(10, 40, 70)});

struct Recorder : RunObserver {
  bool StopRequested() override { return stopAfterChunks >= 0 && chunks >= stopAfterChunks; }
  void Yield() override { ++yields; }
  void ScanProgress(int64_t scanned, int64_t) override {
    progress.push_back(scanned);
    ++chunks;
  }
  void FragmentsFound(uint64_t count) override { found = count; }
  int stopAfterChunks = -1;
  int chunks = 0;
  int yields = 0;
  uint64_t found = 0;
  std::vector<int64_t> progress;
};

// The first `count` reads of a run, the scan's, in source order: the scan reads on several
// threads at once.
std::vector<std::pair<int64_t, size_t>> ScanReads(const MemorySource& source, size_t count) {
  std::vector<std::pair<int64_t, size_t>> reads(source.reads.begin(),
                                                source.reads.begin() + std::min(count, source.reads.size()));
  std::sort(reads.begin(), reads.end());
  return reads;
}

class ScanTest : public ::testing::Test {
 protected:
  RecoveryReport Run(MemorySource& source, ScanMode mode = ScanMode::WholeDisk,
                     std::optional<std::vector<ByteRange>> ranges = std::nullopt) {
    std::filesystem::create_directories(folder / "out");
    RecoveryRequest request;
    request.Source = &source;
    request.Mode = mode;
    request.OutputFolder = folder / "out";
    request.Header = mode == ScanMode::Container ? kMovieSample : kHeader;
    request.Ranges = std::move(ranges);
    RecoveryReport report;
    RunRecovery(request, recorder, report);
    return report;
  }
  std::vector<uint8_t> Expected(MemorySource& source, int64_t from, int64_t to) {
    std::vector<uint8_t> bytes = kHeader;
    bytes.insert(bytes.end(), source.Bytes().begin() + from, source.Bytes().begin() + to);
    return bytes;
  }
  Recorder recorder;
  TempFolder folder;
};

TEST_F(ScanTest, ReadsWholeChunksAtChunkOffsetsAndReportsProgress) {
  MemorySource source(Filler(3 * 262144 + 1000));
  const auto report = Run(source);
  std::vector<std::pair<int64_t, size_t>> expected = {
      {0, 262144}, {262144, 262144}, {524288, 262144}, {786432, 1000}};
  EXPECT_EQ(source.reads.size(), expected.size());
  EXPECT_EQ(ScanReads(source, expected.size()), expected);
  EXPECT_EQ(recorder.progress, (std::vector<int64_t>{0, 262144, 524288, 786432}));
  EXPECT_EQ(report.BytesScanned, 3 * 262144 + 1000);
  EXPECT_EQ(recorder.yields, 4);
  EXPECT_FALSE(report.Stopped);
}

TEST_F(ScanTest, EmptySourceReadsNothingAndWritesNothing) {
  MemorySource source({});
  const auto report = Run(source);
  EXPECT_TRUE(source.reads.empty());
  EXPECT_EQ(report.FragmentsFound, 0u);
  EXPECT_TRUE(report.Write.Files.empty());
}

// A chain of three chunks whose second header starts at every offset around the first chunk
// border: each chunk is found once, and the file holds the three chunks.
class BorderTest : public ScanTest, public ::testing::WithParamInterface<int64_t> {};

TEST_P(BorderTest, ChunkHeaderAcrossAChunkBorderIsFoundOnce) {
  const int64_t second = 262144 + GetParam();
  MemorySource source(Filler(600000));
  const int64_t first = second - 1000;
  PutChunkHeader(source.Bytes(), static_cast<size_t>(first), "00dc", 992);
  PutChunkHeader(source.Bytes(), static_cast<size_t>(second), "00db", 501);  // odd: pad byte follows
  PutChunkHeader(source.Bytes(), static_cast<size_t>(second + 510), "00dc", 100);
  const auto report = Run(source);
  EXPECT_EQ(report.FragmentsFound, 3u);
  ASSERT_EQ(report.Write.Files.size(), 1u);
  EXPECT_EQ(ReadFile(folder / "out" / "1.AVI"), Expected(source, first, second + 510 + 108));
  // The scan reads each byte once, in whole chunks; the writer's reads come after.
  ASSERT_GE(source.reads.size(), 3u);
  const auto reads = ScanReads(source, 3);
  EXPECT_EQ(reads[0], std::make_pair(int64_t{0}, size_t{262144}));
  EXPECT_EQ(reads[1], std::make_pair(int64_t{262144}, size_t{262144}));
  EXPECT_EQ(reads[2], std::make_pair(int64_t{524288}, size_t{600000 - 524288}));
}

INSTANTIATE_TEST_SUITE_P(AroundTheBorder, BorderTest, ::testing::Range<int64_t>(-9, 2));

TEST_F(ScanTest, MxfKeyAcrossABorderGivesItsTwoRecordsOnce) {
  MemorySource source(Filler(300000));
  const uint8_t key[16] = {0x06, 0x0E, 0x2B, 0x34, 0x02, 0x05, 0x01, 0x01,
                           0x0D, 0x01, 0x02, 0x01, 0x01, 0x02, 0x04, 0x00};
  std::copy(key, key + 16, source.Bytes().begin() + 262144 - 9);
  const auto report = Run(source, ScanMode::Container);
  EXPECT_EQ(report.FragmentsFound, 2u);
}

TEST_F(ScanTest, HitInTheLastBytesOfTheSourceWithoutItsSizeWordIsDropped) {
  MemorySource source(Filler(262144 + 6));
  std::copy_n("00dc", 4, source.Bytes().end() - 6);
  EXPECT_EQ(Run(source).FragmentsFound, 0u);
}

TEST_F(ScanTest, StopEndsTheScanAfterTheChunkInHandAndStillWrites) {
  MemorySource source(Filler(10 * 262144));
  PutChunkHeader(source.Bytes(), 1000, "00dc", 92);
  PutChunkHeader(source.Bytes(), 1100, "00dc", 92);
  PutChunkHeader(source.Bytes(), 5 * 262144, "00dc", 92);  // beyond the stop
  PutChunkHeader(source.Bytes(), 5 * 262144 + 100, "00dc", 92);
  recorder.stopAfterChunks = 2;
  const auto report = Run(source);
  EXPECT_TRUE(report.Stopped);
  EXPECT_EQ(report.BytesScanned, 2 * 262144);
  EXPECT_EQ(report.FragmentsFound, 2u);
  ASSERT_EQ(report.Write.Files.size(), 1u);
  EXPECT_EQ(ReadFile(folder / "out" / "1.AVI"), Expected(source, 1000, 1200));
}

TEST_F(ScanTest, FailedChunkReadIsRescuedAndCounted) {
  MemorySource source(Filler(2 * 262144));
  PutChunkHeader(source.Bytes(), 300000, "00dc", 92);
  PutChunkHeader(source.Bytes(), 300100, "00dc", 92);
  source.badSectors = {520};  // in the second chunk, before the chunks
  const auto report = Run(source);
  EXPECT_EQ(report.UnreadableScanBytes, 512u);
  EXPECT_EQ(report.FragmentsFound, 2u);
  EXPECT_EQ(report.Write.Files.size(), 1u);
}

TEST_F(ScanTest, FreeSpaceModeReadsOnlyTheGivenStretchesInWholeSectors) {
  MemorySource source(Filler(2'000'000));
  PutChunkHeader(source.Bytes(), 10'000, "00dc", 92);  // in allocated space: ignored
  PutChunkHeader(source.Bytes(), 10'100, "00dc", 92);
  PutChunkHeader(source.Bytes(), 600'000, "00dc", 92);  // in free space
  PutChunkHeader(source.Bytes(), 600'100, "00dc", 92);
  // Two touching stretches (as a split free run gives them), one of them not sector-aligned,
  // and one running past the end of the source.
  const auto report = Run(source, ScanMode::FreeSpace,
                          std::vector<ByteRange>{{512'000, 88'050}, {600'050, 400'000}, {1'900'000, 500'000}});
  EXPECT_EQ(report.FragmentsFound, 2u);
  ASSERT_EQ(report.Write.Files.size(), 1u);
  EXPECT_EQ(ReadFile(folder / "out" / "1.AVI"), Expected(source, 600'000, 600'200));
  // 512000..1000448 joined, 1899520..2000000 cut at the end.
  EXPECT_EQ(report.BytesScanned, (1'000'448 - 512'000) + (2'000'000 - 1'899'520));
  const auto reads = ScanReads(source, 3);
  ASSERT_EQ(reads.size(), 3u);
  EXPECT_EQ(reads[0], std::make_pair(int64_t{512'000}, size_t{262144}));
  EXPECT_EQ(reads[1], std::make_pair(int64_t{774'144}, size_t{1'000'448 - 774'144}));
  EXPECT_EQ(reads[2], std::make_pair(int64_t{1'899'520}, size_t{2'000'000 - 1'899'520}));
}

TEST_F(ScanTest, HitsDoNotJoinAcrossAGapBetweenStretches) {
  MemorySource source(Filler(100'000));
  // "00dc" ends one stretch; its size word would lie in the next one, which is elsewhere.
  PutChunkHeader(source.Bytes(), 1020, "00dc", 92);
  const auto report = Run(source, ScanMode::FreeSpace, std::vector<ByteRange>{{512, 512}, {4096, 512}});
  EXPECT_EQ(report.FragmentsFound, 0u);
  EXPECT_EQ(report.BytesScanned, 1024);
}

TEST_F(ScanTest, NoFreeSpaceMeansNothingToScan) {
  MemorySource source(Filler(100'000));
  PutChunkHeader(source.Bytes(), 1000, "00dc", 92);
  PutChunkHeader(source.Bytes(), 1100, "00dc", 92);
  const auto report = Run(source, ScanMode::FreeSpace, std::vector<ByteRange>{});
  EXPECT_TRUE(source.reads.empty());
  EXPECT_EQ(report.FragmentsFound, 0u);
}

TEST_F(ScanTest, ContainerModeNoLongerChainsTypeFieldsThatHappenToFit) {
  MemorySource source(Filler(100000));
  // "mdat" with a word of 92: Length 100, the distance to the next "mdat". Such hits once made a
  // chain; they head no file.
  std::copy_n("mdat", 4, source.Bytes().begin() + 1000);
  PutChunkHeader(source.Bytes(), 1004, "\x5c\0\0\0", 0);
  std::copy_n("mdat", 4, source.Bytes().begin() + 1100);
  PutChunkHeader(source.Bytes(), 1104, "\x10\0\0\0", 0);
  const auto report = Run(source, ScanMode::Container);
  EXPECT_EQ(report.FragmentsFound, 2u);
  EXPECT_TRUE(report.Write.Files.empty());
  EXPECT_TRUE(std::filesystem::is_empty(folder / "out"));
}

}  // namespace
}  // namespace korvid
