// Owners of libavcodec's objects, the codec configuration handed to a context, and the decoder
// of each video codec the keyframe reader tells apart. Included only by the code built against
// libavcodec.
#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
}

#include <cstdint>
#include <cstring>
#include <memory>
#include <span>

#include "engine/keyframe.h"

namespace korvid::libav {

struct CodecContextFree {
  void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct PacketFree {
  void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct FrameFree {
  void operator()(AVFrame* f) const { av_frame_free(&f); }
};
using CodecContext = std::unique_ptr<AVCodecContext, CodecContextFree>;
using Packet = std::unique_ptr<AVPacket, PacketFree>;
using Frame = std::unique_ptr<AVFrame, FrameFree>;

// Gives `context` a copy of `bytes` (avcC, hvcC, stream headers) as its extradata, with the zeroed
// padding libavcodec's readers run into. No bytes leave it without; false when memory runs out.
inline bool CopyExtradata(AVCodecContext& context, std::span<const uint8_t> bytes) {
  if (bytes.empty()) return true;
  context.extradata = static_cast<uint8_t*>(av_mallocz(bytes.size() + AV_INPUT_BUFFER_PADDING_SIZE));
  if (context.extradata == nullptr) return false;
  std::memcpy(context.extradata, bytes.data(), bytes.size());
  context.extradata_size = static_cast<int>(bytes.size());
  return true;
}

inline AVCodecID DecoderOf(VideoCodec codec) {
  switch (codec) {
    case VideoCodec::Intra: return AV_CODEC_ID_MJPEG;
    case VideoCodec::Mpeg4Part2: return AV_CODEC_ID_MPEG4;
    case VideoCodec::H264: return AV_CODEC_ID_H264;
    case VideoCodec::H265: return AV_CODEC_ID_HEVC;
    case VideoCodec::Unknown: break;
  }
  return AV_CODEC_ID_NONE;
}

}  // namespace korvid::libav
