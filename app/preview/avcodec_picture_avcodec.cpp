#include <memory>
#include <vector>

#include "app/preview/avcodec_picture.h"
#include "engine/libav_owners.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
#include <libswscale/swscale.h>
}

namespace korvid::preview {
namespace {

// Pictures beyond 8K are refused before the decoder allocates them.
constexpr int64_t MaxPixels = 7680 * 4320;
// Packets the container walk reads looking for a keyframe, and keyframes it tries.
constexpr int MaxPackets = 256;
constexpr int MaxKeyframes = 8;

struct FormatClose {
  void operator()(AVFormatContext* f) const { avformat_close_input(&f); }
};
struct IoFree {
  void operator()(AVIOContext* io) const {
    av_freep(&io->buffer);
    avio_context_free(&io);
  }
};
using libav::CodecContext;

// A decoder of one thread, that hands out a picture only when it decoded it whole.
CodecContext OpenDecoder(AVCodecID id, std::span<const uint8_t> extradata, const AVCodecParameters* parameters) {
  const AVCodec* decoder = avcodec_find_decoder(id);
  if (decoder == nullptr) return nullptr;
  CodecContext context(avcodec_alloc_context3(decoder));
  if (!context) return nullptr;
  if (parameters != nullptr && avcodec_parameters_to_context(context.get(), parameters) < 0) return nullptr;
  if (parameters == nullptr && !libav::CopyExtradata(*context, extradata)) return nullptr;
  context->thread_count = 1;
  context->max_pixels = MaxPixels;
  context->err_recognition = AV_EF_EXPLODE;
  if (avcodec_open2(context.get(), decoder, nullptr) < 0) return nullptr;
  return context;
}

// The decoded frame as an RGB picture, converted by libswscale.
QImage RgbPicture(const AVFrame& frame) {
  if (frame.width <= 0 || frame.height <= 0) return {};
  SwsContext* scale = sws_getContext(frame.width, frame.height, static_cast<AVPixelFormat>(frame.format), frame.width,
                                     frame.height, AV_PIX_FMT_RGB24, SWS_BILINEAR, nullptr, nullptr, nullptr);
  if (scale == nullptr) return {};
  QImage picture(frame.width, frame.height, QImage::Format_RGB888);
  uint8_t* planes[4] = {picture.bits(), nullptr, nullptr, nullptr};
  int strides[4] = {static_cast<int>(picture.bytesPerLine()), 0, 0, 0};
  const int rows = sws_scale(scale, frame.data, frame.linesize, 0, frame.height, planes, strides);
  sws_freeContext(scale);
  return rows == frame.height ? picture : QImage();
}

// Sends one packet, then the end of the stream, and takes the picture it made.
QImage DecodePacket(AVCodecContext& context, std::span<const uint8_t> bytes) {
  libav::Packet packet(av_packet_alloc());
  libav::Frame frame(av_frame_alloc());
  if (!packet || !frame || bytes.empty() || bytes.size() > INT32_MAX - AV_INPUT_BUFFER_PADDING_SIZE) return {};
  if (av_new_packet(packet.get(), static_cast<int>(bytes.size())) < 0) return {};
  std::copy(bytes.begin(), bytes.end(), packet->data);
  packet->flags |= AV_PKT_FLAG_KEY;
  if (avcodec_send_packet(&context, packet.get()) < 0) return {};
  avcodec_send_packet(&context, nullptr);
  if (avcodec_receive_frame(&context, frame.get()) < 0) return {};
  if (frame->decode_error_flags != 0 || (frame->flags & AV_FRAME_FLAG_CORRUPT) != 0) return {};
  return RgbPicture(*frame);
}

// libavformat reads the file's bytes in memory through this.
struct FileReader {
  uint64_t Size = 0;
  const ReadAt& ReadBytes;
  uint64_t At = 0;

  static int Read(void* opaque, uint8_t* buffer, int size) {
    auto* self = static_cast<FileReader*>(opaque);
    const size_t wanted = static_cast<size_t>(std::min<uint64_t>(static_cast<uint64_t>(size), self->Size - self->At));
    const size_t n = wanted == 0 ? 0 : self->ReadBytes(self->At, {buffer, wanted});
    if (n == 0) return AVERROR_EOF;
    self->At += n;
    return static_cast<int>(n);
  }
  static int64_t Seek(void* opaque, int64_t offset, int whence) {
    auto* self = static_cast<FileReader*>(opaque);
    const auto size = static_cast<int64_t>(self->Size);
    if ((whence & AVSEEK_SIZE) != 0) return size;
    const int64_t base = (whence & 3) == SEEK_CUR ? static_cast<int64_t>(self->At) : (whence & 3) == SEEK_END ? size : 0;
    if (offset < -base || offset > size - base) return AVERROR(EINVAL);
    self->At = static_cast<uint64_t>(base + offset);
    return base + offset;
  }
};

}  // namespace

QImage DecodedKeyframe(VideoCodec codec, std::span<const uint8_t> extradata, std::span<const uint8_t> frame) {
  const AVCodecID id = libav::DecoderOf(codec);
  if (id == AV_CODEC_ID_NONE) return {};
  CodecContext context = OpenDecoder(id, extradata, nullptr);
  return context ? DecodePacket(*context, frame) : QImage();
}

QImage IsoMediaKeyframe(uint64_t size, const ReadAt& read) {
  constexpr int BufferSize = 64 << 10;
  FileReader reader{size, read};
  auto* buffer = static_cast<uint8_t*>(av_malloc(BufferSize));
  if (buffer == nullptr) return {};
  std::unique_ptr<AVIOContext, IoFree> io(
      avio_alloc_context(buffer, BufferSize, 0, &reader, &FileReader::Read, nullptr, &FileReader::Seek));
  if (!io) {
    av_free(buffer);
    return {};
  }
  AVFormatContext* opened = avformat_alloc_context();
  if (opened == nullptr) return {};
  opened->pb = io.get();
  opened->flags |= AVFMT_FLAG_CUSTOM_IO;
  const AVInputFormat* mov = av_find_input_format("mov");
  if (avformat_open_input(&opened, nullptr, mov, nullptr) < 0) return {};  // frees `opened`
  std::unique_ptr<AVFormatContext, FormatClose> format(opened);
  const int stream = av_find_best_stream(format.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  if (stream < 0) return {};
  const AVCodecParameters* parameters = format->streams[stream]->codecpar;
  libav::Packet packet(av_packet_alloc());
  if (!packet) return {};
  int keyframes = 0;
  for (int read = 0; read < MaxPackets && keyframes < MaxKeyframes && av_read_frame(format.get(), packet.get()) >= 0;
       ++read) {
    if (packet->stream_index == stream && (packet->flags & AV_PKT_FLAG_KEY) != 0) {
      ++keyframes;
      CodecContext context = OpenDecoder(parameters->codec_id, {}, parameters);
      QImage picture = context ? DecodePacket(*context, {packet->data, static_cast<size_t>(packet->size)}) : QImage();
      if (!picture.isNull()) return picture;
    }
    av_packet_unref(packet.get());
  }
  return {};
}

}  // namespace korvid::preview
