// Decodes with libavcodec: a picture's bitstream holds enough structure (Huffman codes, slice
// and macroblock syntax) that clusters of another picture inside it throw the decoder off.
#include "engine/reassembly/picture_check.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/log.h>
}

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <map>
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

// Errors count, but not the one a picture decoded without its predecessors always draws; and
// so does the note that the decoder concealed damage, which it gives below the error level.
void CountErrors(void* context, int level, const char* format, va_list arguments) {
  if (decodeErrors == nullptr) {
    av_log_default_callback(context, level, format, arguments);
    return;
  }
  if (level > AV_LOG_INFO) return;
  char message[256];
  vsnprintf(message, sizeof message, format, arguments);
  const bool counts = level <= AV_LOG_ERROR ? std::strstr(message, "first frame is no keyframe") == nullptr
                                            : std::strstr(message, "concealing") != nullptr;
  if (counts) ++*decodeErrors;
}

// The MPEG-4 part 2 headers before a keyframe's picture (visual object sequence, object and
// object layer), which the stream's other pictures need to be read; empty when there are none.
std::span<const uint8_t> Mpeg4Headers(std::span<const uint8_t> data) {
  if (data.size() < 4 || data[0] != 0 || data[1] != 0 || data[2] != 1) return {};
  for (size_t at = 0; at + 4 <= data.size(); ++at) {
    if (data[at] == 0 && data[at + 1] == 0 && data[at + 2] == 1 && data[at + 3] == 0xB6) return data.first(at);
  }
  return {};
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
  std::map<int, std::vector<uint8_t>> headers;  // per stream, as Learn found them
};

PictureCheck::PictureCheck(const AviHeader& sample) : sample_(sample), decoders_(std::make_unique<Decoders>()) {
  static std::once_flag installed;
  std::call_once(installed, [] { av_log_set_callback(CountErrors); });
}

PictureCheck::~PictureCheck() = default;

const AviStream* PictureCheck::VideoStream(uint32_t id) const {
  const int stream = StreamOf(id);
  if (KindOf(id) != MoviChunkKind::Data || stream < 0 || static_cast<size_t>(stream) >= sample_.Streams.size()) {
    return nullptr;
  }
  const AviStream& s = sample_.Streams[static_cast<size_t>(stream)];
  return s.Type == FourCC("vids") ? &s : nullptr;
}

bool PictureCheck::Wants(uint32_t id) const {
  const AviStream* s = VideoStream(id);
  return s != nullptr && CodecOfStream(*s) == VideoCodec::Mpeg4Part2 && decoders_->headers.count(StreamOf(id)) == 0;
}

void PictureCheck::Learn(uint32_t id, std::span<const uint8_t> data) {
  if (!Wants(id) || !IsKeyFrame(*VideoStream(id), data)) return;
  const std::span<const uint8_t> headers = Mpeg4Headers(data);
  if (!headers.empty()) decoders_->headers[StreamOf(id)].assign(headers.begin(), headers.end());
}

// A keyframe decodes alone as in its recording. So does the syntax of an MPEG-4 part 2
// predicted picture, once the stream's headers are known: its prediction reads a picture that
// is missing, but how its bits parse does not depend on that picture.
bool PictureCheck::Judges(uint32_t id, std::span<const uint8_t> head) const {
  const AviStream* s = VideoStream(id);
  const AVCodecID codecId = s != nullptr ? DecoderFor(*s) : AV_CODEC_ID_NONE;
  if (codecId == AV_CODEC_ID_NONE || head.empty()) return false;
  return IsKeyFrame(*s, head) || (codecId == AV_CODEC_ID_MPEG4 && decoders_->headers.count(StreamOf(id)) != 0);
}

JoinVerdict PictureCheck::Judge(uint32_t id, std::span<const uint8_t> data) {
  if (!Judges(id, data.first(std::min(data.size(), KeyFrameProbeBytes)))) return JoinVerdict::Unknown;
  const AviStream& s = *VideoStream(id);
  const AVCodecID codecId = DecoderFor(s);
  const bool key = IsKeyFrame(s, data);
  std::span<const uint8_t> headers;
  if (!key) headers = decoders_->headers.at(StreamOf(id));
  const AVCodec* codec = avcodec_find_decoder(codecId);
  if (codec == nullptr) return JoinVerdict::Unknown;

  std::unique_ptr<AVCodecContext, ContextCloser> context(avcodec_alloc_context3(codec));
  std::unique_ptr<AVPacket, PacketCloser> packet(av_packet_alloc());
  std::unique_ptr<AVFrame, FrameCloser> frame(av_frame_alloc());
  if (!context || !packet || !frame) return JoinVerdict::Unknown;
  context->thread_count = 1;
  if (!headers.empty()) {
    context->extradata = static_cast<uint8_t*>(av_mallocz(headers.size() + AV_INPUT_BUFFER_PADDING_SIZE));
    if (context->extradata == nullptr) return JoinVerdict::Unknown;
    std::memcpy(context->extradata, headers.data(), headers.size());
    context->extradata_size = static_cast<int>(headers.size());
  }
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
    packet->flags = key ? AV_PKT_FLAG_KEY : 0;
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
