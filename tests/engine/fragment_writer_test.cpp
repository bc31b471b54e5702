#include "engine/fragment_writer.h"

#include <gtest/gtest.h>

#include "engine/errors.h"
#include "engine/memory_source.h"
#include "engine/temp_folder.h"

namespace korvid {
namespace {

using testing::Filler;
using testing::MemorySource;
using testing::ReadFile;
using testing::TempFolder;

const std::vector<uint8_t> kHeader = {'R', 'I', 'F', 'F', 1, 2, 3, 4, 'A', 'V', 'I', ' ', 'm', 'o', 'v', 'i'};

class WriterTest : public ::testing::Test {
 protected:
  WriteReport Write(const std::vector<Fragment>& records, const std::vector<uint8_t>& header = kHeader) {
    FragmentList list;
    for (const Fragment& f : records) list.push_back(f);
    WriteReport report;
    WriteFragments(source, list, header, folder.Path(), observer, report);
    return report;
  }
  // The header followed by source bytes [from, to).
  std::vector<uint8_t> Expected(int64_t from, int64_t to, const std::vector<uint8_t>& header = kHeader) {
    std::vector<uint8_t> bytes = header;
    bytes.insert(bytes.end(), source.Bytes().begin() + from, source.Bytes().begin() + to);
    return bytes;
  }
  std::vector<std::string> Names() {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder.Path())) {
      names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  struct CountingObserver : RunObserver {
    void Yield() override { ++yields; }
    void WriteProgress(uint64_t record, uint64_t records) override {
      last = record;
      total = records;
    }
    int yields = 0;
    uint64_t last = 0, total = 0;
  } observer;
  MemorySource source{Filler(2'000'000)};
  TempFolder folder;
};

TEST_F(WriterTest, EmptyAndSingleListsWriteNothing) {
  EXPECT_EQ(Write({}).Files.size(), 0u);
  EXPECT_EQ(Write({{1000, 100}}).Files.size(), 0u);
  EXPECT_TRUE(Names().empty());
}

TEST_F(WriterTest, TwoChainedRecordsGiveOneFileWithBothChunks) {
  const auto report = Write({{1000, 100}, {1100, 60}});
  ASSERT_EQ(report.Files.size(), 1u);
  EXPECT_EQ(report.Chains, 1u);
  EXPECT_EQ(ReadFile(folder / "1.AVI"), Expected(1000, 1160));
  EXPECT_EQ(report.Files[0].Records, 2u);
  EXPECT_TRUE(report.Files[0].Complete);
  EXPECT_EQ(report.BytesWritten, kHeader.size() + 160);
}

TEST_F(WriterTest, PadByteOfAnOddChunkChainsAndIsCopied) {
  // 101 is odd: the next chunk starts after a pad byte, and the last chunk keeps its pad too.
  Write({{1000, 101}, {1102, 51}});
  EXPECT_EQ(ReadFile(folder / "1.AVI"), Expected(1000, 1154));
}

TEST_F(WriterTest, GapOfTwoOrTheSamePositionEndsTheChain) {
  EXPECT_EQ(Write({{1000, 100}, {1102, 50}}).Files.size(), 0u);
  EXPECT_EQ(Write({{1000, 16}, {1000, 16}}).Files.size(), 0u);
  EXPECT_EQ(Write({{1000, 0}, {1000, 0}}).Files.size(), 0u);
}

TEST_F(WriterTest, ChainsAreNumberedInSourceOrderAndLoneRecordsUseNoNumber) {
  const auto report = Write({{100, 50}, {150, 50}, {200, 50}, {900, 10}, {5000, 40}, {5040, 40}});
  ASSERT_EQ(report.Files.size(), 2u);
  EXPECT_EQ(ReadFile(folder / "1.AVI"), Expected(100, 250));
  EXPECT_EQ(ReadFile(folder / "2.AVI"), Expected(5000, 5080));  // runs to the last record
  EXPECT_EQ(report.Files[0].Records, 3u);
  EXPECT_EQ(Names(), (std::vector<std::string>{"1.AVI", "2.AVI"}));
  EXPECT_EQ(observer.total, 6u);
  EXPECT_EQ(observer.last, 4u);
}

TEST_F(WriterTest, LongChainIsCopiedInPiecesAndCutAtTheEndOfTheSource) {
  // Three chunks of 300001 bytes each (odd: pad byte), the last one running past the end.
  const int64_t size = 2'000'000;
  const auto report = Write({{1'000'001, 300001}, {1'300'003, 300001}, {1'600'005, 500000}});
  ASSERT_EQ(report.Files.size(), 1u);
  EXPECT_EQ(ReadFile(folder / "1.AVI"), Expected(1'000'001, size));
  EXPECT_EQ(report.Files[0].SourceEnd, size);
  EXPECT_GE(observer.yields, 4);  // a yield per record and per 256 KiB piece
}

TEST_F(WriterTest, ExistingFileIsReplacedAndEmptyHeaderWritesChunksOnly) {
  testing::WriteFile(folder / "1.AVI", std::vector<uint8_t>(5000, 7));
  Write({{10, 20}, {30, 20}}, {});
  EXPECT_EQ(ReadFile(folder / "1.AVI"), Expected(10, 50, {}));
}

TEST_F(WriterTest, UnreadableSectorsAreZerosAndCounted) {
  source.badSectors = {4};  // bytes 2048..2559
  const auto report = Write({{2000, 400}, {2400, 400}});
  std::vector<uint8_t> expected = Expected(2000, 2800);
  std::fill(expected.begin() + static_cast<long>(kHeader.size() + 48),
            expected.begin() + static_cast<long>(kHeader.size() + 560), 0);
  EXPECT_EQ(ReadFile(folder / "1.AVI"), expected);
  EXPECT_EQ(report.UnreadableBytes, 512u);
  EXPECT_EQ(report.Files[0].UnreadableBytes, 512u);
}

TEST_F(WriterTest, FullOutputDiskStopsWithAnErrorNamingTheFileAndKeepsEarlierFiles) {
  // 2.AVI leads to a device that is always full.
  std::filesystem::create_symlink("/dev/full", folder / "2.AVI");
  WriteReport report;
  FragmentList list;
  for (const Fragment f : std::vector<Fragment>{{100, 50}, {150, 50}, {400, 50}, {450, 50}, {900, 50}, {950, 50}}) {
    list.push_back(f);
  }
  try {
    WriteFragments(source, list, kHeader, folder.Path(), observer, report);
    FAIL() << "a write to a full disk must fail";
  } catch (const KorvidError& e) {
    EXPECT_EQ(e.Kind(), ErrorKind::WriteFailed);
    EXPECT_EQ(e.Path(), (folder / "2.AVI").string());
    EXPECT_NE(std::string(e.what()).find("No space left on device"), std::string::npos) << e.what();
  }
  ASSERT_EQ(report.Files.size(), 2u);
  EXPECT_TRUE(report.Files[0].Complete);
  EXPECT_FALSE(report.Files[1].Complete);
  EXPECT_EQ(ReadFile(folder / "1.AVI"), Expected(100, 200));
  EXPECT_FALSE(std::filesystem::exists(folder / "3.AVI"));  // the writer stopped
}

TEST_F(WriterTest, MissingOutputFolderIsACreateError) {
  FragmentList list;
  list.push_back({100, 50});
  list.push_back({150, 50});
  WriteReport report;
  try {
    WriteFragments(source, list, kHeader, folder / "missing", observer, report);
    FAIL();
  } catch (const KorvidError& e) {
    EXPECT_EQ(e.Kind(), ErrorKind::CreateFailed);
    EXPECT_EQ(std::string(e.what()),
              "Cannot create file \"" + (folder / "missing" / "1.AVI").string() + "\". No such file or directory");
  }
}

}  // namespace
}  // namespace korvid
