#include "engine/container_files.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <string>

#include "engine/errors.h"
#include "engine/iso_media/top_level_walk.h"
#include "engine/mxf/klv_walk.h"
#include "engine/scan_driver.h"
#include "engine/signatures.h"
#include "tests/engine/iso_builder.h"
#include "tests/engine/memory_source.h"
#include "tests/engine/temp_folder.h"

namespace korvid {
namespace {

using testing::Bytes;
using testing::Concat;
using testing::MakeBox;
using testing::MemorySource;
using testing::MovieWithChunks;
using testing::Put32;
using testing::Put64;
using testing::PutType;
using testing::ReadFile;
using testing::TempFolder;

Bytes Random(size_t size, unsigned seed) {
  std::mt19937 random(seed);
  Bytes bytes(size);
  for (uint8_t& b : bytes) b = static_cast<uint8_t>(random());
  return bytes;
}

Bytes FileType(const char* brand) {
  Bytes payload(brand, brand + 4);
  payload.resize(8);
  payload.insert(payload.end(), {'i', 's', 'o', 'm'});
  return MakeBox("ftyp", payload);
}

Bytes Place(Bytes medium, size_t at, const Bytes& file) {
  std::copy(file.begin(), file.end(), medium.begin() + static_cast<std::ptrdiff_t>(at));
  return medium;
}

std::vector<ContainerFile> Find(MemorySource& device) {
  SourceBytes source(device);
  const PatternList patterns(ContainerPatterns);
  FragmentList hits;
  SearchChunk(patterns, device.Bytes(), 0, hits);
  SortFragments(hits);
  RunObserver observer;
  return FindContainerFiles(source, hits, observer);
}

// An MP4 of ftyp, free, mdat (six samples of 100 bytes) and a moov that points into it.
Bytes SmallMp4(const char* brand = "isom") {
  const Bytes head = Concat({FileType(brand), MakeBox("free", {})});
  const uint32_t data = static_cast<uint32_t>(head.size() + 8);
  return Concat({head, MakeBox("mdat", Bytes(600, 0x11)), MovieWithChunks(100, data, data + 300)});
}

TEST(TopLevelWalk, EndsAtSizesThatCannotBeAndCutsAtTheSourcesEnd) {
  auto walk = [](const Bytes& bytes) {
    MemorySource device(bytes);
    SourceBytes source(device);
    return iso::WalkTopLevel(source, 0, device.Size());
  };
  Bytes bytes = FileType("mp42");
  Put32(bytes, 7);  // too small for a box
  PutType(bytes, "free");
  bytes.resize(bytes.size() + 64);
  EXPECT_EQ(walk(bytes).Boxes.size(), 1u);

  bytes = FileType("mp42");
  Put32(bytes, 1);  // a largesize below its own header
  PutType(bytes, "mdat");
  Put64(bytes, 15);
  bytes.resize(bytes.size() + 64);
  EXPECT_EQ(walk(bytes).Boxes.size(), 1u);

  bytes = FileType("mp42");
  Put32(bytes, 0);  // to the end
  PutType(bytes, "mdat");
  bytes.resize(bytes.size() + 64);
  iso::TopLevelWalk w = walk(bytes);
  ASSERT_EQ(w.Boxes.size(), 2u);
  EXPECT_TRUE(w.Boxes[1].Cut);
  EXPECT_EQ(w.End, static_cast<int64_t>(bytes.size()));

  bytes = FileType("mp42");
  Put32(bytes, 1);
  PutType(bytes, "mdat");
  Put64(bytes, 1ull << 40);  // past the source
  bytes.resize(bytes.size() + 64);
  w = walk(bytes);
  ASSERT_EQ(w.Boxes.size(), 2u);
  EXPECT_TRUE(w.Boxes[1].Cut);
  EXPECT_EQ(w.Boxes[1].HeaderSize, 16u);

  // An unknown type and a second file type box both end the file.
  bytes = Concat({FileType("mp42"), MakeBox("abcd", Bytes(8)), MakeBox("free", {})});
  EXPECT_EQ(walk(bytes).Boxes.size(), 1u);
  bytes = Concat({FileType("mp42"), MakeBox("free", {}), FileType("isom")});
  EXPECT_EQ(walk(bytes).End, 28);
}

TEST(TopLevelWalk, NamesTheKindByTheMajorBrand) {
  EXPECT_STREQ(iso::ExtensionForBrand(iso::BoxType("qt  ")), "MOV");
  EXPECT_STREQ(iso::ExtensionForBrand(iso::BoxType("3gp5")), "3GP");
  EXPECT_STREQ(iso::ExtensionForBrand(iso::BoxType("3g2a")), "3GP");
  EXPECT_STREQ(iso::ExtensionForBrand(iso::BoxType("M4V ")), "M4V");
  for (const uint32_t brand : {iso::BoxType("isom"), iso::BoxType("mp42"), iso::BoxType("avc1"), iso::BoxType("iso6"),
                               iso::BoxType("MSNV"), iso::BoxType("xyz1")}) {
    EXPECT_STREQ(iso::ExtensionForBrand(brand), "MP4") << brand;
  }
}

TEST(ContainerFiles, WholeFileEndsWithItsLastBoxWhateverFollows) {
  const Bytes mp4 = SmallMp4("avc1");
  // A stale movie box right after the file: it belongs to no file this one needs.
  const Bytes stale = MovieWithChunks(100, 8, 308);
  MemorySource device(Place(Place(testing::Filler(20000), 1000, mp4), 1000 + mp4.size(), stale));
  const std::vector<ContainerFile> files = Find(device);
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(files[0].Start, 1000);
  EXPECT_EQ(files[0].End, 1000 + static_cast<int64_t>(mp4.size()));
  EXPECT_TRUE(files[0].Complete);
  EXPECT_FALSE(files[0].CutOff);
  EXPECT_EQ(files[0].Extension, "MP4");
  EXPECT_EQ(files[0].SamplesPerTrack, std::vector<uint64_t>{6});
}

TEST(ContainerFiles, CutOffMediaDataEndsWhereTheNextFileBegins) {
  Bytes cut = Concat({FileType("mp42"), MakeBox("free", {})});
  Put32(cut, 0);
  PutType(cut, "mdat");
  cut.resize(cut.size() + 5000, 0x22);
  const Bytes next = SmallMp4();
  MemorySource device(Place(Place(testing::Filler(40000), 512, cut), 20480, next));
  const std::vector<ContainerFile> files = Find(device);
  ASSERT_EQ(files.size(), 2u);
  EXPECT_TRUE(files[0].CutOff);
  EXPECT_FALSE(files[0].Complete);
  EXPECT_EQ(files[0].End, 20480);
  EXPECT_EQ(files[0].MediaData.MdatStart, 512 + 28);
  EXPECT_EQ(files[0].MediaData.DeclaredSize, 0u);
  EXPECT_EQ(files[0].MediaData.Limit, 20480);
  EXPECT_TRUE(files[1].Complete);
}

TEST(ContainerFiles, MovieWhoseChunksPointPastItsMediaDataIsBrokenOff) {
  const Bytes head = FileType("mp42");
  const uint32_t data = static_cast<uint32_t>(head.size() + 8);
  const Bytes mp4 = Concat({head, MakeBox("mdat", Bytes(300, 0x11)), MovieWithChunks(100, data, data + 300)});
  MemorySource device(Place(testing::Filler(8192), 100, mp4));
  const std::vector<ContainerFile> files = Find(device);
  ASSERT_EQ(files.size(), 1u);
  EXPECT_FALSE(files[0].Complete);
  EXPECT_FALSE(files[0].CutOff);
}

// Older QuickTime: no ftyp; the movie's offsets count from the file's first box, a "wide" one.
TEST(ContainerFiles, QuickTimeWithoutFileTypeFromItsMovieAndMediaData) {
  const Bytes wide = MakeBox("wide", {});
  const Bytes mov = Concat({wide, MakeBox("mdat", Bytes(600, 0x33)), MovieWithChunks(100, 16, 316)});
  // Movie first, media data after it: the offsets count from the movie box.
  const Bytes movie = MovieWithChunks(100, 0, 300);
  const uint32_t movieSize = static_cast<uint32_t>(movie.size());
  const Bytes movieFirst = Concat({MovieWithChunks(100, movieSize + 8, movieSize + 308), MakeBox("mdat", Bytes(600))});
  MemorySource device(Place(Place(testing::Filler(30000), 3000, mov), 17000, movieFirst));
  const std::vector<ContainerFile> files = Find(device);
  ASSERT_EQ(files.size(), 2u);
  EXPECT_EQ(files[0].Start, 3000);
  EXPECT_EQ(files[0].End, 3000 + static_cast<int64_t>(mov.size()));
  EXPECT_EQ(files[0].Extension, "MOV");
  EXPECT_TRUE(files[0].Complete);
  EXPECT_EQ(files[1].Start, 17000);
  EXPECT_EQ(files[1].End, 17000 + static_cast<int64_t>(movieFirst.size()));
}

// A KLV triplet with a 4-byte BER length.
Bytes Triplet(const Bytes& key, const Bytes& value) {
  Bytes out = key;
  out.push_back(0x83);
  for (int shift = 16; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(value.size() >> shift));
  out.insert(out.end(), value.begin(), value.end());
  return out;
}

Bytes PartitionKey(uint8_t kind) {
  return {0x06, 0x0E, 0x2B, 0x34, 0x02, 0x05, 0x01, 0x01, 0x0D, 0x01, 0x02, 0x01, 0x01, kind, 0x04, 0x00};
}

Bytes PartitionPack(uint8_t kind, uint64_t thisPartition) {
  Bytes value(8, 0);
  Put64(value, thisPartition);
  value.resize(88, 0);
  return Triplet(PartitionKey(kind), value);
}

const Bytes EssenceKey = {0x06, 0x0E, 0x2B, 0x34, 0x01, 0x02, 0x01, 0x01,
                          0x0D, 0x01, 0x03, 0x01, 0x15, 0x01, 0x05, 0x00};

TEST(MxfWalk, RunsThroughItsPartitionsToTheRandomIndexPack) {
  Bytes mxf = Concat({PartitionPack(0x02, 0), Triplet(EssenceKey, Bytes(5000, 0x44))});
  mxf = Concat({mxf, PartitionPack(0x03, mxf.size()), Triplet(EssenceKey, Bytes(3000, 0x45))});
  const size_t bodyEnd = mxf.size();
  mxf = Concat({mxf, PartitionPack(0x04, mxf.size())});
  const Bytes rip = Triplet({0x06, 0x0E, 0x2B, 0x34, 0x02, 0x05, 0x01, 0x01, 0x0D, 0x01, 0x02, 0x01, 0x01, 0x11, 0x01, 0x00},
                            Bytes(16, 0));
  const Bytes whole = Concat({mxf, rip});
  // After it: the same file's bytes again (a second copy), and a file cut off before its footer.
  Bytes medium = Place(testing::Filler(60000), 700, whole);
  medium = Place(medium, 700 + whole.size(), whole);
  const size_t cutAt = 40000;
  medium = Place(medium, cutAt, Bytes(mxf.begin(), mxf.begin() + static_cast<std::ptrdiff_t>(bodyEnd)));
  std::fill(medium.begin() + static_cast<std::ptrdiff_t>(cutAt + bodyEnd), medium.end(), 0);
  MemorySource device(medium);
  const std::vector<ContainerFile> files = Find(device);
  ASSERT_EQ(files.size(), 3u);
  EXPECT_EQ(files[0].Start, 700);
  EXPECT_EQ(files[0].End, 700 + static_cast<int64_t>(whole.size()));
  EXPECT_TRUE(files[0].Complete);
  EXPECT_EQ(files[1].Start, 700 + static_cast<int64_t>(whole.size()));
  EXPECT_EQ(files[0].Extension, "MXF");
  // The file cut off before its footer ends with the last triplet it holds.
  EXPECT_FALSE(files[2].Complete);
  EXPECT_EQ(files[2].Start, static_cast<int64_t>(cutAt));
  EXPECT_EQ(files[2].End, static_cast<int64_t>(cutAt + bodyEnd));

  // A partition that names another offset than its own is another file's: the walk stops there.
  Bytes foreign = Concat({PartitionPack(0x02, 0), Triplet(EssenceKey, Bytes(100)), PartitionPack(0x03, 12345)});
  MemorySource alone(Place(Bytes(4096, 0), 0, foreign));
  SourceBytes source(alone);
  const auto walk = mxf::WalkMxfFile(source, 0);
  ASSERT_TRUE(walk.has_value());
  EXPECT_EQ(walk->End, static_cast<int64_t>(PartitionPack(0x02, 0).size() + Triplet(EssenceKey, Bytes(100)).size()));
  EXPECT_FALSE(walk->Complete);
}

TEST(ContainerFiles, RandomBytesHoldNoFile) {
  MemorySource device(Random(16 << 20, 7));
  EXPECT_TRUE(Find(device).empty());
}

// Real recordings made by ffmpeg, through a whole container-mode run.
class ContainerRun : public ::testing::Test {
 protected:
  std::filesystem::path Make(const std::string& name, const std::string& args) {
    const std::filesystem::path path = folder / name;
    const std::string command = "ffmpeg -nostdin -v error -y " + args + " '" + path.string() + "'";
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
    return path;
  }
  TempFolder folder;
};

TEST_F(ContainerRun, WholeFilesComeBackByteForByteInSourceOrder) {
  const std::string picture = "-f lavfi -i testsrc=size=320x240:rate=25 -f lavfi -i sine=frequency=500 -t 2 ";
  const std::vector<std::filesystem::path> made = {
      Make("a.mp4", picture + "-c:v libx264 -c:a aac"),
      Make("b.mov", picture + "-c:v libx264 -c:a pcm_s16le -movflags faststart"),
      Make("c.mxf", "-f lavfi -i testsrc=size=720x576:rate=25 -f lavfi -i sine=sample_rate=48000 -t 1 "
                    "-c:v mpeg2video -c:a pcm_s16le"),
      Make("d.3gp", "-f lavfi -i testsrc=size=176x144:rate=15 -f lavfi -i sine=sample_rate=8000 -t 2 "
                    "-c:v h263 -c:a aac -ac 1"),
  };
  Bytes medium = Random(24 << 20, 3);
  std::vector<std::pair<size_t, Bytes>> placed;
  size_t at = 777777;
  for (const std::filesystem::path& path : made) {
    placed.emplace_back(at, ReadFile(path));
    medium = Place(medium, at, placed.back().second);
    at += placed.back().second.size() + 1234567;
  }
  MemorySource source(medium);
  const SampleHeader sample = CacheSample(made[0], folder / "cache");
  ASSERT_EQ(sample.Kind, SampleKind::IsoMedia);
  std::filesystem::create_directories(folder / "out");
  RecoveryRequest request;
  request.Source = &source;
  request.Mode = ScanMode::Container;
  request.OutputFolder = folder / "out";
  request.Header = sample.Bytes;
  RecoveryReport report;
  RunObserver observer;
  RunRecovery(request, observer, report);

  const char* names[] = {"1.MP4", "2.MOV", "3.MXF", "4.3GP"};
  ASSERT_EQ(report.Write.Files.size(), 4u);
  for (size_t i = 0; i < 4; ++i) {
    const WrittenFile& file = report.Write.Files[i];
    EXPECT_EQ(file.Path.filename(), names[i]);
    EXPECT_EQ(file.SourceStart, static_cast<int64_t>(placed[i].first));
    EXPECT_TRUE(file.Intact) << names[i];
    EXPECT_FALSE(file.Rebuilt);
    EXPECT_TRUE(ReadFile(file.Path) == placed[i].second) << names[i];
  }
  EXPECT_EQ(report.Write.Files[0].FramesPerStream.size(), 2u);  // video and sound
  EXPECT_EQ(report.Write.Files[2].FramesPerStream, (std::vector<uint64_t>{25, 25}));  // the MXF's elements
  EXPECT_EQ(VideoFramesWritten(report), 50u + 50u + 25u + 30u);
}

TEST_F(ContainerRun, SampleKindDecidesTheModesItServes) {
  const std::filesystem::path mp4 = Make("s.mp4", "-f lavfi -i testsrc=size=160x120:rate=10 -t 1 -c:v libx264");
  const std::filesystem::path avi = Make("s.avi", "-f lavfi -i testsrc=size=160x120:rate=10 -t 1 -c:v mjpeg");
  const std::filesystem::path mxf =
      Make("s.mxf", "-f lavfi -i testsrc=size=720x576:rate=25 -t 0.2 -c:v mpeg2video");

  const SampleHeader iso = CacheSample(mp4, folder / "cache");
  EXPECT_EQ(iso.Kind, SampleKind::IsoMedia);
  // The file type box and the movie box, one after the other.
  const std::vector<iso::Box> boxes = iso::ChildBoxes(iso.Bytes, 0, iso.Bytes.size());
  ASSERT_EQ(boxes.size(), 2u);
  EXPECT_EQ(boxes[0].Type, iso::BoxType("ftyp"));
  EXPECT_EQ(boxes[1].Type, iso::BoxType("moov"));
  EXPECT_EQ(SampleMovieBox(iso.Bytes).size(), boxes[1].Size);
  EXPECT_EQ(CacheSample(mxf, folder / "cache").Kind, SampleKind::Mxf);
  const SampleHeader head = CacheSample(avi, folder / "cache");
  EXPECT_EQ(head.Kind, SampleKind::Avi);
  EXPECT_EQ(std::string(head.Bytes.end() - 4, head.Bytes.end()), "movi");

  // An MP4 cut before its movie box cannot serve as a sample.
  Bytes cut = ReadFile(mp4);
  cut.resize(cut.size() / 2);
  testing::WriteFile(folder / "cut.mp4", cut);
  try {
    CacheSample(folder / "cut.mp4", folder / "cache");
    ADD_FAILURE() << "a sample without a movie box was taken";
  } catch (const KorvidError& e) {
    EXPECT_EQ(e.Kind(), ErrorKind::NoMovieBox);
  }

  // A run whose sample does not serve its mode reads nothing.
  MemorySource source(Random(1 << 20, 1));
  RecoveryRequest request;
  request.Source = &source;
  request.OutputFolder = folder.Path();
  RunObserver observer;
  for (const auto& [mode, bytes] : {std::pair{ScanMode::Container, head.Bytes}, std::pair{ScanMode::WholeDisk, iso.Bytes}}) {
    request.Mode = mode;
    request.Header = bytes;
    RecoveryReport report;
    EXPECT_THROW(RunRecovery(request, observer, report), KorvidError);
    EXPECT_TRUE(source.reads.empty());
  }
  EXPECT_TRUE(SampleServesMode(SampleKind::Mxf, ScanMode::Container));
  EXPECT_FALSE(SampleServesMode(SampleKind::Mxf, ScanMode::FreeSpace));
}

}  // namespace
}  // namespace korvid
