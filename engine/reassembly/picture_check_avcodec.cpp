// Decodes with libavcodec: a picture's bitstream holds enough structure (Huffman codes, slice
// and macroblock syntax) that clusters of another picture inside it throw the decoder off.
#include "engine/reassembly/picture_check.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/log.h>
}

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <map>
#include <mutex>
#include <vector>

#include "engine/fourcc.h"
#include "engine/keyframe.h"
#include "engine/libav_owners.h"
#include "engine/avi/movi_chunks.h"

namespace korvid {
namespace {

// The errors libavcodec reports while this thread judges a picture; null when it judges none,
// and then messages go to libavcodec's own logger as usual.
thread_local int* decodeErrors = nullptr;

// What a sound picture decoded without the pictures before it draws all the same: the MPEG-4
// decoder's note that the stream starts past a keyframe, and H.264's complaints that the
// pictures it refers to are missing.
constexpr const char* OutOfSequence[] = {
    "first frame is no keyframe",           "reference picture missing during reorder",
    "Missing reference picture",            "illegal short term buffer state detected",
    "mmco: unref short failure",
};

// Errors count, but not those a picture out of its sequence draws; and so does the note that
// the decoder concealed damage, which it gives below the error level.
void CountErrors(void* context, int level, const char* format, va_list arguments) {
  if (decodeErrors == nullptr) {
    av_log_default_callback(context, level, format, arguments);
    return;
  }
  if (level > AV_LOG_INFO) return;
  char message[256];
  vsnprintf(message, sizeof message, format, arguments);
  const bool expected = std::any_of(std::begin(OutOfSequence), std::end(OutOfSequence),
                                    [&](const char* text) { return std::strstr(message, text) != nullptr; });
  const bool counts = level <= AV_LOG_ERROR ? !expected : std::strstr(message, "concealing") != nullptr;
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

AVCodecID DecoderFor(const AviStream& stream) { return libav::DecoderOf(CodecOfStream(stream)); }

// The H.264 parameter sets (sequence and picture) that a keyframe carries, one after another:
// pictures decode only behind a keyframe of the same ones. `firstSlice` is set to where the
// keyframe's first slice starts.
std::vector<uint8_t> H264ParameterSets(std::span<const uint8_t> data, size_t& firstSlice) {
  std::vector<uint8_t> sets;
  size_t at = 0;
  firstSlice = data.size();
  auto nextStart = [&](size_t from) {
    for (size_t i = from; i + 3 <= data.size(); ++i) {
      if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1) return i + 3;
    }
    return data.size();
  };
  for (at = nextStart(0); at < data.size();) {
    const size_t next = nextStart(at);
    const uint8_t type = data[at] & 0x1F;
    if (type == 1 || type == 5) {  // the first slice: the sets come before it
      firstSlice = at;
      break;
    }
    if (type == 7 || type == 8) {
      size_t end = next < data.size() ? next - 3 : data.size();
      while (end > at && data[end - 1] == 0) --end;  // the zero before a four-byte start code
      sets.insert(sets.end(), data.begin() + static_cast<long>(at), data.begin() + static_cast<long>(end));
    }
    at = next;
  }
  return sets;
}

// Keyframes kept for each stream whose predicted pictures are decoded behind one: a recorder's
// channels may each have parameter sets of their own.
constexpr size_t MostReferences = 8;

// What of a keyframe a predicted picture is decoded behind: its headers and the start of its
// slice. The decoder conceals the rest of the keyframe, which is as good a picture to predict
// from when only the predicted picture's bits are judged, and costs a fraction of decoding it.
constexpr size_t ReferenceSliceBytes = 2048;

struct Reference {
  std::vector<uint8_t> ParameterSets;
  std::vector<uint8_t> Keyframe;  // its start, up to ReferenceSliceBytes into its first slice
};

}  // namespace

struct PictureCheck::Decoders {
  std::vector<uint8_t> buffer;  // a picture with the zero padding libavcodec reads past its end
  std::map<int, std::vector<uint8_t>> headers;           // per MPEG-4 stream, as Learn found them
  std::map<int, std::vector<Reference>> references;      // per H.264 stream, keyframes that decode
  std::map<int, size_t> lastFit;                         // per H.264 stream, the reference that last fitted
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
  if (s == nullptr) return false;
  switch (CodecOfStream(*s)) {
    case VideoCodec::Mpeg4Part2: return decoders_->headers.count(StreamOf(id)) == 0;
    case VideoCodec::H264: {
      const auto references = decoders_->references.find(StreamOf(id));
      return references == decoders_->references.end() || references->second.size() < MostReferences;
    }
    default: return false;
  }
}

void PictureCheck::Learn(uint32_t id, std::span<const uint8_t> data) {
  if (!Wants(id) || !IsKeyFrame(*VideoStream(id), data)) return;
  if (CodecOfStream(*VideoStream(id)) == VideoCodec::Mpeg4Part2) {
    const std::span<const uint8_t> headers = Mpeg4Headers(data);
    if (!headers.empty()) decoders_->headers[StreamOf(id)].assign(headers.begin(), headers.end());
    return;
  }
  std::vector<Reference>& references = decoders_->references[StreamOf(id)];
  size_t firstSlice = 0;
  std::vector<uint8_t> sets = H264ParameterSets(data, firstSlice);
  if (sets.empty() || std::any_of(references.begin(), references.end(),
                                  [&](const Reference& r) { return r.ParameterSets == sets; })) {
    return;
  }
  // A keyframe cut short or joined wrongly would make every picture decoded after it fail.
  if (Judge(id, data) != JoinVerdict::Fits) return;
  const size_t kept = std::min(data.size(), firstSlice + ReferenceSliceBytes);
  references.push_back({std::move(sets), {data.begin(), data.begin() + static_cast<long>(kept)}});
}

// A keyframe decodes alone as in its recording. So does the syntax of a predicted picture
// decoded behind its stream's headers (MPEG-4 part 2) or behind a keyframe of its stream
// (H.264): its prediction reads pictures that are missing or wrong, but how its bits parse does
// not depend on them.
bool PictureCheck::Judges(uint32_t id, std::span<const uint8_t> head) const {
  const AviStream* s = VideoStream(id);
  const AVCodecID codecId = s != nullptr ? DecoderFor(*s) : AV_CODEC_ID_NONE;
  if (codecId == AV_CODEC_ID_NONE || head.empty()) return false;
  if (IsKeyFrame(*s, head)) return true;
  const int stream = StreamOf(id);
  const auto references = decoders_->references.find(stream);
  return (codecId == AV_CODEC_ID_MPEG4 && decoders_->headers.count(stream) != 0) ||
         (codecId == AV_CODEC_ID_H264 && references != decoders_->references.end() && !references->second.empty());
}

JoinVerdict PictureCheck::Judge(uint32_t id, std::span<const uint8_t> data) {
  if (!Judges(id, data.first(std::min(data.size(), KeyFrameProbeBytes)))) return JoinVerdict::Unknown;
  const AviStream& s = *VideoStream(id);
  const AVCodecID codecId = DecoderFor(s);
  if (IsKeyFrame(s, data)) return Decode(codecId, {}, {}, data, true);
  if (codecId == AV_CODEC_ID_MPEG4) return Decode(codecId, decoders_->headers.at(StreamOf(id)), {}, data, false);
  // Behind each keyframe kept, the one that fitted last first: a picture fits behind the
  // keyframe of its own parameter sets.
  const std::vector<Reference>& references = decoders_->references.at(StreamOf(id));
  size_t& last = decoders_->lastFit[StreamOf(id)];
  for (size_t i = 0; i < references.size(); ++i) {
    const size_t r = (last + i) % references.size();
    if (Decode(codecId, {}, references[r].Keyframe, data, false) == JoinVerdict::Fits) {
      last = r;
      return JoinVerdict::Fits;
    }
  }
  return JoinVerdict::Fails;
}

JoinVerdict PictureCheck::Decode(int codecId, std::span<const uint8_t> headers, std::span<const uint8_t> reference,
                                 std::span<const uint8_t> data, bool key) {
  const AVCodec* codec = avcodec_find_decoder(static_cast<AVCodecID>(codecId));
  if (codec == nullptr) return JoinVerdict::Unknown;

  libav::CodecContext context(avcodec_alloc_context3(codec));
  libav::Packet packet(av_packet_alloc());
  libav::Frame frame(av_frame_alloc());
  if (!context || !packet || !frame) return JoinVerdict::Unknown;
  context->thread_count = 1;
  // Errors show while the bits are parsed; the pixels themselves are not needed.
  context->skip_idct = AVDISCARD_ALL;
  context->skip_loop_filter = AVDISCARD_ALL;
  if (!libav::CopyExtradata(*context, headers)) return JoinVerdict::Unknown;
  // Behind a keyframe of another time, H.264 finds its references missing; stopping there
  // would leave the picture's own bits unread. The aggressive checks also catch a slice whose
  // bits run out before its last macroblock.
  context->err_recognition = AV_EF_CRCCHECK | AV_EF_BITSTREAM | AV_EF_BUFFER |
                             (reference.empty() ? AV_EF_EXPLODE : AV_EF_AGGRESSIVE);
  if (avcodec_open2(context.get(), codec, nullptr) != 0) return JoinVerdict::Unknown;

  int frames = 0, errors = 0, ignored = 0;
  auto send = [&](std::span<const uint8_t> bytes, bool keyframe) {
    std::vector<uint8_t>& buffer = decoders_->buffer;
    buffer.assign(bytes.begin(), bytes.end());
    buffer.resize(bytes.size() + AV_INPUT_BUFFER_PADDING_SIZE, 0);
    packet->data = buffer.data();
    packet->size = static_cast<int>(bytes.size());
    packet->flags = keyframe ? AV_PKT_FLAG_KEY : 0;
    return avcodec_send_packet(context.get(), packet.get());
  };
  // Takes the frames decoded so far; a frame whose damage the decoder concealed counts.
  auto receive = [&] {
    int status = 0;
    while ((status = avcodec_receive_frame(context.get(), frame.get())) == 0) {
      ++frames;
      if (frame->decode_error_flags != 0) ++*decodeErrors;
    }
    return status;
  };
  decodeErrors = &ignored;
  int status = 0;
  if (!reference.empty()) {
    status = send(reference, true);
    if (status >= 0) status = receive();
  }
  decodeErrors = &errors;
  if (status >= 0 || status == AVERROR(EAGAIN)) status = send(data, key);
  if (status >= 0) status = avcodec_send_packet(context.get(), nullptr);
  if (status >= 0) status = receive();
  decodeErrors = nullptr;
  const int expected = reference.empty() ? 1 : 2;
  return frames == expected && errors == 0 && (status >= 0 || status == AVERROR_EOF) ? JoinVerdict::Fits
                                                                                      : JoinVerdict::Fails;
}

}  // namespace korvid
