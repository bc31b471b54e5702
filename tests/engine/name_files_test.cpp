#include "engine/naming/name_files.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>

#include "engine/errors.h"
#include "memory_source.h"
#include "riff_builder.h"
#include "temp_folder.h"

namespace korvid {
namespace {

namespace fs = std::filesystem;
using namespace testing::riff;

constexpr int64_t Cluster = 4096;
constexpr int64_t Dec8 = 1796742000;  // 2026-12-08 15:00:00 UTC

int64_t ModifiedSeconds(const fs::path& path) {
  const auto time = std::chrono::file_clock::to_sys(fs::last_write_time(path));
  return std::chrono::duration_cast<std::chrono::seconds>(time.time_since_epoch()).count();
}

struct Written {
  testing::TempFolder folder;
  WriteReport report;

  // File n (1, 2, ...) whose data begins at `data`.
  void Add(int64_t data) {
    WrittenFile& f = report.Files.emplace_back();
    f.Path = folder.Path() / (std::to_string(report.Files.size()) + ".AVI");
    f.Complete = true;
    f.SourceStart = data;
    f.Extents = {{data, 1000}};
    std::ofstream(f.Path) << "frames";
  }
};

SourceEntry Entry(const char* name, int64_t firstByte, std::optional<int64_t> modified) {
  SourceEntry e;
  e.Name = name;
  e.FirstByte = firstByte;
  e.Size = 10 * Cluster;
  e.ClusterSize = Cluster;
  e.Deleted = true;
  e.Modified = modified;
  return e;
}

TEST(NameFiles, RenamesMatchedFilesAndSetsTheirTimes) {
  // File 1 is a recording whose header states a time; file 2 has only its entry's; file 3 none.
  std::vector<uint8_t> disk = testing::Filler(40 * Cluster);
  const Bytes head = Sample({Avih(), VideoStrl(), Chunk("IDIT", Text("2026:12:08 15:00:00"))});
  std::copy(head.begin(), head.end(), disk.begin() + 2 * Cluster);
  testing::MemorySource source(disk);
  Written w;
  w.Add(2 * Cluster + static_cast<int64_t>(head.size()));
  w.Add(20 * Cluster + 8);
  w.Add(35 * Cluster);
  const fs::path third = w.report.Files[2].Path;
  const auto thirdTime = fs::last_write_time(third);
  NameFiles(source, {Entry("CH01_A.AVI", 2 * Cluster, Dec8 - 3600), Entry("_H02_B.AVI", 20 * Cluster, Dec8 + 60)},
            true, w.report);

  const auto& files = w.report.Files;
  EXPECT_EQ(files[0].Path, w.folder.Path() / "1 CH01_A.AVI");
  EXPECT_EQ(files[1].Path, w.folder.Path() / "2 _H02_B.AVI");
  EXPECT_EQ(files[2].Path, third);
  EXPECT_TRUE(fs::exists(files[0].Path));
  EXPECT_FALSE(fs::exists(w.folder.Path() / "1.AVI"));
  ASSERT_TRUE(files[0].Entry.has_value());
  EXPECT_EQ(files[0].Entry->Name, "CH01_A.AVI");
  EXPECT_EQ(files[0].RecordingTime, Dec8);
  EXPECT_FALSE(files[1].RecordingTime.has_value());
  EXPECT_FALSE(files[2].Entry.has_value());
  // The recording's own time wins over its entry's.
  EXPECT_EQ(ModifiedSeconds(files[0].Path), Dec8);
  EXPECT_EQ(ModifiedSeconds(files[1].Path), Dec8 + 60);
  EXPECT_EQ(fs::last_write_time(third), thirdTime);
}

TEST(NameFiles, WithoutRenamingTheNamesStayAndTheTimesAreSet) {
  testing::MemorySource source(testing::Filler(40 * Cluster));
  Written w;
  w.Add(3 * Cluster);
  NameFiles(source, {Entry("CH01_A.AVI", 3 * Cluster, Dec8)}, false, w.report);
  EXPECT_EQ(w.report.Files[0].Path, w.folder.Path() / "1.AVI");
  ASSERT_TRUE(w.report.Files[0].Entry.has_value());
  EXPECT_EQ(ModifiedSeconds(w.report.Files[0].Path), Dec8);
}

TEST(NameFiles, AnExistingFileIsNeverOverwritten) {
  testing::MemorySource source(testing::Filler(40 * Cluster));
  Written w;
  w.Add(3 * Cluster);
  std::ofstream(w.folder.Path() / "1 CH01_A.AVI") << "earlier";
  NameFiles(source, {Entry("CH01_A.AVI", 3 * Cluster, std::nullopt)}, true, w.report);
  EXPECT_EQ(w.report.Files[0].Path, w.folder.Path() / "1.AVI");
  std::ifstream earlier(w.folder.Path() / "1 CH01_A.AVI");
  std::string text;
  earlier >> text;
  EXPECT_EQ(text, "earlier");
}

TEST(NameFiles, IncompleteFilesAreLeftAlone) {
  testing::MemorySource source(testing::Filler(40 * Cluster));
  Written w;
  w.Add(3 * Cluster);
  w.report.Files[0].Complete = false;
  NameFiles(source, {Entry("CH01_A.AVI", 3 * Cluster, Dec8)}, true, w.report);
  EXPECT_EQ(w.report.Files[0].Path, w.folder.Path() / "1.AVI");
  EXPECT_FALSE(w.report.Files[0].Entry.has_value());
}

TEST(NameFiles, AFileThatVanishedIsAnErrorNamingIt) {
  testing::MemorySource source(testing::Filler(40 * Cluster));
  Written w;
  w.Add(3 * Cluster);
  fs::remove(w.report.Files[0].Path);
  try {
    NameFiles(source, {Entry("CH01_A.AVI", 3 * Cluster, Dec8)}, true, w.report);
    FAIL() << "no error";
  } catch (const KorvidError& e) {
    EXPECT_EQ(e.Kind(), ErrorKind::WriteFailed);
    EXPECT_NE(e.Path().find("1.AVI"), std::string::npos);
    EXPECT_FALSE(e.SystemText().empty());
  }
}

}  // namespace
}  // namespace korvid
