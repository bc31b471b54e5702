// Uses libavcodec's H.264 and HEVC parsers, which read the avcC/hvcC configuration, the
// parameter sets and each slice header, and compute the picture order count as a decoder would.
#include "engine/iso_media/picture_order.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

#include <vector>

#include "engine/iso_media/movie_box.h"
#include "engine/libav_owners.h"

namespace korvid::iso {

struct PictureOrder::Parser {
  AVCodecParserContext* Handle = nullptr;
  AVCodecContext* Context = nullptr;
  std::vector<uint8_t> Buffer;
  ~Parser() {
    if (Handle != nullptr) av_parser_close(Handle);
    avcodec_free_context(&Context);
  }
};

PictureOrder::PictureOrder(uint32_t codec, std::span<const uint8_t> config) {
  AVCodecID id = AV_CODEC_ID_NONE;
  if (codec == BoxType("avc1") || codec == BoxType("avc3")) id = AV_CODEC_ID_H264;
  if (codec == BoxType("hvc1") || codec == BoxType("hev1")) id = AV_CODEC_ID_HEVC;
  if (id == AV_CODEC_ID_NONE || config.empty()) return;
  auto parser = std::make_unique<Parser>();
  parser->Handle = av_parser_init(id);
  parser->Context = avcodec_alloc_context3(nullptr);
  if (parser->Handle == nullptr || parser->Context == nullptr) return;
  parser->Context->codec_id = id;
  parser->Context->codec_type = AVMEDIA_TYPE_VIDEO;
  parser->Context->log_level_offset = 64;  // damaged units are expected, their errors no news
  if (!libav::CopyExtradata(*parser->Context, config)) return;
  parser->Handle->flags |= PARSER_FLAG_COMPLETE_FRAMES;
  parser_ = std::move(parser);
}

PictureOrder::~PictureOrder() = default;

bool PictureOrder::Available() const { return parser_ != nullptr; }

PictureOrder::Picture PictureOrder::Next(std::span<const uint8_t> accessUnit) {
  Picture picture;
  if (!parser_ || accessUnit.empty() || accessUnit.size() > static_cast<size_t>(INT32_MAX / 2)) return picture;
  Parser& p = *parser_;
  p.Buffer.assign(accessUnit.begin(), accessUnit.end());
  p.Buffer.resize(accessUnit.size() + AV_INPUT_BUFFER_PADDING_SIZE, 0);
  uint8_t* out = nullptr;
  int outSize = 0;
  p.Handle->output_picture_number = INT32_MIN;
  av_parser_parse2(p.Handle, p.Context, &out, &outSize, p.Buffer.data(), static_cast<int>(accessUnit.size()),
                   AV_NOPTS_VALUE, AV_NOPTS_VALUE, 0);
  if (outSize <= 0 || p.Handle->output_picture_number == INT32_MIN) return picture;
  picture.Known = true;
  picture.Order = p.Handle->output_picture_number;
  picture.Key = p.Handle->key_frame == 1;
  return picture;
}

}  // namespace korvid::iso
