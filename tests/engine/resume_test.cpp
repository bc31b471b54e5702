// A run that keeps its progress: stopped part way and resumed, it writes the files of an
// uninterrupted run and reads nothing twice; a progress file that does not fit is refused.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <random>
#include <set>
#include <stdexcept>

#include "engine/errors.h"
#include "engine/rescue/progress_file.h"
#include "engine/scan_driver.h"
#include "tests/engine/memory_source.h"
#include "tests/engine/riff_builder.h"
#include "tests/engine/temp_folder.h"

namespace korvid {
namespace {

using testing::MemorySource;
using testing::ReadFile;
using testing::TempFolder;

constexpr int64_t Size = 12 << 20;

// Chains all over, some of them across the 256 KiB chunk borders where a run may stop.
std::vector<uint8_t> Medium() { return testing::ChainedMedium(Size, 1000, 70001, 4); }

struct StopAfter : RunObserver {
  explicit StopAfter(int chunks) : chunks_(chunks) {}
  bool StopRequested() override { return chunks_ >= 0 && seen_ >= chunks_; }
  void ScanProgress(int64_t, int64_t) override { ++seen_; }
  int chunks_;
  int seen_ = 0;
};

class Resume : public ::testing::Test {
 protected:
  RecoveryReport Run(MemorySource& source, const std::string& out, int stopAfter, bool resume,
                     ScanMode mode = ScanMode::WholeDisk) {
    StopAfter observer(stopAfter);
    return Run(source, out, observer, resume, mode);
  }
  RecoveryReport Run(MemorySource& source, const std::string& out, RunObserver& observer, bool resume,
                     ScanMode mode = ScanMode::WholeDisk) {
    std::filesystem::create_directories(folder / out);
    RecoveryRequest request;
    request.Source = &source;
    request.Mode = mode;
    request.OutputFolder = folder / out;
    request.Header = {'h', 'd', 'r', 'm', 'o', 'v', 'i'};
    request.ProgressFolder = folder / out;
    request.Resume = resume;
    RecoveryReport report;
    RunRecovery(request, observer, report);
    return report;
  }
  TempFolder folder;
};

TEST_F(Resume, StoppedAndResumedRunsWriteTheFilesOfAnUninterruptedOneAndReadNothingTwice) {
  MemorySource whole(Medium());
  const RecoveryReport expected = Run(whole, "whole", -1, false);
  ASSERT_GT(expected.Write.Files.size(), 100u);

  for (const int stop : {5, 23, 41}) {
    const std::string out = "stopped-" + std::to_string(stop);
    MemorySource first(Medium());
    const RecoveryReport stopped = Run(first, out, stop, false);
    ASSERT_TRUE(stopped.Stopped);
    MemorySource second(Medium());
    const RecoveryReport resumed = Run(second, out, -1, true);
    EXPECT_FALSE(resumed.Stopped);
    ASSERT_EQ(resumed.Write.Files.size(), expected.Write.Files.size()) << stop;
    for (size_t i = 0; i < expected.Write.Files.size(); ++i) {
      EXPECT_EQ(ReadFile(resumed.Write.Files[i].Path), ReadFile(expected.Write.Files[i].Path)) << stop << " file " << i;
    }
    // The resumed scan reads on where the first stopped; of what that one scanned, only the
    // first sectors are read again, to know the source.
    int64_t firstEnd = 0;
    for (const auto& [offset, length] : first.reads) {
      if (length == 262144) firstEnd = std::max(firstEnd, offset + static_cast<int64_t>(length));
    }
    for (const auto& [offset, length] : second.reads) {
      if (length == 262144) {
        EXPECT_GE(offset, stop * int64_t{262144}) << "chunk read again at " << offset;
      }
    }
    EXPECT_GT(firstEnd, 0);
  }
}

TEST_F(Resume, AProgressFileThatDoesNotFitIsRefusedAndNothingIsWritten) {
  MemorySource first(Medium());
  Run(first, "out", 10, false);
  const std::filesystem::path map = folder / "out" / "korvid-progress.map";
  std::filesystem::path records;
  for (const auto& entry : std::filesystem::directory_iterator(folder / "out")) {
    if (entry.path().extension() == ".records") records = entry.path();
  }
  ASSERT_FALSE(records.empty());
  std::filesystem::create_directories(folder / "keep");
  std::filesystem::copy_file(map, folder / "keep" / "map");
  std::filesystem::copy_file(records, folder / "keep" / "records");
  // Removed first: MinGW's copy_file does not overwrite.
  auto copyOver = [](const std::filesystem::path& from, const std::filesystem::path& to) {
    std::filesystem::remove(to);
    std::filesystem::copy_file(from, to);
  };
  auto restore = [&] {
    copyOver(folder / "keep" / "map", map);
    copyOver(folder / "keep" / "records", records);
    for (const auto& entry : std::filesystem::directory_iterator(folder / "out")) {
      if (entry.path().extension() == ".AVI") std::filesystem::remove(entry.path());
    }
  };
  auto refused = [&](MemorySource& source, const char* why, ScanMode mode = ScanMode::WholeDisk) {
    try {
      Run(source, "out", -1, true, mode);
      ADD_FAILURE() << why << ": resumed";
    } catch (const KorvidError& e) {
      EXPECT_EQ(e.Kind(), ErrorKind::ProgressUnusable) << why;
    }
    EXPECT_TRUE(ReadFile(records) == ReadFile(folder / "keep" / "records")) << why << ": the records were changed";
    size_t written = 0;
    for (const auto& entry : std::filesystem::directory_iterator(folder / "out")) written += entry.path().extension() == ".AVI";
    EXPECT_EQ(written, 0u) << why;
  };
  restore();  // the stopped run wrote what it had found

  std::vector<uint8_t> other = Medium();
  other[10] ^= 1;  // another source: its first sectors differ
  MemorySource changed(other);
  refused(changed, "another source");
  std::vector<uint8_t> half = Medium();
  half.resize(Size / 2);
  MemorySource shorter(half);
  refused(shorter, "a source of another size");
  MemorySource same(Medium());
  refused(same, "another mode", ScanMode::FreeSpace);

  const std::vector<uint8_t> saved = ReadFile(map);
  const std::string text(saved.begin(), saved.end());
  std::ofstream(map) << text.substr(0, text.size() / 2) << "\n0x10 zz +\n";
  refused(same, "a damaged map");
  restore();
  std::filesystem::resize_file(records, std::filesystem::file_size(records) / 2);
  copyOver(records, folder / "keep" / "records");
  refused(same, "records cut short");
}

// Killed (here: failed) while coming back for what a failing disk's first pass skipped, a run
// goes on from the progress it kept meanwhile: what that calls read or bad is not tried again,
// and the files are those of an uninterrupted run.
TEST_F(Resume, KilledWhileComingBackItGoesOnWithoutTryingAgainWhatItTried) {
  // A bad sector every 200 KiB: the first pass skips a stretch behind each, some 3 MiB in all.
  const auto failing = [](MemorySource& medium) {
    for (int64_t sector = 100; sector < Size / 512; sector += 400) medium.badSectors.insert(sector);
  };
  MemorySource whole(Medium());
  failing(whole);
  const RecoveryReport expected = Run(whole, "whole", -1, false);
  ASSERT_GT(expected.Write.Files.size(), 100u);

  struct Killed : std::runtime_error {
    Killed() : std::runtime_error("killed") {}
  };
  // Dies once coming back has tried 2.5 MiB, after it kept its progress at least twice.
  struct KillWhileRetrying : RunObserver {
    void RetryProgress(uint64_t tried, uint64_t) override {
      if (tried >= (5u << 19)) throw Killed();
    }
  } kill;
  MemorySource first(Medium());
  failing(first);
  EXPECT_THROW(Run(first, "killed", kill, false), Killed);
  const SavedScan saved = ProgressFile(folder / "killed").Load();
  EXPECT_FALSE(saved.Complete);

  // The resumed run's reads until it writes its files.
  struct ScanReads : RunObserver {
    explicit ScanReads(MemorySource& source) : source_(&source) {}
    void WriteProgress(uint64_t, uint64_t) override {
      if (scanReads == SIZE_MAX) scanReads = source_->reads.size();
    }
    MemorySource* source_;
    size_t scanReads = SIZE_MAX;
  };
  MemorySource second(Medium());
  failing(second);
  ScanReads observer(second);
  const RecoveryReport resumed = Run(second, "killed", observer, true);
  ASSERT_EQ(resumed.Write.Files.size(), expected.Write.Files.size());
  for (size_t i = 0; i < expected.Write.Files.size(); ++i) {
    EXPECT_EQ(ReadFile(resumed.Write.Files[i].Path), ReadFile(expected.Write.Files[i].Path)) << "file " << i;
  }
  EXPECT_EQ(resumed.UnreadableRanges, expected.UnreadableRanges);
  size_t triedAgain = 0, blocksAgain = 0, blocks = 0;
  for (size_t r = 0; r < std::min(observer.scanReads, second.reads.size()); ++r) {
    const auto [offset, length] = second.reads[r];
    const int64_t end = offset + static_cast<int64_t>(length);
    blocks += length == 65536 ? 1 : 0;
    for (const auto& [range, state] : saved.Runs) {
      if (offset >= range.Offset + range.Length || range.Offset >= end) continue;
      triedAgain += state == SectorState::Bad ? 1 : 0;
      blocksAgain += state == SectorState::Finished && length == 65536 ? 1 : 0;
    }
  }
  EXPECT_EQ(triedAgain, 0u) << "reads of sectors the killed run found bad";
  EXPECT_EQ(blocksAgain, 0u) << "blocks the killed run had read, read again";
  EXPECT_GT(blocks, 0u) << "the resumed run came back for nothing";
  // Of the blocks the killed run came back for, the resumed one reads again at most those read
  // since the killed run last kept its progress: 1 MiB of tries.
  std::set<int64_t> killedBlocks;
  for (const auto& [offset, length] : first.reads) {
    if (length == 65536) killedBlocks.insert(offset);
  }
  size_t again = 0;
  for (size_t r = 0; r < std::min(observer.scanReads, second.reads.size()); ++r) {
    again += second.reads[r].second == 65536 && killedBlocks.count(second.reads[r].first) != 0 ? 1 : 0;
  }
  EXPECT_LE(again, 16u) << "of " << blocks << " blocks, the killed run had read these already";
}

// A run killed after its scan has ended, while it writes its files, left a progress file that
// carries no bytes; a resumed run must read it back, and take nothing but hex digits as bytes.
TEST_F(Resume, TheProgressOfAnEndedScanIsReadBackAndDamagedBytesAreRefused) {
  FragmentList records;
  records.push_back({4096, 520, 0x63643030});
  for (const std::vector<uint8_t>& carried : {std::vector<uint8_t>{}, std::vector<uint8_t>{0x00, 0x9f, 0xff}}) {
    ProgressFile file(folder.Path());
    SavedScan scan;
    scan.SourceSize = Size;
    scan.FirstSectors = 7;
    scan.Scope = 11;
    scan.Position = carried.empty() ? Size : 1 << 20;
    scan.Complete = carried.empty();
    scan.Runs = {{{0, Size}, SectorState::Finished}};
    scan.Carried = carried;
    file.Save(scan, records);
    const SavedScan loaded = ProgressFile(folder.Path()).Load();
    EXPECT_EQ(loaded.Complete, scan.Complete);
    EXPECT_EQ(loaded.Position, scan.Position);
    EXPECT_EQ(loaded.Carried, carried);
    ASSERT_EQ(loaded.Records.size(), 1u);
    EXPECT_EQ(loaded.Records[0].Position, 4096);
  }
  const std::vector<uint8_t> saved = ReadFile(folder.Path() / "korvid-progress.map");
  std::string text(saved.begin(), saved.end());
  const size_t at = text.find("carried 009fff");
  ASSERT_NE(at, std::string::npos);
  text.replace(at, 14, "carried 00zzff");
  std::ofstream(folder.Path() / "korvid-progress.map", std::ios::binary) << text;
  try {
    ProgressFile(folder.Path()).Load();
    ADD_FAILURE() << "bytes that are not hex digits were taken";
  } catch (const KorvidError& e) {
    EXPECT_EQ(e.Kind(), ErrorKind::ProgressUnusable);
  }
}

// The sample of a recorder whose recordings are many small chunks, of a codec the engine does not
// decode; and a card holding three such recordings written at once in runs of clusters, some
// 250,000 chunks: a run that joins the pieces takes records into pieces while it scans.
std::vector<uint8_t> SmallChunksSample() {
  std::vector<uint8_t> bytes = testing::riff::FfmpegLike();
  for (size_t at = 0; at + 4 <= bytes.size(); ++at) {
    if (testing::riff::Get32(bytes, at) == 0x34363248) std::memcpy(bytes.data() + at, "TEST", 4);  // "H264"
  }
  return bytes;
}

std::vector<uint8_t> SmallChunksCard() {
  std::mt19937 random(17);
  const std::vector<uint8_t> head = SmallChunksSample();
  std::vector<std::vector<uint8_t>> files(3);
  for (size_t k = 0; k < files.size(); ++k) {
    std::vector<uint8_t>& file = files[k];
    file = head;
    for (int chunk = 0; chunk < 80000; ++chunk) {
      const uint32_t size = 8 + 2 * (random() % 24);
      const size_t at = file.size();
      file.resize(at + 8 + size, static_cast<uint8_t>(0x80 + k));
      testing::PutChunkHeader(file, at, chunk % 3 == 2 ? "01wb" : "00dc", size);
    }
  }
  std::vector<uint8_t> card = testing::Filler(8192);
  std::vector<size_t> done(files.size(), 0);
  for (bool more = true; more;) {
    more = false;
    for (size_t k = 0; k < files.size(); ++k) {
      if (done[k] >= files[k].size()) continue;
      const size_t run = 4096 * (1 + random() % 3);
      const size_t take = std::min(run, files[k].size() - done[k]);
      card.insert(card.end(), files[k].begin() + static_cast<long>(done[k]), files[k].begin() + static_cast<long>(done[k] + take));
      card.resize(card.size() + run - take, 0x55);
      done[k] += take;
      more = true;
    }
  }
  card.resize(card.size() + 8192, 0x55);
  return card;
}

TEST_F(Resume, ARunThatJoinsPiecesKeepsThemWithItsProgressAndResumedWritesTheFilesOfAnUninterruptedOne) {
  const std::vector<uint8_t> card = SmallChunksCard();
  const auto run = [&](const std::string& out, int stopAfter, bool resume) {
    MemorySource source(card);
    StopAfter observer(stopAfter);
    std::filesystem::create_directories(folder / out);
    RecoveryRequest request;
    request.Source = &source;
    request.OutputFolder = folder / out;
    request.Header = SmallChunksSample();
    request.Deep = request.RepairHeaders = request.Reassemble = true;
    request.ProgressFolder = folder / out;
    request.Resume = resume;
    RecoveryReport report;
    RunRecovery(request, observer, report);
    return report;
  };
  const RecoveryReport expected = run("whole", -1, false);
  ASSERT_GT(expected.FragmentsFound, 200000u);
  ASSERT_GE(expected.Write.Files.size(), 1u);
  ASSERT_GT(expected.Write.JoinedRecordings, 0u);

  for (const int stop : {12, 25}) {
    const std::string out = "stopped-" + std::to_string(stop);
    ASSERT_TRUE(run(out, stop, false).Stopped);
    // What the stopped run kept: the pieces its records went into, and only the records after.
    const SavedScan saved = ProgressFile(folder / out).Load();
    EXPECT_GT(saved.Pieces.Pieces.size(), 10u) << stop;
    EXPECT_GT(saved.Pieces.DroppedRecords, 2 * saved.Records.size()) << stop;
    EXPECT_FALSE(saved.Pieces.Interleave.Follows.empty()) << stop;
    for (const auto& entry : std::filesystem::directory_iterator(folder / out)) {
      if (entry.path().extension() == ".AVI") std::filesystem::remove(entry.path());
    }
    const RecoveryReport resumed = run(out, -1, true);
    EXPECT_EQ(resumed.FragmentsFound, expected.FragmentsFound) << stop;
    ASSERT_EQ(resumed.Write.Files.size(), expected.Write.Files.size()) << stop;
    for (size_t i = 0; i < expected.Write.Files.size(); ++i) {
      EXPECT_EQ(ReadFile(resumed.Write.Files[i].Path), ReadFile(expected.Write.Files[i].Path)) << stop << " file " << i;
    }
  }
}

// A run killed while it appended to its records or pieces left bytes past those its map counts;
// the run that goes on from it appends after what the map counts, not after those bytes.
TEST_F(Resume, WhatAKilledSaveAppendedPastItsMapIsNotTakenForRecordsOrPieces) {
  SavedScan scan;
  scan.SourceSize = Size;
  scan.Runs = {{{0, Size}, SectorState::Finished}};
  FragmentList records;
  PieceCollection pieces;
  for (int64_t k = 0; k < 3; ++k) {
    records.push_back({4096 * k, 520, 0x63643030});
    pieces.Pieces.push_back({4096 * k, 4096 * k, 520, 1, 0x63643030, 0x63643030});
  }
  ProgressFile(folder.Path()).Save(scan, records, &pieces);
  for (const auto& entry : std::filesystem::directory_iterator(folder.Path())) {
    if (entry.path().extension() != ".map") std::ofstream(entry.path(), std::ios::binary | std::ios::app) << "half a record";
  }
  ProgressFile file(folder.Path());
  SavedScan loaded = file.Load();
  ASSERT_EQ(loaded.Records.size(), 3u);
  ASSERT_EQ(loaded.Pieces.Pieces.size(), 3u);
  loaded.Records.push_back({4096 * 3, 520, 0x63643030});
  loaded.Pieces.Pieces.push_back({4096 * 3, 4096 * 3, 520, 1, 0x63643030, 0x63643030});
  file.Save(scan, loaded.Records, &loaded.Pieces);
  const SavedScan again = ProgressFile(folder.Path()).Load();
  ASSERT_EQ(again.Records.size(), 4u);
  ASSERT_EQ(again.Pieces.Pieces.size(), 4u);
  for (int64_t k = 0; k < 4; ++k) {
    EXPECT_EQ(again.Records[static_cast<size_t>(k)].Position, 4096 * k);
    EXPECT_EQ(again.Pieces.Pieces[static_cast<size_t>(k)].Start, 4096 * k);
  }
}

TEST_F(Resume, AreasAnImagingCouldNotReadAreNotTried) {
  MemorySource source(Medium());
  std::filesystem::create_directories(folder / "out");
  RecoveryRequest request;
  request.Source = &source;
  request.OutputFolder = folder / "out";
  request.Header = {'h', 'd', 'r', 'm', 'o', 'v', 'i'};
  request.KnownBad = {{3 << 20, 300000}, {9 << 20, 512}};
  RecoveryReport report;
  RunObserver observer;
  RunRecovery(request, observer, report);
  for (const auto& [offset, length] : source.reads) {
    for (const ByteRange& bad : request.KnownBad) {
      EXPECT_FALSE(offset < bad.Offset + bad.Length && bad.Offset < offset + static_cast<int64_t>(length))
          << "read " << offset << "+" << length;
    }
  }
  EXPECT_EQ(report.UnreadableRanges, request.KnownBad);
}

}  // namespace
}  // namespace korvid
