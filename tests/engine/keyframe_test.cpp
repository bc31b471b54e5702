#include "engine/keyframe.h"

#include <gtest/gtest.h>

#include <vector>

#include "engine/fourcc.h"

namespace korvid {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

AviStream Video(uint32_t compression, uint32_t handler = 0) {
  return {.Type = FourCC("vids"), .Handler = handler, .Compression = compression};
}

// Bytes that ffmpeg's encoders put at the start of a frame of a 160x120 test picture.

// MPEG-4 part 2: visual object sequence, visual object, VOL, user data "Lavc59.37.100", GOV.
const Bytes Mpeg4Headers = {
    0x00, 0x00, 0x01, 0xB0, 0x01, 0x00, 0x00, 0x01, 0xB5, 0x89, 0x13, 0x00, 0x00, 0x01, 0x00,
    0x00, 0x00, 0x01, 0x20, 0x00, 0xC4, 0x8D, 0x88, 0x00, 0x55, 0x05, 0x04, 0x0F, 0x14, 0x43,
    0x00, 0x00, 0x01, 0xB2, 0x4C, 0x61, 0x76, 0x63, 0x35, 0x39, 0x2E, 0x33, 0x37, 0x2E, 0x31,
    0x30, 0x30, 0x00, 0x00, 0x00, 0x01, 0xB3, 0x00, 0x10, 0x07};
const Bytes Mpeg4IVop = {0x00, 0x00, 0x01, 0xB6, 0x10, 0xC1, 0x23, 0x04, 0x7B, 0x6F};
const Bytes Mpeg4PVop = {0x00, 0x00, 0x01, 0xB6, 0x51, 0xE0, 0x46, 0x14, 0x78, 0xA4};
const Bytes Mpeg4BVop = {0x00, 0x00, 0x01, 0xB6, 0x91, 0xC0, 0xC9, 0x4E, 0x02, 0x7A};
const Bytes Mpeg4SVop = {0x00, 0x00, 0x01, 0xB6, 0xD2, 0xC0, 0x47, 0x0B, 0xE0, 0xE2};

// H.264 (x264): SPS and PPS with four-byte start codes; the SPS holds emulation prevention bytes.
const Bytes H264ParameterSets = {
    0x00, 0x00, 0x00, 0x01, 0x67, 0xF4, 0x00, 0x0A, 0x91, 0x9B, 0x28, 0x50, 0x8F, 0xC4,
    0xE0, 0x22, 0x00, 0x00, 0x03, 0x00, 0x02, 0x00, 0x00, 0x03, 0x00, 0x28, 0x1E, 0x24,
    0x4B, 0x2C, 0x00, 0x00, 0x00, 0x01, 0x68, 0xEB, 0xE3, 0xC4, 0x48, 0x44};
const Bytes H264Idr = {0x00, 0x00, 0x01, 0x65, 0x88, 0x82, 0x00, 0x04, 0x3F, 0xFF};
const Bytes H264PSlice = {0x00, 0x00, 0x00, 0x01, 0x41, 0x9A, 0x21, 0x6C, 0x43, 0xFF};
const Bytes H264NonReferenceSlice = {0x00, 0x00, 0x00, 0x01, 0x01, 0x9E, 0x83, 0x6A, 0x43, 0x7F};

// x264's unregistered-user-data SEI: its text of encoder settings runs to ~700 bytes.
Bytes H264Sei(size_t length) {
  const Bytes start = {0x00, 0x00, 0x01, 0x06, 0x05, 0xFF, 0xFF, 0xA5, 0xDC, 0x45, 0xE9, 0xBD};
  Bytes sei(std::max(length, start.size()), 'x');
  std::copy(start.begin(), start.end(), sei.begin());
  return sei;
}

// H.265 (x265): VPS, then the first bytes of each picture's first slice.
const Bytes H265Vps = {0x00, 0x00, 0x00, 0x01, 0x40, 0x01, 0x0C, 0x01, 0xFF, 0xFF, 0x04, 0x08,
                       0x00, 0x00, 0x03, 0x00, 0x9E, 0x08, 0x00, 0x00, 0x03, 0x00, 0x00, 0x1E,
                       0x95, 0x98, 0x09};
Bytes H265Slice(uint8_t firstByte) { return {0x00, 0x00, 0x01, firstByte, 0x01, 0xAF, 0x11, 0x42}; }

const Bytes Jpeg = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 0x4A, 0x46, 0x49, 0x46, 0x00, 0x01};

TEST(KeyFrameCodec, CompressionDecidesAndHandlerStandsInWhenItIsUnknown) {
  EXPECT_FALSE(IsKeyFrame(Video(FourCC("H264"), FourCC("MJPG")), H264PSlice));
  EXPECT_TRUE(IsKeyFrame(Video(FourCC("MJPG"), FourCC("H264")), H264PSlice));
  // BI_RGB (0) and a wFormatTag-like word say nothing: the handler names the codec.
  EXPECT_FALSE(IsKeyFrame(Video(0, FourCC("xvid")), Mpeg4PVop));
  EXPECT_TRUE(IsKeyFrame(Video(0, FourCC("xvid")), Mpeg4Headers + Mpeg4IVop));
  EXPECT_FALSE(IsKeyFrame(Video(0x55, FourCC("HEVC")), H265Vps + H265Slice(0x02)));
}

TEST(KeyFrameCodec, TagsMatchInAnyCase) {
  EXPECT_FALSE(IsKeyFrame(Video(FourCC("avc1")), H264PSlice));
  EXPECT_FALSE(IsKeyFrame(Video(FourCC("DaVc")), H264PSlice));
  EXPECT_FALSE(IsKeyFrame(Video(FourCC("Fmp4")), Mpeg4BVop));
  EXPECT_FALSE(IsKeyFrame(Video(FourCC("dx50")), Mpeg4PVop));
  EXPECT_FALSE(IsKeyFrame(Video(FourCC("hev1")), H265Slice(0x02)));
}

TEST(KeyFrameCodec, IntraAndUnknownCodecsMakeEveryNonEmptyChunkAKey) {
  for (uint32_t code : {FourCC("MJPG"), FourCC("mjpg"), FourCC("AVRN"), FourCC("dmb1"),
                        FourCC("cvid"), FourCC("DIV3"), 0u}) {
    EXPECT_TRUE(IsKeyFrame(Video(code), Jpeg)) << std::hex << code;
    EXPECT_TRUE(IsKeyFrame(Video(code), H264PSlice)) << std::hex << code;
    EXPECT_TRUE(IsKeyFrame(Video(code), Bytes{0x00})) << std::hex << code;
  }
}

TEST(KeyFrameCodec, EmptyChunkIsNeverAKey) {
  for (uint32_t code : {FourCC("MJPG"), FourCC("XVID"), FourCC("H264"), FourCC("HEVC"), 0u}) {
    EXPECT_FALSE(IsKeyFrame(Video(code), {})) << std::hex << code;
  }
}

TEST(KeyFrameMpeg4, CodingTypeOfTheFirstVopDecides) {
  const AviStream xvid = Video(FourCC("XVID"));
  EXPECT_TRUE(IsKeyFrame(xvid, Mpeg4Headers + Mpeg4IVop));
  EXPECT_TRUE(IsKeyFrame(xvid, Mpeg4IVop));
  EXPECT_FALSE(IsKeyFrame(xvid, Mpeg4PVop));
  EXPECT_FALSE(IsKeyFrame(xvid, Mpeg4BVop));
  EXPECT_FALSE(IsKeyFrame(xvid, Mpeg4SVop));
  // A packed bitstream holds two VOPs in one chunk.
  EXPECT_FALSE(IsKeyFrame(xvid, Mpeg4PVop + Mpeg4IVop));
}

TEST(KeyFrameMpeg4, HeadersWithoutAVopAreNoKey) {
  const AviStream xvid = Video(FourCC("XVID"));
  EXPECT_FALSE(IsKeyFrame(xvid, Mpeg4Headers));
  EXPECT_FALSE(IsKeyFrame(xvid, Mpeg4Headers + Bytes{0x00, 0x00, 0x01, 0xB6}));
}

TEST(KeyFrameH264, IdrSliceAfterParameterSetsAndSeiIsAKey) {
  const AviStream h264 = Video(FourCC("H264"));
  EXPECT_TRUE(IsKeyFrame(h264, H264ParameterSets + H264Idr));
  EXPECT_TRUE(IsKeyFrame(h264, H264ParameterSets + H264Sei(700) + H264Idr));
  // An access unit delimiter first; an IDR NAL with nal_ref_idc 1 instead of 3.
  EXPECT_TRUE(IsKeyFrame(h264, Bytes{0x00, 0x00, 0x00, 0x01, 0x09, 0x10} + H264Idr));
  EXPECT_TRUE(IsKeyFrame(h264, Bytes{0x00, 0x00, 0x01, 0x25, 0x88, 0x84}));
}

TEST(KeyFrameH264, FirstCodedSliceDecides) {
  const AviStream h264 = Video(FourCC("X264"));
  EXPECT_FALSE(IsKeyFrame(h264, H264PSlice));
  EXPECT_FALSE(IsKeyFrame(h264, H264NonReferenceSlice));
  EXPECT_FALSE(IsKeyFrame(h264, H264PSlice + H264Idr));
  EXPECT_FALSE(IsKeyFrame(h264, H264ParameterSets));
  EXPECT_FALSE(IsKeyFrame(h264, Bytes(64, 0x00)));
}

TEST(KeyFrameH264, OnlyTheProbeBytesAreLookedAt) {
  const AviStream h264 = Video(FourCC("H264"));
  const Bytes sets = H264ParameterSets;
  EXPECT_TRUE(IsKeyFrame(h264, sets + H264Sei(KeyFrameProbeBytes - sets.size() - 4) + H264Idr));
  EXPECT_FALSE(IsKeyFrame(h264, sets + H264Sei(KeyFrameProbeBytes - sets.size() - 3) + H264Idr));
}

TEST(KeyFrameBounds, NalHeaderOrCodingTypeBeyondTheSpanIsNotRead) {
  // The byte that would decide lies just past the span, in memory that belongs to someone else.
  const Bytes h264 = H264ParameterSets + H264Idr;
  const size_t h264Cut = H264ParameterSets.size() + 3;
  EXPECT_FALSE(IsKeyFrame(Video(FourCC("H264")), std::span(h264).first(h264Cut)));
  EXPECT_TRUE(IsKeyFrame(Video(FourCC("H264")), std::span(h264).first(h264Cut + 1)));

  const Bytes mpeg4 = Mpeg4Headers + Mpeg4IVop;
  const size_t mpeg4Cut = Mpeg4Headers.size() + 4;
  EXPECT_FALSE(IsKeyFrame(Video(FourCC("XVID")), std::span(mpeg4).first(mpeg4Cut)));
  EXPECT_TRUE(IsKeyFrame(Video(FourCC("XVID")), std::span(mpeg4).first(mpeg4Cut + 1)));

  const Bytes h265 = H265Vps + H265Slice(0x28);
  const size_t h265Cut = H265Vps.size() + 3;
  EXPECT_FALSE(IsKeyFrame(Video(FourCC("HEVC")), std::span(h265).first(h265Cut)));
  EXPECT_TRUE(IsKeyFrame(Video(FourCC("HEVC")), std::span(h265).first(h265Cut + 1)));
}

TEST(KeyFrameH265, IrapPicturesAreKeys) {
  const AviStream hevc = Video(FourCC("HEVC"));
  // IDR_W_RADL, IDR_N_LP, CRA and BLA_W_LP as the first slice after the parameter sets.
  for (uint8_t first : {0x26, 0x28, 0x2A, 0x20}) {
    EXPECT_TRUE(IsKeyFrame(hevc, H265Vps + H265Slice(first))) << int(first);
  }
  // TRAIL_R, TRAIL_N, RASL_N, RASL_R; the first slice decides.
  for (uint8_t first : {0x02, 0x00, 0x10, 0x12}) {
    EXPECT_FALSE(IsKeyFrame(hevc, H265Vps + H265Slice(first))) << int(first);
  }
  EXPECT_FALSE(IsKeyFrame(hevc, H265Slice(0x02) + H265Slice(0x28)));
  EXPECT_FALSE(IsKeyFrame(hevc, H265Vps));
}

}  // namespace
}  // namespace korvid
