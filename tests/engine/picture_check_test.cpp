// Judging joined pictures by decoding them: MPEG-4 part 2 and H.264 pictures made by
// libavcodec's encoders, whole and with clusters of the wrong bytes inside them.
#include <gtest/gtest.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/opt.h>
}

#include <algorithm>
#include <functional>
#include <random>

#include "engine/avi/avi_header.h"
#include "engine/keyframe.h"
#include "engine/reassembly/picture_check.h"
#include "riff_builder.h"

namespace korvid {
namespace {

using namespace testing::riff;

// An AVI sample whose video stream is of the codec `fourcc` (the test header's is H.264).
AviHeader SampleOf(const char* fourcc) {
  Bytes bytes = FfmpegLike();
  for (size_t at = 0; at + 4 <= bytes.size(); ++at) {
    if (Get32(bytes, at) == FourCC("H264")) std::copy_n(Text(fourcc).begin(), 4, bytes.begin() + static_cast<long>(at));
  }
  std::string problem;
  return *ParseAviHeader(bytes, problem);
}

// Frames as a camera's encoder makes them: a keyframe, with the stream headers before it, then
// predicted pictures of a scene that moves (by `motion`) and flickers with noise. `tune` sets
// the encoder up; none when the encoder is missing.
std::vector<Bytes> Encode(const AVCodec* codec, int frames, int motion, const std::function<void(AVCodecContext*)>& tune) {
  if (codec == nullptr) return {};
  AVCodecContext* context = avcodec_alloc_context3(codec);
  context->width = 640;
  context->height = 480;
  context->pix_fmt = AV_PIX_FMT_YUV420P;
  context->time_base = {1, 25};
  context->gop_size = frames;
  context->max_b_frames = 0;
  tune(context);
  std::vector<Bytes> out;
  if (avcodec_open2(context, codec, nullptr) == 0) {
    AVFrame* frame = av_frame_alloc();
    frame->format = context->pix_fmt;
    frame->width = context->width;
    frame->height = context->height;
    av_frame_get_buffer(frame, 0);
    AVPacket* packet = av_packet_alloc();
    std::mt19937 random(5);
    for (int i = 0; i <= frames; ++i) {
      if (i < frames) {
        av_frame_make_writable(frame);
        for (int y = 0; y < 480; ++y) {
          for (int x = 0; x < 640; ++x) {
            frame->data[0][y * frame->linesize[0] + x] =
                static_cast<uint8_t>(((x + motion * i) ^ (y - 3 * i)) + random() % 6);
          }
        }
        for (int plane = 1; plane < 3; ++plane) {
          for (int y = 0; y < 240; ++y) {
            std::fill_n(frame->data[plane] + y * frame->linesize[plane], 320, static_cast<uint8_t>(90 + plane * 40 + i));
          }
        }
        frame->pts = i;
      }
      avcodec_send_frame(context, i < frames ? frame : nullptr);
      while (avcodec_receive_packet(context, packet) == 0) {
        out.emplace_back(packet->data, packet->data + packet->size);
        av_packet_unref(packet);
      }
    }
    av_packet_free(&packet);
    av_frame_free(&frame);
  }
  avcodec_free_context(&context);
  return out;
}


// Copies up to `count` bytes of `from` at `fromAt` over `picture` at `at`, as far as both reach.
void Overwrite(Bytes& picture, size_t at, const Bytes& from, size_t fromAt, size_t count) {
  count = std::min({count, picture.size() - at, from.size() - fromAt});
  std::copy_n(from.begin() + static_cast<long>(fromAt), count, picture.begin() + static_cast<long>(at));
}

std::vector<Bytes> EncodeMpeg4(int frames) {
  return Encode(avcodec_find_encoder(AV_CODEC_ID_MPEG4), frames, 4, [](AVCodecContext* context) {
    context->flags |= AV_CODEC_FLAG_QSCALE;
    context->global_quality = FF_QP2LAMBDA * 3;
  });
}

// With `references` reference frames, which its sequence parameter set declares.
std::vector<Bytes> EncodeH264(int frames, int motion, int references) {
  return Encode(avcodec_find_encoder_by_name("libx264"), frames, motion, [&](AVCodecContext* context) {
    av_opt_set(context->priv_data, "preset", "veryfast", 0);
    av_opt_set(context->priv_data, "crf", "18", 0);
    av_opt_set(context->priv_data, "x264-params", ("ref=" + std::to_string(references)).c_str(), 0);
  });
}

// The picture as wrong layouts of its clusters would give it: a cluster of `other` inside it,
// a cluster of zeros, its last part taken from `other`.
std::vector<Bytes> WrongLayouts(const Bytes& picture, const Bytes& other) {
  Bytes foreign = picture;
  Overwrite(foreign, 1500, other, 6000, 4096);
  Bytes zeros = picture;
  std::fill_n(zeros.begin() + 1500, 4096, 0);
  Bytes tail = picture;
  Overwrite(tail, 5596, other, 5596, tail.size());
  return {foreign, zeros, tail};
}

TEST(PictureCheck, Mpeg4PredictedPicturesAreJudgedOnceTheStreamHeadersAreKnown) {
  const std::vector<Bytes> frames = EncodeMpeg4(10);
  ASSERT_EQ(frames.size(), 10u) << "libavcodec's MPEG-4 encoder";
  const AviHeader sample = SampleOf("FMP4");
  const AviStream& video = sample.Streams[0];
  ASSERT_EQ(CodecOfStream(video), VideoCodec::Mpeg4Part2);
  ASSERT_TRUE(IsKeyFrame(video, frames[0]));
  const uint32_t id = FourCC("00dc");

  PictureCheck check(sample);
  EXPECT_TRUE(check.Wants(id));
  EXPECT_FALSE(check.Wants(FourCC("01wb")));
  // Without the stream headers a predicted picture tells nothing; a predicted picture teaches
  // nothing, as it carries none.
  EXPECT_EQ(check.Judge(id, frames[3]), JoinVerdict::Unknown);
  check.Learn(id, frames[3]);
  EXPECT_TRUE(check.Wants(id));
  check.Learn(id, frames[0]);
  EXPECT_FALSE(check.Wants(id));

  EXPECT_EQ(check.Judge(id, frames[0]), JoinVerdict::Fits);
  int corrupted = 0, refused = 0;
  for (size_t i = 1; i < frames.size(); ++i) {
    const Bytes& picture = frames[i];
    ASSERT_FALSE(IsKeyFrame(video, picture));
    ASSERT_GT(picture.size(), 9000u);
    EXPECT_EQ(check.Judge(id, picture), JoinVerdict::Fits) << "frame " << i;
    for (const Bytes& wrong : WrongLayouts(picture, frames[i - 1])) {
      ++corrupted;
      if (check.Judge(id, wrong) == JoinVerdict::Fails) ++refused;
    }
  }
  EXPECT_GE(refused * 10, corrupted * 9) << refused << " of " << corrupted << " wrong layouts refused";
}

TEST(PictureCheck, H264PredictedPicturesAreJudgedBehindAKeyframeOfTheirOwnParameterSets) {
  // Two channels whose encoders declare different numbers of reference frames.
  const std::vector<Bytes> one = EncodeH264(8, 4, 1), three = EncodeH264(8, -6, 3);
  if (one.empty()) GTEST_SKIP() << "libavcodec has no libx264 encoder";
  ASSERT_EQ(one.size(), 8u);
  ASSERT_EQ(three.size(), 8u);
  const AviHeader sample = SampleOf("H264");
  const AviStream& video = sample.Streams[0];
  ASSERT_TRUE(IsKeyFrame(video, one[0]));
  ASSERT_TRUE(IsKeyFrame(video, three[0]));
  const uint32_t id = FourCC("00dc");

  PictureCheck check(sample);
  EXPECT_EQ(check.Judge(id, three[5]), JoinVerdict::Unknown);
  // A keyframe whose end is lost teaches nothing; whole ones do.
  check.Learn(id, Bytes(one[0].begin(), one[0].begin() + static_cast<long>(one[0].size() / 2)));
  EXPECT_EQ(check.Judge(id, three[5]), JoinVerdict::Unknown);
  check.Learn(id, one[0]);
  check.Learn(id, three[0]);
  EXPECT_TRUE(check.Wants(id));  // room for more channels' keyframes

  int corrupted = 0, refused = 0;
  for (const std::vector<Bytes>* channel : {&one, &three}) {
    for (size_t i = 1; i < channel->size(); ++i) {
      const Bytes& picture = (*channel)[i];
      ASSERT_FALSE(IsKeyFrame(video, picture));
      ASSERT_GT(picture.size(), 6000u);  // the wrong layouts change bytes from 1500 on
      EXPECT_EQ(check.Judge(id, picture), JoinVerdict::Fits) << "frame " << i;
      for (const Bytes& wrong : WrongLayouts(picture, (*channel)[i - 1])) {
        ++corrupted;
        if (check.Judge(id, wrong) == JoinVerdict::Fails) ++refused;
      }
    }
  }
  EXPECT_GE(refused * 10, corrupted * 8) << refused << " of " << corrupted << " wrong layouts refused";
}

}  // namespace
}  // namespace korvid
