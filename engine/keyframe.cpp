#include "engine/keyframe.h"

#include <algorithm>
#include <array>

#include "engine/fourcc.h"

namespace korvid {
namespace {

enum class Codec : uint8_t { Unknown, Intra, Mpeg4Part2, H264, H265 };

struct CodecTag {
  uint32_t Code;  // upper case
  Codec Kind;
};

// Tags seen in the fccHandler and biCompression of AVI recordings, upper case.
constexpr std::array CodecTags = {
    CodecTag{FourCC("MJPG"), Codec::Intra}, CodecTag{FourCC("AVRN"), Codec::Intra},
    CodecTag{FourCC("AVDJ"), Codec::Intra}, CodecTag{FourCC("DMB1"), Codec::Intra},
    CodecTag{FourCC("JPEG"), Codec::Intra}, CodecTag{FourCC("LJPG"), Codec::Intra},
    CodecTag{FourCC("JPGL"), Codec::Intra}, CodecTag{FourCC("IJPG"), Codec::Intra},
    CodecTag{FourCC("MJLS"), Codec::Intra}, CodecTag{FourCC("ACDV"), Codec::Intra},
    CodecTag{FourCC("QIVG"), Codec::Intra}, CodecTag{FourCC("SLMJ"), Codec::Intra},

    CodecTag{FourCC("FMP4"), Codec::Mpeg4Part2}, CodecTag{FourCC("XVID"), Codec::Mpeg4Part2},
    CodecTag{FourCC("XVIX"), Codec::Mpeg4Part2}, CodecTag{FourCC("DIVX"), Codec::Mpeg4Part2},
    CodecTag{FourCC("DX50"), Codec::Mpeg4Part2}, CodecTag{FourCC("MP4V"), Codec::Mpeg4Part2},
    CodecTag{FourCC("MP4S"), Codec::Mpeg4Part2}, CodecTag{FourCC("M4S2"), Codec::Mpeg4Part2},
    CodecTag{FourCC("3IV2"), Codec::Mpeg4Part2}, CodecTag{FourCC("RMP4"), Codec::Mpeg4Part2},
    CodecTag{FourCC("SMP4"), Codec::Mpeg4Part2}, CodecTag{FourCC("UMP4"), Codec::Mpeg4Part2},
    CodecTag{FourCC("DM4V"), Codec::Mpeg4Part2}, CodecTag{FourCC("HDX4"), Codec::Mpeg4Part2},
    CodecTag{FourCC("SEDG"), Codec::Mpeg4Part2}, CodecTag{FourCC("WV1F"), Codec::Mpeg4Part2},
    CodecTag{FourCC("BLZ0"), Codec::Mpeg4Part2}, CodecTag{FourCC("GEOV"), Codec::Mpeg4Part2},
    CodecTag{FourCC("DIGI"), Codec::Mpeg4Part2}, CodecTag{FourCC("M4CC"), Codec::Mpeg4Part2},
    CodecTag{FourCC("SN40"), Codec::Mpeg4Part2}, CodecTag{FourCC("PVMM"), Codec::Mpeg4Part2},

    CodecTag{FourCC("H264"), Codec::H264}, CodecTag{FourCC("X264"), Codec::H264},
    CodecTag{FourCC("AVC1"), Codec::H264}, CodecTag{FourCC("DAVC"), Codec::H264},
    CodecTag{FourCC("VSSH"), Codec::H264}, CodecTag{FourCC("Q264"), Codec::H264},
    CodecTag{FourCC("V264"), Codec::H264}, CodecTag{FourCC("GAVC"), Codec::H264},
    CodecTag{FourCC("UMSV"), Codec::H264}, CodecTag{FourCC("TSHD"), Codec::H264},
    CodecTag{FourCC("INMC"), Codec::H264}, CodecTag{FourCC("SMV2"), Codec::H264},

    CodecTag{FourCC("HEVC"), Codec::H265}, CodecTag{FourCC("H265"), Codec::H265},
    CodecTag{FourCC("X265"), Codec::H265}, CodecTag{FourCC("HVC1"), Codec::H265},
    CodecTag{FourCC("HEV1"), Codec::H265},
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

Codec CodecOf(uint32_t code) {
  const uint32_t upper = UpperCase(code);
  for (const CodecTag& tag : CodecTags) {
    if (tag.Code == upper) return tag.Kind;
  }
  return Codec::Unknown;
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

bool IsKeyFrame(const AviStream& stream, std::span<const uint8_t> data) {
  if (data.empty()) return false;
  Codec codec = CodecOf(stream.Compression);
  if (codec == Codec::Unknown) codec = CodecOf(stream.Handler);
  const auto probe = data.first(std::min(data.size(), KeyFrameProbeBytes));
  switch (codec) {
    case Codec::Mpeg4Part2:
      return Mpeg4KeyFrame(probe);
    case Codec::H264:
      return H264KeyFrame(probe);
    case Codec::H265:
      return H265KeyFrame(probe);
    case Codec::Intra:
    case Codec::Unknown:
      break;
  }
  return true;
}

}  // namespace korvid
