#include "engine/iso_media/moov_rebuild.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <optional>
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
  const char* Video;
  const char* Audio;
  const char* Extension;
  int PcmFrameBytes;  // 0 for AAC, whose samples are its packets
  bool SoundKept;     // false for a codec the rebuild skips
};

// The recordings are made once for all tests of a codec.
const korvid::testing::TempFolder& Recordings() {
  static const korvid::testing::TempFolder folder;
  return folder;
}

class MoovRebuild : public ::testing::TestWithParam<Codec> {
 protected:
  void SetUp() override {
    const std::string sample = Path("sample");
    if (!std::filesystem::exists(Original())) {
      const std::string settings =
          "-pix_fmt yuv420p -c:v " + std::string(GetParam().Video) + " -c:a " + GetParam().Audio + " ";
      const std::string make = "ffmpeg -nostdin -v error -y ";
      ASSERT_EQ(std::system((make + "-f lavfi -i testsrc=size=320x240:rate=25:duration=3 -f lavfi -i sine=duration=3 " +
                             settings + sample)
                                .c_str()),
                0);
      ASSERT_EQ(std::system((make + "-f lavfi -i testsrc2=size=320x240:rate=25:duration=12 " +
                             "-f lavfi -i sine=frequency=660:duration=12 " + settings + Path("making"))
                                .c_str()),
                0);
      std::filesystem::rename(Path("making"), Original());  // a test stopped halfway leaves none
    }
    const Bytes sampleFile = korvid::testing::ReadFile(sample);
    const std::optional<Box> moov = TopBox(sampleFile, BoxType("moov"));
    ASSERT_TRUE(moov);
    sampleMoov_.assign(sampleFile.begin() + static_cast<long>(moov->Start),
                       sampleFile.begin() + static_cast<long>(moov->End()));
    original_ = korvid::testing::ReadFile(Original());
    const std::optional<Box> mdat = TopBox(original_, BoxType("mdat"));
    ASSERT_TRUE(mdat);
    mdat_ = *mdat;
    cutAt_ = original_.size() * 7 / 10;
    ASSERT_LT(cutAt_, mdat_.End());
  }

  std::string Path(const std::string& name) const {
    return (Recordings() / (name + "_" + GetParam().Name + "." + GetParam().Extension)).string();
  }
  std::string Original() const { return Path("original"); }

  enum class Header {
    Final,      // the size the finished file has, past the cut
    Stale,      // a size written early in the recording, short of the cut
    Zero,       // "to the end"
    LargeSize,  // a 64-bit size of 0, over the free box ffmpeg puts before the mdat
  };

  // Rebuilds the original cut at 70% of its bytes, after other bytes and followed by `tail`,
  // and checks that the result decodes clean and holds what the cut kept.
  void RebuildAndCheck(Bytes tail, Header header) {
    Bytes bytes(original_.begin(), original_.begin() + static_cast<long>(cutAt_));
    CutOffRecording cut;
    cut.FileStart = Lead;
    cut.MdatStart = static_cast<int64_t>(mdat_.Start) + Lead;
    cut.MdatHeaderSize = static_cast<uint32_t>(mdat_.HeaderSize);
    cut.DeclaredSize = mdat_.Size;
    uint8_t* size = bytes.data() + mdat_.Start;
    switch (header) {
      case Header::Final: break;
      case Header::Stale:
        cut.DeclaredSize = (cutAt_ - mdat_.Start) / 2;
        for (int i = 0; i < 4; ++i) size[i] = static_cast<uint8_t>(cut.DeclaredSize >> (24 - 8 * i));
        break;
      case Header::Zero:
        cut.DeclaredSize = 0;
        std::fill_n(size, 4, 0);
        break;
      case Header::LargeSize: {
        const std::vector<Box> boxes = ChildBoxes(original_, 0, original_.size());
        ASSERT_TRUE(std::any_of(boxes.begin(), boxes.end(),
                                [&](const Box& b) { return b.End() == mdat_.Start && b.Size == 8; }));
        const uint8_t large[16] = {0, 0, 0, 1, 'm', 'd', 'a', 't'};
        std::copy_n(large, 16, size - 8);
        cut.MdatStart -= 8;
        cut.MdatHeaderSize = 16;
        cut.DeclaredSize = 0;
        break;
      }
    }
    bytes.insert(bytes.end(), tail.begin(), tail.end());
    bytes.insert(bytes.begin(), Lead, 0x5A);
    korvid::testing::MemorySource device(bytes);
    SourceBytes source(device);
    cut.Limit = static_cast<int64_t>(bytes.size());
    const std::optional<RebuiltRecording> rebuilt = RebuildCutOff(source, cut, sampleMoov_);
    ASSERT_TRUE(rebuilt);
    EXPECT_LE(rebuilt->CopyEnd, static_cast<int64_t>(cutAt_) + Lead);
    const std::string path = Path("rebuilt");
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
    if (!GetParam().SoundKept) {
      EXPECT_EQ(rebuilt->SamplesPerTrack[1], 0u);
      EXPECT_TRUE(audioAfter.empty());
      return;
    }
    if (GetParam().PcmFrameBytes == 0) {
      EXPECT_EQ(rebuilt->SamplesPerTrack[1], audioAfter.size());
    } else {
      int64_t bytes = 0;
      for (const Packet& p : audioAfter) bytes += p.Size;
      EXPECT_EQ(rebuilt->SamplesPerTrack[1] * GetParam().PcmFrameBytes, static_cast<uint64_t>(bytes));
    }
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

  static constexpr int64_t Lead = 4096;  // source bytes before the recording
  Bytes sampleMoov_;
  Bytes original_;
  Box mdat_;
  size_t cutAt_ = 0;
};

Bytes RandomBytes(size_t size) {
  std::mt19937 random(7);
  Bytes bytes(size);
  for (uint8_t& b : bytes) b = static_cast<uint8_t>(random());
  return bytes;
}

TEST_P(MoovRebuild, FinalSizeAndForeignBytesBehind) { RebuildAndCheck(RandomBytes(64 << 10), Header::Final); }
TEST_P(MoovRebuild, StaleSizeAndForeignBytesBehind) { RebuildAndCheck(RandomBytes(64 << 10), Header::Stale); }
TEST_P(MoovRebuild, ZeroSizeAndErasedBytesBehind) { RebuildAndCheck(Bytes(64 << 10, 0), Header::Zero); }
TEST_P(MoovRebuild, LargeSizeAndErasedBytesBehind) { RebuildAndCheck(Bytes(64 << 10, 0), Header::LargeSize); }

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
                         ::testing::Values(Codec{"H264", "libx264", "aac -b:a 96k", "mp4", 0, true},
                                           Codec{"H265", "libx265 -x265-params log-level=error", "aac", "mp4", 0, true},
                                           // Pictures of several slices, parameter sets in every keyframe.
                                           Codec{"H264Slices", "libx264 -x264-params slices=4:repeat-headers=1:keyint=50",
                                                 "aac", "mp4", 0, true},
                                           Codec{"H264Pcm", "libx264", "pcm_s16le", "mov", 2, true},
                                           Codec{"H264Mp3", "libx264", "libmp3lame", "mp4", 0, false}),
                         [](const auto& info) { return std::string(info.param.Name); });

}  // namespace
}  // namespace korvid::iso
