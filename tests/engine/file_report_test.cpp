#include "engine/report/file_report.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "engine/errors.h"
#include "engine/fourcc.h"
#include "temp_folder.h"

namespace korvid {
namespace {

namespace fs = std::filesystem;

constexpr int64_t Dec8 = 1796742000;  // 2026-12-08 15:00:00 UTC

WrittenFile File(const fs::path& folder, const std::string& name, int64_t start) {
  WrittenFile f;
  f.Path = folder / name;
  f.Complete = true;
  f.SourceStart = start;
  f.SourceEnd = start + 1000;
  f.FramesPerStream = {120, 240};
  f.DurationSeconds = 4.8;
  return f;
}

std::string Text(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(FileReport, ListsWhatEachFileIsAndReadsItBack) {
  testing::TempFolder folder;
  WrittenFile named = File(folder.Path(), "1 CH01_20261208_150000.AVI", 4096);
  named.Entry = SourceEntry{};
  named.Entry->Name = "CH01\t20261208\\150000\n.AVI";  // a damaged entry's separators survive
  named.Entry->Modified = Dec8 + 60;
  named.RecordingTime = Dec8;
  named.Pieces = 3;
  WrittenFile plain = File(folder.Path(), "2.AVI", 1 << 20);
  plain.StreamTypes = {FourCC("auds"), FourCC("vids")};
  WrittenFile broken = File(folder.Path(), "3.AVI", 1 << 21);
  broken.Complete = false;  // the file a failure interrupted is not listed
  AppendFileReport(folder.Path(), {named, plain, broken}, {FourCC("vids"), FourCC("auds")});

  const std::vector<FileReportLine> lines = ReadFileReport(folder.Path());
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].File, "1 CH01_20261208_150000.AVI");
  EXPECT_EQ(lines[0].RecordedAs, named.Entry->Name);
  EXPECT_EQ(lines[0].Time, Dec8);  // the recording's own time before its entry's
  EXPECT_DOUBLE_EQ(lines[0].DurationSeconds, 4.8);
  EXPECT_EQ(lines[0].VideoFrames, 120u);  // the sample's first stream is the video
  EXPECT_EQ(lines[0].FramesPerStream, (std::vector<uint64_t>{120, 240}));
  EXPECT_EQ(lines[0].SourceStart, 4096);
  EXPECT_EQ(lines[0].SourceEnd, 5096);
  EXPECT_EQ(lines[0].Pieces, 3u);
  EXPECT_EQ(lines[0].Kind, "AVI");
  EXPECT_EQ(lines[1].File, "2.AVI");
  EXPECT_TRUE(lines[1].RecordedAs.empty());
  EXPECT_FALSE(lines[1].Time.has_value());
  EXPECT_EQ(lines[1].VideoFrames, 240u);  // the file's own streams decide
}

TEST(FileReport, LaterRunsAddTheirLinesAndTheLastLineOfANameTells) {
  testing::TempFolder folder;
  AppendFileReport(folder.Path(), {File(folder.Path(), "1.AVI", 0), File(folder.Path(), "2.AVI", 5000)}, {});
  WrittenFile again = File(folder.Path(), "2.AVI", 9000);
  AppendFileReport(folder.Path(), {again, File(folder.Path(), "3.AVI", 7000)}, {});
  const std::vector<FileReportLine> lines = ReadFileReport(folder.Path());
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0].File, "1.AVI");
  EXPECT_EQ(lines[1].File, "2.AVI");
  EXPECT_EQ(lines[1].SourceStart, 9000);
  EXPECT_EQ(lines[2].File, "3.AVI");
  EXPECT_FALSE(fs::exists(folder / (std::string(FileReportName) + ".new")));
}

TEST(FileReport, NothingWrittenLeavesNoListAndDamagedLinesArePassedOver) {
  testing::TempFolder folder;
  AppendFileReport(folder.Path(), {}, {});
  EXPECT_FALSE(fs::exists(folder / FileReportName));
  EXPECT_TRUE(ReadFileReport(folder.Path()).empty());

  AppendFileReport(folder.Path(), {File(folder.Path(), "1.AVI", 0)}, {});
  std::ofstream(folder / FileReportName, std::ios::app)
      << "2.AVI\t\tyesterday\t1\t1\t1\t0\t1\t1\tAVI\n"  // a time that does not parse
      << "3.AVI\tonly three\tfields\n"
      << "4.AVI\t\t\t1.5\t2\t2\t0\t10\t1\tMP4";  // a last line without its newline
  const std::vector<FileReportLine> lines = ReadFileReport(folder.Path());
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[1].File, "4.AVI");
  EXPECT_EQ(lines[1].Kind, "MP4");
  AppendFileReport(folder.Path(), {File(folder.Path(), "5.AVI", 0)}, {});
  EXPECT_EQ(ReadFileReport(folder.Path()).back().File, "5.AVI");
}

TEST(FileReport, AListThatCannotBeWrittenKeepsTheEarlierOne) {
  testing::TempFolder folder;
  AppendFileReport(folder.Path(), {File(folder.Path(), "1.AVI", 0)}, {});
  const std::string before = Text(folder / FileReportName);
  fs::create_directory(folder / (std::string(FileReportName) + ".new"));  // the new list cannot be made
  try {
    AppendFileReport(folder.Path(), {File(folder.Path(), "2.AVI", 0)}, {});
    FAIL() << "no error";
  } catch (const KorvidError& e) {
    EXPECT_NE(e.Path().find(FileReportName), std::string::npos);
  }
  EXPECT_EQ(Text(folder / FileReportName), before);
}

}  // namespace
}  // namespace korvid
