// Splits AAC runs with libavcodec's decoder: given one packet holding many frames, it decodes
// them one at a time and reports on each frame the bytes of the packet left when the frame
// began (pkt_size), which gives each frame's start.
#include "engine/iso_media/audio_frames.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "engine/libav_owners.h"

namespace korvid::iso {
namespace {

// The largest raw AAC frame: 6144 bits for each of up to 8 channels.
constexpr size_t MostFrameBytes = 768 * 8;

// A recovery decodes damaged and foreign bytes on purpose; their errors are no news.
constexpr int QuietLogOffset = 64;

}  // namespace

struct AacFrames::Decoder {
  libav::CodecContext Context;
  libav::Packet Packet;
  libav::Frame Frame;
  std::vector<uint8_t> Buffer;
};

AacFrames::AacFrames(std::span<const uint8_t> config) {
  const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_AAC);
  if (codec == nullptr || config.empty()) return;
  auto decoder = std::make_unique<Decoder>();
  decoder->Context.reset(avcodec_alloc_context3(codec));
  decoder->Packet.reset(av_packet_alloc());
  decoder->Frame.reset(av_frame_alloc());
  if (!decoder->Context || !decoder->Packet || !decoder->Frame) return;
  AVCodecContext* context = decoder->Context.get();
  context->log_level_offset = QuietLogOffset;
  context->thread_count = 1;
  if (!libav::CopyExtradata(*context, config)) return;
  if (avcodec_open2(context, codec, nullptr) != 0) return;
  decoder_ = std::move(decoder);
}

AacFrames::~AacFrames() = default;

bool AacFrames::Available() const { return decoder_ != nullptr; }

// Sends `bytes` as one packet; false when the decoder refuses it.
bool AacFrames::Send(std::span<const uint8_t> bytes) {
  Decoder& d = *decoder_;
  avcodec_flush_buffers(d.Context.get());
  d.Buffer.assign(bytes.begin(), bytes.end());
  d.Buffer.resize(bytes.size() + AV_INPUT_BUFFER_PADDING_SIZE, 0);
  av_packet_unref(d.Packet.get());
  d.Packet->data = d.Buffer.data();
  d.Packet->size = static_cast<int>(bytes.size());
  return avcodec_send_packet(d.Context.get(), d.Packet.get()) >= 0;
}

// Where the next frame of the packet sent begins; nullopt at its end (`used` then tells whether
// it was used up) or when the frame does not decode.
std::optional<size_t> AacFrames::NextStart(size_t packetSize, bool& used) {
  Decoder& d = *decoder_;
  const int status = avcodec_receive_frame(d.Context.get(), d.Frame.get());
  used = status == AVERROR(EAGAIN);
  if (status < 0) return std::nullopt;
  const int left = d.Frame->pkt_size;
  av_frame_unref(d.Frame.get());
  if (left <= 0 || static_cast<size_t>(left) > packetSize) return std::nullopt;
  return packetSize - static_cast<size_t>(left);
}

// Whether `frame` is exactly one frame: sent twice over, the second copy begins a frame.
bool AacFrames::IsOneFrame(std::span<const uint8_t> frame) {
  std::vector<uint8_t> twice(frame.begin(), frame.end());
  twice.insert(twice.end(), frame.begin(), frame.end());
  bool used = false;
  if (!Send(twice) || NextStart(twice.size(), used) != size_t{0}) return false;
  return NextStart(twice.size(), used) == frame.size();
}

AacFrames::Run AacFrames::Split(std::span<const uint8_t> data, const std::function<bool(size_t)>& stopAt) {
  Run run;
  if (!decoder_ || data.empty() || data.size() > static_cast<size_t>(INT32_MAX / 4)) return run;
  if (!Send(data)) return run;
  size_t last = 0;  // where the frame decoded last began
  bool any = false, used = false;
  for (;;) {
    const std::optional<size_t> start = NextStart(data.size(), used);
    if (!start) break;
    if (!any) {
      if (*start != 0) return run;
      any = true;
      continue;
    }
    if (*start <= last) return run;
    run.Sizes.push_back(static_cast<uint32_t>(*start - last));
    last = *start;
    if (stopAt(last)) {
      run.EndKnown = true;
      return run;
    }
  }
  if (!any) return run;
  if (used) {  // the last frame ends with the packet
    run.Sizes.push_back(static_cast<uint32_t>(data.size() - last));
    run.EndKnown = true;
    return run;
  }
  // What follows the frame at `last` did not decode: the frame ends where the next content
  // begins, within one frame's reach, and where its bits end too.
  const size_t reach = std::min(data.size(), last + MostFrameBytes);
  for (size_t end = last + 1; end < reach; ++end) {
    if (stopAt(end) && IsOneFrame(data.subspan(last, end - last))) {
      run.Sizes.push_back(static_cast<uint32_t>(end - last));
      run.EndKnown = true;
      return run;
    }
  }
  return run;
}

}  // namespace korvid::iso
