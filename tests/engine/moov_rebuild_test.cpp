#include "engine/iso_media/moov_rebuild.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "engine/iso_media/movie_box.h"
#include "tests/engine/command_output.h"
#include "tests/engine/memory_source.h"
#include "tests/engine/temp_folder.h"

namespace korvid::iso {
namespace {

using korvid::testing::CommandOutput;
using Bytes = std::vector<uint8_t>;

struct Packet {
  int Stream = 0;
  int64_t Pts = 0;
  int64_t Size = 0;
  int64_t Pos = 0;
};

std::vector<Packet> Packets(const std::string& path) {
  std::istringstream lines(
      CommandOutput("ffprobe -v error -show_entries packet=stream_index,pts,size,pos -of csv=p=0 " + path));
  std::vector<Packet> packets;
  std::string line;
  while (std::getline(lines, line)) {
    Packet p;
    if (std::sscanf(line.c_str(), "%d,%ld,%ld,%ld", &p.Stream, &p.Pts, &p.Size, &p.Pos) == 4) packets.push_back(p);
  }
  return packets;
}

std::vector<Packet> OfStream(const std::vector<Packet>& packets, int stream) {
  std::vector<Packet> out;
  std::copy_if(packets.begin(), packets.end(), std::back_inserter(out), [&](const Packet& p) { return p.Stream == stream; });
  return out;
}

std::optional<Box> TopBox(const Bytes& file, uint32_t type) {
  for (const Box& box : ChildBoxes(file, 0, file.size())) {
    if (box.Type == type) return box;
  }
  return std::nullopt;
}

// The rebuilt file as a recovery writes it.
Bytes Assemble(const Bytes& source, const CutOffRecording& cut, const RebuiltRecording& rebuilt) {
  Bytes file(source.begin() + cut.FileStart, source.begin() + rebuilt.CopyEnd);
  std::copy(rebuilt.MdatHeader.begin(), rebuilt.MdatHeader.end(), file.begin() + (rebuilt.MdatHeaderAt - cut.FileStart));
  file.insert(file.end(), rebuilt.Moov.begin(), rebuilt.Moov.end());
  return file;
}

struct Codec {
  const char* Name;
  const char* Options;
};

class MoovRebuild : public ::testing::TestWithParam<Codec> {
 protected:
  void SetUp() override {
    const std::string video =
        "-pix_fmt yuv420p -c:v " + std::string(GetParam().Options) + " -c:a aac -b:a 96k ";
    const std::string make = "ffmpeg -nostdin -v error -y ";
    ASSERT_EQ(std::system((make + "-f lavfi -i testsrc=size=320x240:rate=25:duration=3 -f lavfi -i sine=duration=3 " +
                           video + (folder_ / "sample.mp4").string())
                              .c_str()),
              0);
    ASSERT_EQ(std::system((make + "-f lavfi -i testsrc2=size=320x240:rate=25:duration=12 " +
                           "-f lavfi -i sine=frequency=660:duration=12 " + video + Original())
                              .c_str()),
              0);
    const Bytes sample = korvid::testing::ReadFile(folder_ / "sample.mp4");
    const std::optional<Box> moov = TopBox(sample, BoxType("moov"));
    ASSERT_TRUE(moov);
    sampleMoov_.assign(sample.begin() + static_cast<long>(moov->Start), sample.begin() + static_cast<long>(moov->End()));
    original_ = korvid::testing::ReadFile(Original());
    const std::optional<Box> mdat = TopBox(original_, BoxType("mdat"));
    ASSERT_TRUE(mdat);
    mdat_ = *mdat;
    cutAt_ = original_.size() * 7 / 10;
    ASSERT_LT(cutAt_, mdat_.End());
  }

  std::string Original() const { return (folder_ / "original.mp4").string(); }

  // Rebuilds the original cut at 70% of its bytes and followed by `tail`, and checks that the
  // result decodes clean and holds what the cut kept.
  void RebuildAndCheck(Bytes tail, bool zeroSize) {
    Bytes bytes(original_.begin(), original_.begin() + static_cast<long>(cutAt_));
    if (zeroSize) std::fill_n(bytes.begin() + static_cast<long>(mdat_.Start), 4, 0);
    bytes.insert(bytes.end(), tail.begin(), tail.end());
    korvid::testing::MemorySource device(bytes);
    SourceBytes source(device);
    CutOffRecording cut;
    cut.MdatStart = static_cast<int64_t>(mdat_.Start);
    cut.MdatHeaderSize = static_cast<uint32_t>(mdat_.HeaderSize);
    cut.DeclaredSize = zeroSize ? 0 : mdat_.Size;
    cut.Limit = static_cast<int64_t>(bytes.size());
    const std::optional<RebuiltRecording> rebuilt = RebuildCutOff(source, cut, sampleMoov_);
    ASSERT_TRUE(rebuilt);
    EXPECT_LE(rebuilt->CopyEnd, static_cast<int64_t>(cutAt_));
    const std::string path = (folder_ / "rebuilt.mp4").string();
    korvid::testing::WriteFile(path, Assemble(bytes, cut, *rebuilt));

    EXPECT_EQ(CommandOutput("ffmpeg -nostdin -v error -i " + path + " -f null - 2>&1"), "");

    const std::vector<Packet> before = Packets(Original()), after = Packets(path);
    const std::vector<Packet> videoBefore = OfStream(before, 0), videoAfter = OfStream(after, 0);
    const auto whole = std::count_if(videoBefore.begin(), videoBefore.end(), [&](const Packet& p) {
      return p.Pos + p.Size <= static_cast<int64_t>(cutAt_);
    });
    EXPECT_GE(videoAfter.size() * 100, static_cast<size_t>(whole) * 95) << videoAfter.size() << " of " << whole;
    EXPECT_LE(videoAfter.size(), static_cast<size_t>(whole));
    ASSERT_EQ(rebuilt->SamplesPerTrack.size(), 2u);
    EXPECT_EQ(rebuilt->SamplesPerTrack[0], videoAfter.size());
    // The pictures come at the times they had, B-frames included, and are the same packets.
    for (size_t i = 0; i < videoAfter.size(); ++i) {
      ASSERT_EQ(videoAfter[i].Pts, videoBefore[i].Pts) << "picture " << i;
      ASSERT_EQ(videoAfter[i].Size, videoBefore[i].Size) << "picture " << i;
    }
    // The sound frames are the original's, one for one, up to near the cut.
    const std::vector<Packet> audioBefore = OfStream(before, 1), audioAfter = OfStream(after, 1);
    EXPECT_EQ(rebuilt->SamplesPerTrack[1], audioAfter.size());
    const auto wholeAudio = std::count_if(audioBefore.begin(), audioBefore.end(), [&](const Packet& p) {
      return p.Pos + p.Size <= static_cast<int64_t>(cutAt_);
    });
    EXPECT_GE(audioAfter.size() * 100, static_cast<size_t>(wholeAudio) * 95);
    for (size_t i = 0; i < audioAfter.size(); ++i) {
      ASSERT_EQ(audioAfter[i].Size, audioBefore[i].Size) << "sound frame " << i;
      ASSERT_EQ(audioAfter[i].Pts, audioBefore[i].Pts) << "sound frame " << i;
    }
    const double seconds = std::stod(
        CommandOutput("ffprobe -v error -show_entries format=duration -of csv=p=0 " + path));
    EXPECT_NEAR(seconds, videoAfter.size() / 25.0, 0.1);
    EXPECT_NEAR(rebuilt->DurationSeconds, seconds, 0.05);
  }

  korvid::testing::TempFolder folder_;
  Bytes sampleMoov_;
  Bytes original_;
  Box mdat_;
  size_t cutAt_ = 0;
};

TEST_P(MoovRebuild, StaleSizeAndForeignBytesBehind) {
  std::mt19937 random(7);
  Bytes tail(64 << 10);
  for (uint8_t& b : tail) b = static_cast<uint8_t>(random());
  RebuildAndCheck(tail, false);
}

TEST_P(MoovRebuild, ZeroSizeAndErasedBytesBehind) { RebuildAndCheck(Bytes(64 << 10, 0), true); }

// Media data of another kind, or a sample moov that describes nothing usable, rebuild nothing.
TEST_P(MoovRebuild, RefusesWhatTheSampleDoesNotDescribe) {
  Bytes bytes(original_.begin(), original_.begin() + static_cast<long>(mdat_.PayloadStart()));
  std::mt19937 random(3);
  for (int i = 0; i < (256 << 10); ++i) bytes.push_back(static_cast<uint8_t>(random()));
  korvid::testing::MemorySource device(bytes);
  SourceBytes source(device);
  CutOffRecording cut;
  cut.MdatStart = static_cast<int64_t>(mdat_.Start);
  cut.MdatHeaderSize = static_cast<uint32_t>(mdat_.HeaderSize);
  cut.Limit = static_cast<int64_t>(bytes.size());
  EXPECT_FALSE(RebuildCutOff(source, cut, sampleMoov_));
  cut.Limit = static_cast<int64_t>(cutAt_);

  // The real media data behind a moov cut short, or one whose tracks lost their sample entries.
  korvid::testing::MemorySource real(Bytes(original_.begin(), original_.begin() + static_cast<long>(cutAt_)));
  SourceBytes realSource(real);
  ASSERT_TRUE(RebuildCutOff(realSource, cut, sampleMoov_));
  EXPECT_FALSE(RebuildCutOff(realSource, cut, std::span(sampleMoov_).first(sampleMoov_.size() / 2)));
  Bytes blind = sampleMoov_;
  for (size_t at = 0; at + 4 <= blind.size(); ++at) {
    if (std::equal(blind.begin() + static_cast<long>(at), blind.begin() + static_cast<long>(at) + 4, "stsd")) {
      std::copy_n("xxxx", 4, blind.begin() + static_cast<long>(at));
    }
  }
  EXPECT_FALSE(RebuildCutOff(realSource, cut, blind));
}

INSTANTIATE_TEST_SUITE_P(Codecs, MoovRebuild,
                         ::testing::Values(Codec{"H264", "libx264"},
                                           Codec{"H265", "libx265 -x265-params log-level=error"}),
                         [](const auto& info) { return std::string(info.param.Name); });

}  // namespace
}  // namespace korvid::iso
