#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <initializer_list>
#include <string>
#include <vector>

#include "engine/iso_media/movie_box.h"
#include "tests/engine/iso_builder.h"
#include "tests/engine/command_output.h"
#include "tests/engine/temp_folder.h"

namespace korvid::iso {
namespace {

using testing::Bytes;
using testing::Concat;
using testing::MakeBox;
using testing::MovieWith;
using testing::Put32;
using testing::Put64;
using testing::PutType;
using testing::SampleEntry;
using testing::Words;

TEST(IsoChildBoxes, WalksSizesLargesizesAndToTheEnd) {
  Bytes bytes = MakeBox("ftyp", Bytes(4, 0));
  Put32(bytes, 1);
  PutType(bytes, "free");
  Put64(bytes, 20);
  bytes.resize(bytes.size() + 4);
  Put32(bytes, 0);
  PutType(bytes, "mdat");
  bytes.resize(bytes.size() + 30);

  const std::vector<Box> boxes = ChildBoxes(bytes, 0, bytes.size());
  ASSERT_EQ(boxes.size(), 3u);
  EXPECT_EQ(boxes[0].Type, BoxType("ftyp"));
  EXPECT_EQ(boxes[1].Start, 12u);
  EXPECT_EQ(boxes[1].HeaderSize, 16u);
  EXPECT_EQ(boxes[1].Size, 20u);
  EXPECT_EQ(boxes[2].Start, 32u);
  EXPECT_EQ(boxes[2].Size, 38u);  // size 0: to the end
  // A `to` past the span stops at the span's end.
  EXPECT_EQ(ChildBoxes(std::span(bytes).first(38), 0, 1000).size(), 2u);
}

TEST(IsoChildBoxes, StopsAtTheFirstMalformedBox) {
  const Bytes good = MakeBox("free", Bytes(8, 0));
  for (uint32_t size : {2u, 7u}) {
    Bytes bytes = good;
    Put32(bytes, size);
    PutType(bytes, "junk");
    bytes.resize(bytes.size() + 16);
    EXPECT_EQ(ChildBoxes(bytes, 0, bytes.size()).size(), 1u) << size;
  }
  Bytes small = good;
  Put32(small, 1);
  PutType(small, "junk");
  Put64(small, 15);
  EXPECT_EQ(ChildBoxes(small, 0, small.size()).size(), 1u);

  Bytes past = good;
  Put32(past, 100);
  PutType(past, "junk");
  past.resize(past.size() + 50);
  EXPECT_EQ(ChildBoxes(past, 0, past.size()).size(), 1u);
  // The same box inside a narrower range is past that range.
  EXPECT_TRUE(ChildBoxes(good, 0, good.size() - 1).empty());
}

TEST(IsoParseMovie, ChunksFollowSampleToChunkRuns) {
  // Six samples; chunks 1-2 hold two each, chunks 3-4 one each.
  const Bytes tables = Concat({MakeBox("stsz", Words({0, 6, 10, 20, 30, 40, 50, 60})),
                               MakeBox("stsc", Words({2, 1, 2, 1, 3, 1, 1})),
                               MakeBox("stco", Words({4, 1000, 2000, 3000, 4000}))});
  const std::optional<Movie> movie = ParseMovie(MovieWith(tables));
  ASSERT_TRUE(movie);
  EXPECT_EQ(movie->Timescale, 600u);
  EXPECT_EQ(movie->Duration, 270u);
  ASSERT_EQ(movie->Tracks.size(), 1u);
  const MovieTrack& track = movie->Tracks[0];
  EXPECT_EQ(track.TrackId, 7u);
  EXPECT_EQ(track.Handler, BoxType("vide"));
  EXPECT_EQ(track.Timescale, 1000u);
  EXPECT_EQ(track.Codec, BoxType("avc1"));
  EXPECT_EQ(track.Samples, 6u);
  EXPECT_EQ(track.Duration, 450u);
  const std::vector<ByteRange> expected = {{1000, 30}, {2000, 70}, {3000, 50}, {4000, 60}};
  EXPECT_EQ(track.Chunks, expected);
}

TEST(IsoParseMovie, ReadsCompactSizesAndLargeOffsets) {
  // stz2 with 4-bit sizes 1..5 and co64 offsets past 4 GiB.
  Bytes stz2 = Words({4, 5});
  stz2.insert(stz2.end(), {0x12, 0x34, 0x50});
  Bytes co64 = Words({2});
  Put64(co64, 0x100000000ull);
  Put64(co64, 0x200000000ull);
  const Bytes tables =
      Concat({MakeBox("stz2", stz2), MakeBox("stsc", Words({1, 1, 3, 1})), MakeBox("co64", co64)});
  const std::optional<Movie> movie = ParseMovie(MovieWith(tables));
  ASSERT_TRUE(movie);
  // The second chunk has only two samples left for its three.
  const std::vector<ByteRange> expected = {{0x100000000ll, 6}, {0x200000000ll, 9}};
  EXPECT_EQ(movie->Tracks[0].Chunks, expected);
}

TEST(IsoParseMovie, RefusesHostileTables) {
  const Bytes stsc = MakeBox("stsc", Words({1, 1, 1, 1}));
  const Bytes stco = MakeBox("stco", Words({2, 0, 100}));
  // Counts that run past their box.
  EXPECT_FALSE(ParseMovie(MovieWith(Concat({MakeBox("stsz", Words({0, 0x40000000, 5})), stsc, stco}))));
  EXPECT_FALSE(ParseMovie(MovieWith(Concat({MakeBox("stsz", Words({4, 2})), stsc,
                                            MakeBox("stco", Words({0xFFFFFFFF, 0}))}))));
  // Runs that skip chunk 1, or go backwards.
  EXPECT_FALSE(
      ParseMovie(MovieWith(Concat({MakeBox("stsz", Words({4, 2})), MakeBox("stsc", Words({1, 2, 1, 1})), stco}))));
  EXPECT_FALSE(ParseMovie(
      MovieWith(Concat({MakeBox("stsz", Words({4, 2})), MakeBox("stsc", Words({2, 2, 1, 1, 1, 1, 1})), stco}))));
  // A huge fixed size times a huge count overflows the offsets.
  EXPECT_FALSE(ParseMovie(MovieWith(Concat({MakeBox("stsz", Words({0xFFFFFFFF, 0xFFFFFFFF})),
                                            MakeBox("stsc", Words({1, 1, 0xFFFFFFFF, 1})), stco}))));
  // No sample table at all.
  EXPECT_FALSE(ParseMovie(MovieWith(Concat({MakeBox("stsz", Words({4, 2})), stsc}))));
  // A box other than moov, and a moov whose size runs past the bytes given.
  Bytes notMoov = MovieWith(Concat({MakeBox("stsz", Words({4, 2})), stsc, stco}));
  ASSERT_TRUE(ParseMovie(notMoov));
  std::copy_n("free", 4, notMoov.begin() + 4);
  EXPECT_FALSE(ParseMovie(notMoov));
}

struct Recording {
  const char* Name;
  const char* Options;
};

class IsoFfmpegMovie : public ::testing::TestWithParam<Recording> {};

// Each chunk of an ffmpeg recording lies in its mdat, and together they fill it.
TEST_P(IsoFfmpegMovie, ChunksFillTheMediaData) {
  korvid::testing::TempFolder folder;
  const std::string path = (folder / GetParam().Name).string();
  const std::string make = "ffmpeg -nostdin -v error -y -f lavfi -i testsrc=size=320x240:rate=25:duration=2 "
                           "-f lavfi -i sine=duration=2 -c:v libx264 " +
                           std::string(GetParam().Options) + " " + path;
  ASSERT_EQ(std::system(make.c_str()), 0);
  const Bytes file = korvid::testing::ReadFile(path);
  std::optional<Box> moov, mdat;
  for (const Box& box : ChildBoxes(file, 0, file.size())) {
    if (box.Type == BoxType("moov")) moov = box;
    if (box.Type == BoxType("mdat")) mdat = box;
  }
  ASSERT_TRUE(moov && mdat);
  const std::optional<Movie> movie = ParseMovie(std::span(file).subspan(moov->Start, moov->Size));
  ASSERT_TRUE(movie);
  ASSERT_EQ(movie->Tracks.size(), 2u);
  EXPECT_EQ(movie->Tracks[0].Handler, BoxType("vide"));
  EXPECT_EQ(movie->Tracks[0].Codec, BoxType("avc1"));
  EXPECT_EQ(movie->Tracks[1].Handler, BoxType("soun"));

  std::vector<ByteRange> chunks;
  for (const MovieTrack& track : movie->Tracks) chunks.insert(chunks.end(), track.Chunks.begin(), track.Chunks.end());
  std::sort(chunks.begin(), chunks.end(), [](const ByteRange& a, const ByteRange& b) { return a.Offset < b.Offset; });
  int64_t at = static_cast<int64_t>(mdat->PayloadStart());
  for (const ByteRange& chunk : chunks) {
    ASSERT_EQ(chunk.Offset, at) << "a gap or an overlap";
    at += chunk.Length;
  }
  EXPECT_EQ(at, static_cast<int64_t>(mdat->End()));

  // Codec tag, time base and packets as ffprobe sees them, one line per stream.
  const std::string probe =
      korvid::testing::CommandOutput("ffprobe -v error -count_packets -show_entries stream=codec_tag_string,time_base,nb_read_packets "
          "-of csv=p=0 " + path);
  std::string expected;
  for (const MovieTrack& track : movie->Tracks) {
    const char tag[5] = {static_cast<char>(track.Codec >> 24), static_cast<char>(track.Codec >> 16),
                         static_cast<char>(track.Codec >> 8), static_cast<char>(track.Codec), 0};
    expected += std::string(tag) + ",1/" + std::to_string(track.Timescale) + "," +
                std::to_string(track.Samples) + "\n";
  }
  if (movie->Tracks[1].Codec == BoxType("sowt")) {
    // ffmpeg reads PCM in packets of many samples: compare all but the count.
    EXPECT_EQ(probe.substr(0, probe.rfind(',')), expected.substr(0, expected.rfind(',')));
  } else {
    EXPECT_EQ(probe, expected);
  }

  // Cut short anywhere, the moov parses to nothing; hostile bytes anywhere never crash and
  // never give more chunks than the box has room for.
  const std::span<const uint8_t> bytes = std::span(file).subspan(moov->Start, moov->Size);
  for (size_t length = 0; length < bytes.size(); length += 7) EXPECT_FALSE(ParseMovie(bytes.first(length)));
  Bytes damaged(bytes.begin(), bytes.end());
  for (size_t i = 8; i < damaged.size(); ++i) {
    const uint8_t kept = damaged[i];
    damaged[i] = static_cast<uint8_t>(i % 3 == 0 ? 0xFF : kept ^ 0x41);
    if (const std::optional<Movie> m = ParseMovie(damaged)) {
      for (const MovieTrack& track : m->Tracks) ASSERT_LE(track.Chunks.size(), damaged.size() / 4);
    }
    damaged[i] = kept;
  }
}

INSTANTIATE_TEST_SUITE_P(Layouts, IsoFfmpegMovie,
                         ::testing::Values(Recording{"moov_last.mp4", "-c:a aac"},
                                           Recording{"moov_first.mp4", "-c:a aac -movflags +faststart"},
                                           Recording{"pcm.mov", "-c:a pcm_s16le"}),
                         [](const auto& info) {
                           std::string name = info.param.Name;
                           std::replace(name.begin(), name.end(), '.', '_');
                           return name;
                         });

}  // namespace
}  // namespace korvid::iso
