#include "app/preview/keyframe_picture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <future>
#include <random>
#include <string>
#include <vector>

#include "app/preview/jpeg_picture.h"
#include "engine/temp_folder.h"

namespace korvid::preview {
namespace {

using testing::ReadFile;
using testing::TempFolder;
using testing::WriteFile;

// A second of 160x120 picture, red above blue, ten frames a second.
const std::string RedOverBlue =
    "-f lavfi -i color=c=red:s=160x120:r=10 -vf drawbox=y=60:w=160:h=60:color=blue:t=fill -t 1 -pix_fmt yuv420p";

// Records `options` (codec and format) into `name`; false when this ffmpeg cannot.
bool Record(const std::filesystem::path& path, const std::string& options) {
  const std::string command =
      "ffmpeg -nostdin -v error -y " + RedOverBlue + " " + options + " '" + path.string() + "' 2>/dev/null";
  return std::system(command.c_str()) == 0;
}

// The offset of the first data chunk of stream 0 after the movi list's type.
size_t FirstVideoChunk(const std::vector<uint8_t>& bytes) {
  const std::string text(bytes.begin(), bytes.end());
  return text.find("00dc", text.find("movi"));
}

void ExpectRedOverBlue(const QImage& picture, QSize size) {
  ASSERT_FALSE(picture.isNull());
  ASSERT_EQ(picture.size(), size);
  const QColor top = picture.pixelColor(size.width() / 2, size.height() / 4);
  const QColor bottom = picture.pixelColor(size.width() / 2, size.height() * 3 / 4);
  EXPECT_GT(top.red(), 200);
  EXPECT_LT(top.green(), 60);
  EXPECT_LT(top.blue(), 60);
  EXPECT_LT(bottom.red(), 60);
  EXPECT_LT(bottom.green(), 60);
  EXPECT_GT(bottom.blue(), 200);
}

struct Recording {
  const char* Name;
  const char* Options;
};

class RecordingPictures : public ::testing::TestWithParam<Recording> {};

TEST_P(RecordingPictures, ShowTheFirstKeyframeScaledToTheBound) {
  TempFolder folder;
  const std::filesystem::path path = folder / GetParam().Name;
  if (!Record(path, GetParam().Options)) GTEST_SKIP() << "ffmpeg cannot make " << GetParam().Name;
  ExpectRedOverBlue(FirstKeyframePicture(path, QSize(80, 80)), QSize(80, 60));
  ExpectRedOverBlue(FirstKeyframePictureOf(ReadFile(path), QSize(320, 480)), QSize(320, 240));
}

INSTANTIATE_TEST_SUITE_P(
    Codecs, RecordingPictures,
    ::testing::Values(Recording{"mjpeg.avi", "-c:v mjpeg -q:v 3"},
                      Recording{"mpeg4.avi", "-c:v mpeg4 -vtag XVID -g 5 -q:v 3"},
                      Recording{"h264.avi", "-c:v libx264 -g 5"},
                      Recording{"h265.avi", "-c:v libx265 -vtag HEVC -g 5 -x265-params log-level=none"},  // ffmpeg has no AVI tag of its own for it
                      Recording{"h264.mp4", "-c:v libx264 -g 5"},
                      Recording{"mpeg4.mov", "-c:v mpeg4 -g 5 -q:v 3"}),
    [](const ::testing::TestParamInfo<Recording>& info) {
      std::string name = info.param.Name;
      std::replace(name.begin(), name.end(), '.', '_');
      return name;
    });

// A camera's long MP4 has its movie box at the end, far past the bytes read of an AVI file: the
// demuxer finds it there. A 17 MiB free box between the media data and the movie box stands for
// a long recording's media (the sample offsets stay as they were).
TEST(LongRecordings, AMovieBoxAtTheEndOfALargeFileIsReadFromThere) {
  TempFolder folder;
  const std::filesystem::path recorded = folder / "short.mp4";
  ASSERT_TRUE(Record(recorded, "-c:v libx264 -g 5"));
  const std::vector<uint8_t> bytes = ReadFile(recorded);
  const std::string text(bytes.begin(), bytes.end());
  const size_t moov = text.rfind("moov") - 4;
  ASSERT_GT(moov, text.find("mdat"));  // written after the media data, as cameras do
  std::vector<uint8_t> large(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(moov));
  const uint32_t freeSize = 17u << 20;
  const uint8_t head[8] = {static_cast<uint8_t>(freeSize >> 24), static_cast<uint8_t>(freeSize >> 16), 0, 0,
                           'f', 'r', 'e', 'e'};
  large.insert(large.end(), head, head + 8);
  large.resize(large.size() + freeSize - 8);
  large.insert(large.end(), bytes.begin() + static_cast<std::ptrdiff_t>(moov), bytes.end());
  WriteFile(folder / "long.mp4", large);
  ExpectRedOverBlue(FirstKeyframePicture(folder / "long.mp4", QSize(160, 120)), QSize(160, 120));
}

// AVI MJPEG frames often carry no Huffman tables; ffmpeg's frames use the standard ones, so a
// frame whose DHT segment became a comment of the same length decodes only with them put back.
TEST(MjpegWithoutHuffmanTables, DecodesWithTheStandardTables) {
  TempFolder folder;
  const std::filesystem::path path = folder / "mjpeg.avi";
  ASSERT_TRUE(Record(path, "-c:v mjpeg -huffman default -q:v 3"));
  std::vector<uint8_t> bytes = ReadFile(path);
  int removed = 0;
  for (size_t p = FirstVideoChunk(bytes); p + 1 < bytes.size(); ++p) {
    if (bytes[p] == 0xFF && bytes[p + 1] == 0xC4) {
      bytes[p + 1] = 0xFE;
      ++removed;
    }
  }
  ASSERT_GE(removed, 10);
  ExpectRedOverBlue(FirstKeyframePictureOf(bytes, QSize(160, 120)), QSize(160, 120));

  const size_t chunk = FirstVideoChunk(bytes);
  const std::span<const uint8_t> frame(bytes.data() + chunk + 8, bytes.size() - chunk - 8);
  const std::vector<uint8_t> repaired = WithHuffmanTables(frame);
  EXPECT_EQ(repaired.size(), frame.size() + 420);
}

TEST(MjpegWithoutHuffmanTables, LeavesAFrameWithTablesAsItIs) {
  TempFolder folder;
  const std::filesystem::path path = folder / "mjpeg.avi";
  ASSERT_TRUE(Record(path, "-c:v mjpeg -q:v 3"));
  const std::vector<uint8_t> bytes = ReadFile(path);
  const size_t chunk = FirstVideoChunk(bytes);
  const std::span<const uint8_t> frame(bytes.data() + chunk + 8, bytes.size() - chunk - 8);
  const std::vector<uint8_t> same = WithHuffmanTables(frame);
  EXPECT_TRUE(std::equal(same.begin(), same.end(), frame.begin(), frame.end()));
}

// Broken recordings: a preview comes from what decodes, and nothing else ever reads past the end.
class BrokenRecordings : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Record(folder_ / "mjpeg.avi", "-c:v mjpeg -q:v 3"));
    bytes_ = ReadFile(folder_ / "mjpeg.avi");
  }
  TempFolder folder_;
  std::vector<uint8_t> bytes_;
};

TEST_F(BrokenRecordings, AFirstFrameThatDoesNotDecodeGivesWayToTheNext) {
  const size_t chunk = FirstVideoChunk(bytes_);
  std::fill_n(bytes_.begin() + static_cast<std::ptrdiff_t>(chunk) + 8, 64, 0x55);
  ExpectRedOverBlue(FirstKeyframePictureOf(bytes_, QSize(160, 120)), QSize(160, 120));
}

TEST_F(BrokenRecordings, AWrongChunkSizeIsSteppedOverByResyncing) {
  const size_t chunk = FirstVideoChunk(bytes_);
  std::fill_n(bytes_.begin() + static_cast<std::ptrdiff_t>(chunk) + 4, 4, 0xFF);  // a size past 64 MiB
  ExpectRedOverBlue(FirstKeyframePictureOf(bytes_, QSize(160, 120)), QSize(160, 120));
}

TEST_F(BrokenRecordings, OnesHoldingNoWholePictureGiveANullImage) {
  const size_t chunk = FirstVideoChunk(bytes_);
  EXPECT_TRUE(FirstKeyframePictureOf(std::span(bytes_).first(chunk + 8), QSize(64, 48)).isNull());
  EXPECT_TRUE(FirstKeyframePictureOf(std::span(bytes_).first(chunk / 2), QSize(64, 48)).isNull());
  EXPECT_TRUE(FirstKeyframePictureOf({}, QSize(64, 48)).isNull());
  WriteFile(folder_ / "empty.avi", {});
  EXPECT_TRUE(FirstKeyframePicture(folder_ / "empty.avi", QSize(64, 48)).isNull());
  EXPECT_TRUE(FirstKeyframePicture(folder_ / "missing.avi", QSize(64, 48)).isNull());
  EXPECT_TRUE(FirstKeyframePictureOf(bytes_, QSize(0, 0)).isNull());
}

TEST_F(BrokenRecordings, GarbageGivesANullImageAtEveryCut) {
  std::mt19937 random(7);
  std::vector<uint8_t> garbage(bytes_.begin(), bytes_.begin() + static_cast<std::ptrdiff_t>(FirstVideoChunk(bytes_)));
  for (int i = 0; i < 20000; ++i) garbage.push_back(static_cast<uint8_t>(random()));
  for (size_t cut = 0; cut < garbage.size(); cut += 997) {
    EXPECT_TRUE(FirstKeyframePictureOf(std::span(garbage).first(cut), QSize(64, 48)).isNull()) << cut;
  }
  garbage[4] = 'f', garbage[5] = 't', garbage[6] = 'y', garbage[7] = 'p';  // garbage that claims to be an MP4
  EXPECT_TRUE(FirstKeyframePictureOf(garbage, QSize(64, 48)).isNull());
}

TEST_F(BrokenRecordings, ThreadsMakePicturesAtOnce) {
  std::vector<std::future<QImage>> pictures;
  for (int i = 0; i < 4; ++i) {
    pictures.push_back(std::async(std::launch::async, [&] { return FirstKeyframePictureOf(bytes_, QSize(80, 60)); }));
  }
  for (auto& picture : pictures) ExpectRedOverBlue(picture.get(), QSize(80, 60));
}

}  // namespace
}  // namespace korvid::preview
