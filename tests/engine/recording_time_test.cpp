#include "engine/naming/recording_time.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <span>

#include "engine/naming/civil_time.h"
#include "memory_source.h"
#include "riff_builder.h"

namespace korvid {
namespace {

using namespace testing::riff;

// 2026-12-08 15:00:00 UTC.
constexpr int64_t Dec8 = 1796742000;

TEST(RecordingDate, ReadsTheFormsRecordersWrite) {
  EXPECT_EQ(ParseRecordingDate("THU DEC 08 15:00:00 2026"), Dec8);
  EXPECT_EQ(ParseRecordingDate("Tue Dec  8 15:00:00 2026\n"), Dec8);
  EXPECT_EQ(ParseRecordingDate("DEC 08 15:00:00 2026"), Dec8);
  EXPECT_EQ(ParseRecordingDate("2026:12:08 15:00:00"), Dec8);
  EXPECT_EQ(ParseRecordingDate("2026-12-08T15:00:00Z"), Dec8);
  EXPECT_EQ(ParseRecordingDate("2026/12/08 15:00:00"), Dec8);
  EXPECT_EQ(ParseRecordingDate("2026-12-08"), Dec8 - 15 * 3600);
  EXPECT_EQ(ParseRecordingDate("Sat Feb 29 23:59:59 2028"), 1835481599);
}

TEST(RecordingDate, RefusesWhatIsNoDate) {
  for (const char* text : {"", "Lavf59.27.100", "THU XYZ 08 15:00:00 2026", "2026-13-08", "2026-02-30",
                           "2026-12-08 24:00:00", "THU DEC 08 15:00 2026", "12-08-2026", "2026-12-08 15:00",
                           "20261208150000", "2026-12-08 15:00:00 +0100", "Feb 29 00:00:00 2027"}) {
    EXPECT_FALSE(ParseRecordingDate(text).has_value()) << text;
  }
}

TEST(CivilTime, IsoTextAndSecondsAgree) {
  EXPECT_EQ(IsoUtcText(Dec8), "2026-12-08T15:00:00Z");
  EXPECT_EQ(IsoUtcText(0), "1970-01-01T00:00:00Z");
  EXPECT_EQ(IsoUtcText(-1), "1969-12-31T23:59:59Z");
  EXPECT_EQ(SecondsSinceEpoch({2000, 3, 1, 0, 0, 0}), 951868800);
  EXPECT_FALSE(SecondsSinceEpoch({1900, 2, 29}).has_value());
}

Bytes Head(const std::vector<Bytes>& hdrl, const std::vector<Bytes>& top = {}) {
  std::vector<Bytes> all = {Avih(), VideoStrl()};
  all.insert(all.end(), hdrl.begin(), hdrl.end());
  return Sample(all, top);
}

TEST(RecordingTimeInHeader, IditInHdrlComesBeforeIcrd) {
  const Bytes info = List("INFO", {Chunk("ICRD", Text("2020-01-02"))});
  EXPECT_EQ(RecordingTimeInHeader(Head({Chunk("IDIT", Text("THU DEC 08 15:00:00 2026\n"))}, {info})), Dec8);
  EXPECT_EQ(RecordingTimeInHeader(Head({}, {info})), *ParseRecordingDate("2020-01-02"));
  EXPECT_EQ(RecordingTimeInHeader(Head({List("INFO", {Chunk("ICRD", Text("2026-12-08 15:00:00"))})})), Dec8);
}

TEST(RecordingTimeInHeader, NoneWithoutADateOrOutsideTheBytes) {
  EXPECT_FALSE(RecordingTimeInHeader(FfmpegLike()).has_value());
  EXPECT_FALSE(RecordingTimeInHeader(Head({Chunk("IDIT", Text("garbage"))})).has_value());
  const Bytes head = Head({Chunk("IDIT", Text("THU DEC 08 15:00:00 2026"))});
  ASSERT_EQ(RecordingTimeInHeader(head), Dec8);
  Bytes noRiff = head;
  noRiff[0] = 'X';
  EXPECT_FALSE(RecordingTimeInHeader(noRiff).has_value());
  // Cut inside the IDIT's text: what is left is no whole date.
  const size_t idit = std::search(head.begin(), head.end(), std::begin("IDIT"), std::end("IDIT") - 1) - head.begin();
  EXPECT_FALSE(RecordingTimeInHeader(std::span(head).first(idit + 8 + 10)).has_value());
  EXPECT_FALSE(RecordingTimeInHeader(Bytes(8)).has_value());
}

TEST(RecordingTimeInHeader, ASizeRunningPastTheEndReadsNothingOutside) {
  Bytes head = Head({Chunk("IDIT", Bytes(4, 'x'))});
  // The IDIT's size word claims a megabyte: its text is cut at the end of the bytes.
  const size_t idit = std::search(head.begin(), head.end(), std::begin("IDIT"), std::end("IDIT") - 1) - head.begin();
  head[idit + 6] = 0x10;
  head.resize(idit + 12);
  EXPECT_FALSE(RecordingTimeInHeader(head).has_value());
}

TEST(RecordingTimeAt, FindsTheHeaderBeforeTheFirstDataByte) {
  const Bytes head = Head({Chunk("IDIT", Text("THU DEC 08 15:00:00 2026"))});
  std::vector<uint8_t> disk = testing::Filler(300000);
  const size_t at = 100000;
  std::copy(head.begin(), head.end(), disk.begin() + at);
  // An earlier recording's header, with another date, must not be taken.
  const Bytes older = Head({Chunk("IDIT", Text("2001:01:01 00:00:00"))});
  std::copy(older.begin(), older.end(), disk.begin() + 60000);
  testing::MemorySource source(disk);
  const int64_t data = static_cast<int64_t>(at + head.size());
  EXPECT_EQ(RecordingTimeAt(source, data), Dec8);
  EXPECT_EQ(RecordingTimeAt(source, static_cast<int64_t>(at)), Dec8);  // a RIFF at the byte itself
  EXPECT_EQ(RecordingTimeAt(source, 61000), *ParseRecordingDate("2001:01:01 00:00:00"));
  // More than 64 KiB on, the header is no longer looked at.
  EXPECT_FALSE(RecordingTimeAt(source, static_cast<int64_t>(at) + HeaderSearchBytes + 1).has_value());
  EXPECT_FALSE(RecordingTimeAt(source, 50000).has_value());
}

TEST(RecordingTimeAt, AnUnreadableHeaderGivesNone) {
  const Bytes head = Head({Chunk("IDIT", Text("THU DEC 08 15:00:00 2026"))});
  std::vector<uint8_t> disk = testing::Filler(200000);
  std::copy(head.begin(), head.end(), disk.begin() + 70000);
  testing::MemorySource source(disk);
  source.badSectors.insert(70000 / 512);
  EXPECT_FALSE(RecordingTimeAt(source, 70000 + static_cast<int64_t>(head.size())).has_value());
}

}  // namespace
}  // namespace korvid
