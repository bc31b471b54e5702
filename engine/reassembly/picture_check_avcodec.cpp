// Decodes with libavcodec: a picture's bitstream holds enough structure (Huffman codes, slice
// and macroblock syntax) that clusters of another picture inside it throw the decoder off.
#include "engine/reassembly/picture_check.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/log.h>
}

#include <cstdarg>
#include <mutex>
#include <vector>

#include "engine/fourcc.h"
#include "engine/keyframe.h"
#include "engine/movi_chunks.h"

namespace korvid {
namespace {

// The errors libavcodec reports while this thread judges a picture; null when it judges none,
// and then messages go to libavcodec's own logger as usual.
thread_local int* decodeErrors = nullptr;

void CountErrors(void* context, int level, const char* format, va_list arguments) {
  if (decodeErrors == nullptr) {
    av_log_default_callback(context, level, format, arguments);
    return;
  }
  if (level <= AV_LOG_ERROR) ++*decodeErrors;
}

AVCodecID DecoderFor(const AviStream& stream) {
  switch (CodecOfStream(stream)) {
    case VideoCodec::Intra: return AV_CODEC_ID_MJPEG;
    case VideoCodec::Mpeg4Part2: return AV_CODEC_ID_MPEG4;
    case VideoCodec::H264: return AV_CODEC_ID_H264;
    case VideoCodec::H265: return AV_CODEC_ID_HEVC;
    case VideoCodec::Unknown: break;
  }
  return AV_CODEC_ID_NONE;
}

struct ContextCloser {
  void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct PacketCloser {
  void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct FrameCloser {
  void operator()(AVFrame* f) const { av_frame_free(&f); }
};

}  // namespace

struct PictureCheck::Decoders {
  std::vector<uint8_t> buffer;  // the picture with the zero padding libavcodec reads past its end
};

PictureCheck::PictureCheck(const AviHeader& sample) : sample_(sample), decoders_(std::make_unique<Decoders>()) {
  static std::once_flag installed;
  std::call_once(installed, [] { av_log_set_callback(CountErrors); });
}

PictureCheck::~PictureCheck() = default;

JoinVerdict PictureCheck::Judge(uint32_t id, std::span<const uint8_t> data) {
  const int stream = StreamOf(id);
  if (KindOf(id) != MoviChunkKind::Data || stream < 0 || static_cast<size_t>(stream) >= sample_.Streams.size()) {
    return JoinVerdict::Unknown;
  }
  const AviStream& s = sample_.Streams[static_cast<size_t>(stream)];
  const AVCodecID codecId = s.Type == FourCC("vids") ? DecoderFor(s) : AV_CODEC_ID_NONE;
  // Only a picture that needs no other decodes the same alone as in its recording.
  if (codecId == AV_CODEC_ID_NONE || data.empty() || !IsKeyFrame(s, data)) return JoinVerdict::Unknown;
  const AVCodec* codec = avcodec_find_decoder(codecId);
  if (codec == nullptr) return JoinVerdict::Unknown;

  std::unique_ptr<AVCodecContext, ContextCloser> context(avcodec_alloc_context3(codec));
  std::unique_ptr<AVPacket, PacketCloser> packet(av_packet_alloc());
  std::unique_ptr<AVFrame, FrameCloser> frame(av_frame_alloc());
  if (!context || !packet || !frame) return JoinVerdict::Unknown;
  context->thread_count = 1;
  context->err_recognition = AV_EF_CRCCHECK | AV_EF_BITSTREAM | AV_EF_BUFFER | AV_EF_EXPLODE;
  int errors = 0;
  decodeErrors = &errors;
  JoinVerdict verdict = JoinVerdict::Unknown;
  if (avcodec_open2(context.get(), codec, nullptr) == 0) {
    std::vector<uint8_t>& buffer = decoders_->buffer;
    buffer.assign(data.begin(), data.end());
    buffer.resize(data.size() + AV_INPUT_BUFFER_PADDING_SIZE, 0);
    packet->data = buffer.data();
    packet->size = static_cast<int>(data.size());
    packet->flags = AV_PKT_FLAG_KEY;
    bool decoded = false;
    int status = avcodec_send_packet(context.get(), packet.get());
    if (status >= 0) status = avcodec_send_packet(context.get(), nullptr);
    while (status >= 0 || status == AVERROR(EAGAIN)) {
      status = avcodec_receive_frame(context.get(), frame.get());
      if (status == 0) decoded = true;
      if (status == AVERROR_EOF || status == AVERROR(EAGAIN)) break;
    }
    verdict = decoded && errors == 0 && (status >= 0 || status == AVERROR_EOF) ? JoinVerdict::Fits : JoinVerdict::Fails;
  }
  decodeErrors = nullptr;
  return verdict;
}

}  // namespace korvid
