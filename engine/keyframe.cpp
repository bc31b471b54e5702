#include "engine/keyframe.h"

#include <algorithm>
#include <array>

#include "engine/fourcc.h"

namespace korvid {
namespace {

struct CodecTag {
  uint32_t Code;  // upper case
  VideoCodec Kind;
};

// Tags seen in the fccHandler and biCompression of AVI recordings, upper case.
constexpr std::array CodecTags = {
    CodecTag{FourCC("MJPG"), VideoCodec::Intra}, CodecTag{FourCC("AVRN"), VideoCodec::Intra},
    CodecTag{FourCC("AVDJ"), VideoCodec::Intra}, CodecTag{FourCC("DMB1"), VideoCodec::Intra},
    CodecTag{FourCC("JPEG"), VideoCodec::Intra}, CodecTag{FourCC("LJPG"), VideoCodec::Intra},
    CodecTag{FourCC("JPGL"), VideoCodec::Intra}, CodecTag{FourCC("IJPG"), VideoCodec::Intra},
    CodecTag{FourCC("MJLS"), VideoCodec::Intra}, CodecTag{FourCC("ACDV"), VideoCodec::Intra},
    CodecTag{FourCC("QIVG"), VideoCodec::Intra}, CodecTag{FourCC("SLMJ"), VideoCodec::Intra},

    CodecTag{FourCC("FMP4"), VideoCodec::Mpeg4Part2}, CodecTag{FourCC("XVID"), VideoCodec::Mpeg4Part2},
    CodecTag{FourCC("XVIX"), VideoCodec::Mpeg4Part2}, CodecTag{FourCC("DIVX"), VideoCodec::Mpeg4Part2},
    CodecTag{FourCC("DX50"), VideoCodec::Mpeg4Part2}, CodecTag{FourCC("MP4V"), VideoCodec::Mpeg4Part2},
    CodecTag{FourCC("MP4S"), VideoCodec::Mpeg4Part2}, CodecTag{FourCC("M4S2"), VideoCodec::Mpeg4Part2},
    CodecTag{FourCC("3IV2"), VideoCodec::Mpeg4Part2}, CodecTag{FourCC("RMP4"), VideoCodec::Mpeg4Part2},
    CodecTag{FourCC("SMP4"), VideoCodec::Mpeg4Part2}, CodecTag{FourCC("UMP4"), VideoCodec::Mpeg4Part2},
    CodecTag{FourCC("DM4V"), VideoCodec::Mpeg4Part2}, CodecTag{FourCC("HDX4"), VideoCodec::Mpeg4Part2},
    CodecTag{FourCC("SEDG"), VideoCodec::Mpeg4Part2}, CodecTag{FourCC("WV1F"), VideoCodec::Mpeg4Part2},
    CodecTag{FourCC("BLZ0"), VideoCodec::Mpeg4Part2}, CodecTag{FourCC("GEOV"), VideoCodec::Mpeg4Part2},
    CodecTag{FourCC("DIGI"), VideoCodec::Mpeg4Part2}, CodecTag{FourCC("M4CC"), VideoCodec::Mpeg4Part2},
    CodecTag{FourCC("SN40"), VideoCodec::Mpeg4Part2}, CodecTag{FourCC("PVMM"), VideoCodec::Mpeg4Part2},

    CodecTag{FourCC("H264"), VideoCodec::H264}, CodecTag{FourCC("X264"), VideoCodec::H264},
    CodecTag{FourCC("AVC1"), VideoCodec::H264}, CodecTag{FourCC("DAVC"), VideoCodec::H264},
    CodecTag{FourCC("VSSH"), VideoCodec::H264}, CodecTag{FourCC("Q264"), VideoCodec::H264},
    CodecTag{FourCC("V264"), VideoCodec::H264}, CodecTag{FourCC("GAVC"), VideoCodec::H264},
    CodecTag{FourCC("UMSV"), VideoCodec::H264}, CodecTag{FourCC("TSHD"), VideoCodec::H264},
    CodecTag{FourCC("INMC"), VideoCodec::H264}, CodecTag{FourCC("SMV2"), VideoCodec::H264},

    CodecTag{FourCC("HEVC"), VideoCodec::H265}, CodecTag{FourCC("H265"), VideoCodec::H265},
    CodecTag{FourCC("X265"), VideoCodec::H265}, CodecTag{FourCC("HVC1"), VideoCodec::H265},
    CodecTag{FourCC("HEV1"), VideoCodec::H265},
};

uint32_t UpperCase(uint32_t code) {
  uint32_t upper = 0;
  for (int shift = 0; shift < 32; shift += 8) {
    uint32_t c = (code >> shift) & 0xFF;
    if (c >= 'a' && c <= 'z') c -= 'a' - 'A';
    upper |= c << shift;
  }
  return upper;
}

VideoCodec CodecOf(uint32_t code) {
  const uint32_t upper = UpperCase(code);
  for (const CodecTag& tag : CodecTags) {
    if (tag.Code == upper) return tag.Kind;
  }
  return VideoCodec::Unknown;
}

// The offset just past the next 00 00 01 at or after `from` (a four-byte start code 00 00 00 01
// ends with one), or data.size() when there is none.
size_t AfterStartCode(std::span<const uint8_t> data, size_t from) {
  for (size_t i = from; i + 3 <= data.size(); ++i) {
    if (data[i + 2] > 1) {
      i += 2;  // no start code can end at or before i + 2
    } else if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1) {
      return i + 3;
    }
  }
  return data.size();
}

// The first VOP decides: vop_coding_type, the top two bits after 00 00 01 B6, is 0 for an I-VOP.
bool Mpeg4KeyFrame(std::span<const uint8_t> data) {
  for (size_t at = AfterStartCode(data, 0); at < data.size(); at = AfterStartCode(data, at)) {
    if (data[at] == 0xB6) return at + 1 < data.size() && (data[at + 1] >> 6) == 0;
  }
  return false;
}

// Parameter sets, SEI and delimiters come first; the first coded slice (NAL types 1 to 5)
// decides, and only an IDR slice (type 5) starts a picture decodable on its own.
bool H264KeyFrame(std::span<const uint8_t> data) {
  for (size_t at = AfterStartCode(data, 0); at < data.size(); at = AfterStartCode(data, at)) {
    const int type = data[at] & 0x1F;
    if (type >= 1 && type <= 5) return type == 5;
  }
  return false;
}

// The first VCL NAL (types 0 to 31) decides; IRAP types 16 to 23 (BLA, IDR, CRA) are keys.
bool H265KeyFrame(std::span<const uint8_t> data) {
  for (size_t at = AfterStartCode(data, 0); at < data.size(); at = AfterStartCode(data, at)) {
    const int type = (data[at] >> 1) & 0x3F;
    if (type < 32) return type >= 16 && type <= 23;
  }
  return false;
}

}  // namespace

VideoCodec CodecOfStream(const AviStream& stream) {
  const VideoCodec codec = CodecOf(stream.Compression);
  return codec != VideoCodec::Unknown ? codec : CodecOf(stream.Handler);
}

bool IsKeyFrame(const AviStream& stream, std::span<const uint8_t> data) {
  if (data.empty()) return false;
  const auto probe = data.first(std::min(data.size(), KeyFrameProbeBytes));
  switch (CodecOfStream(stream)) {
    case VideoCodec::Mpeg4Part2:
      return Mpeg4KeyFrame(probe);
    case VideoCodec::H264:
      return H264KeyFrame(probe);
    case VideoCodec::H265:
      return H265KeyFrame(probe);
    case VideoCodec::Intra:
    case VideoCodec::Unknown:
      break;
  }
  return true;
}

}  // namespace korvid
