#include "engine/iso_media/media_data_split.h"

#include <algorithm>
#include <optional>
#include <span>

#include "engine/iso_media/audio_frames.h"
#include "engine/iso_media/picture_order.h"

namespace korvid::iso {
namespace {

// Source bytes read ahead in blocks, so that walking units of a few bytes costs few reads.
class Window {
 public:
  Window(SourceBytes& source, int64_t end) : source_(source), end_(std::min(end, source.Size())) {}

  int64_t End() const { return end_; }

  // Bytes [at, at + length), fewer when the range passes End(); valid until the next call.
  std::span<const uint8_t> Get(int64_t at, size_t length) {
    if (at < 0 || at >= end_) return {};
    length = static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(length), end_ - at));
    if (at < start_ || at + static_cast<int64_t>(length) > start_ + static_cast<int64_t>(bytes_.size())) {
      const size_t fill = static_cast<size_t>(std::min<int64_t>(std::max<int64_t>(static_cast<int64_t>(length), Block), end_ - at));
      bytes_.resize(fill);
      if (!source_.Read(at, fill, bytes_.data())) {
        bytes_.clear();
        return {};
      }
      start_ = at;
    }
    return std::span<const uint8_t>(bytes_).subspan(static_cast<size_t>(at - start_), length);
  }

 private:
  static constexpr int64_t Block = 4 << 20;
  SourceBytes& source_;
  int64_t end_;
  std::vector<uint8_t> bytes_;
  int64_t start_ = 0;
};

// Exp-Golomb codes at the start of a NAL unit's payload, past emulation prevention bytes.
class BitReader {
 public:
  explicit BitReader(std::span<const uint8_t> bytes) : bytes_(bytes) {}

  std::optional<uint32_t> Bit() {
    if (bit_ == 0) {
      if (at_ >= bytes_.size()) return std::nullopt;
      if (at_ >= 2 && bytes_[at_] == 3 && bytes_[at_ - 1] == 0 && bytes_[at_ - 2] == 0) ++at_;
      if (at_ >= bytes_.size()) return std::nullopt;
      current_ = bytes_[at_++];
      bit_ = 8;
    }
    --bit_;
    return (current_ >> bit_) & 1;
  }

  std::optional<uint32_t> Golomb() {
    int zeros = 0;
    for (;;) {
      const std::optional<uint32_t> b = Bit();
      if (!b) return std::nullopt;
      if (*b == 1) break;
      if (++zeros > 31) return std::nullopt;
    }
    uint64_t value = 0;
    for (int i = 0; i < zeros; ++i) {
      const std::optional<uint32_t> b = Bit();
      if (!b) return std::nullopt;
      value = value << 1 | *b;
    }
    return static_cast<uint32_t>((uint64_t{1} << zeros) - 1 + value);
  }

 private:
  std::span<const uint8_t> bytes_;
  size_t at_ = 0;
  uint8_t current_ = 0;
  int bit_ = 0;
};

struct Nal {
  uint64_t Bytes = 0;      // length prefix included
  bool Vcl = false;
  bool StartsUnit = false;  // may only begin an access unit
  bool Key = false;         // IDR (H.264) or IRAP (H.265)
  bool Restart = false;     // IDR: picture order counts restart
  uint32_t FirstMb = 0;     // H.264 slices: first_mb_in_slice
};

constexpr int32_t UnknownOrder = INT32_MIN;

// Bytes of a slice that hold its header, as far as the parser reads it.
constexpr size_t SliceHeadBytes = 256;

// Bytes of audio decoded first to find where a run of AAC frames ends.
constexpr size_t FirstAudioSpan = 16 << 10;

// Bytes of a NAL unit's header and slice header read to judge it.
constexpr size_t HeadBytes = 16;

std::optional<Nal> H264Nal(std::span<const uint8_t> head, uint64_t length) {
  const uint8_t h = head[0];
  const unsigned type = h & 0x1F, nri = h >> 5 & 3;
  if (h & 0x80 || type == 0 || type > 12) return std::nullopt;
  if ((type == 5 || type == 7 || type == 8) && nri == 0) return std::nullopt;
  if (type == 6 || type >= 9) {
    if (nri != 0) return std::nullopt;
  }
  Nal nal;
  if (type == 1 || type == 5) {
    BitReader bits(head.subspan(1));
    const std::optional<uint32_t> firstMb = bits.Golomb(), sliceType = bits.Golomb(), pps = bits.Golomb();
    if (!firstMb || !sliceType || !pps || *sliceType > 9 || *pps > 255) return std::nullopt;
    if (type == 5 && *sliceType % 5 != 2 && *sliceType % 5 != 4) return std::nullopt;  // IDR: I or SI slices
    nal.Vcl = true;
    nal.FirstMb = *firstMb;
    nal.StartsUnit = *firstMb == 0;
    nal.Key = nal.Restart = type == 5;
  } else if (type == 9) {
    if (length != 2 || (head[1] & 0x1F) != 0x10) return std::nullopt;  // primary_pic_type, stop bit
    nal.StartsUnit = true;
  } else if (type == 7) {
    if (length < 4) return std::nullopt;
    constexpr uint8_t Profiles[] = {44, 66, 77, 83, 86, 88, 100, 110, 118, 122, 128, 134, 135, 138, 139, 144, 244};
    if (std::find(std::begin(Profiles), std::end(Profiles), head[1]) == std::end(Profiles)) return std::nullopt;
    nal.StartsUnit = true;
  } else {
    nal.StartsUnit = type == 6 || type == 8;
  }
  return nal;
}

std::optional<Nal> H265Nal(std::span<const uint8_t> head, uint64_t length) {
  if (length < 2 || head.size() < 2) return std::nullopt;
  const unsigned type = head[0] >> 1 & 0x3F;
  const unsigned layer = (head[0] & 1) << 5 | head[1] >> 3, temporalPlus1 = head[1] & 7;
  if (head[0] & 0x80 || layer != 0 || temporalPlus1 == 0) return std::nullopt;
  const bool vcl = type <= 9 || (type >= 16 && type <= 21);
  if (!vcl && (type < 32 || type > 40)) return std::nullopt;
  const bool irap = type >= 16 && type <= 21;
  if ((irap || type == 32 || type == 33 || type == 36 || type == 37) && temporalPlus1 != 1) return std::nullopt;
  Nal nal;
  if (vcl) {
    BitReader bits(head.subspan(2));
    const std::optional<uint32_t> first = bits.Bit();
    if (!first || (irap && !bits.Bit())) return std::nullopt;
    const std::optional<uint32_t> pps = bits.Golomb();
    if (!pps || *pps > 63) return std::nullopt;
    nal.Vcl = true;
    nal.StartsUnit = *first == 1;
    nal.Key = irap;
    nal.Restart = type == 19 || type == 20;
  } else if (type == 35) {
    if (length != 3 || (head[2] >> 5) > 2 || (head[2] & 0x1F) != 0x10) return std::nullopt;
    nal.StartsUnit = true;
  } else {
    nal.StartsUnit = type <= 35 || type == 39;  // parameter sets, prefix SEI
  }
  return nal;
}

// An access unit, as a sample of the track.
struct Unit {
  int64_t Start = 0;
  uint32_t Size = 0;
  bool Key = false;
  bool Restart = false;
};

class Walker {
 public:
  Walker(SourceBytes& source, int64_t to, const MediaLayout& layout)
      : window_(source, to),
        layout_(layout),
        aac_(layout.AacConfig),
        order_(layout.VideoCodec, layout.VideoConfig),
        judge_(layout.VideoCodec, layout.VideoConfig) {
    audio_ = layout.AudioFormat;
    if (audio_ == MediaLayout::Audio::Aac && !aac_.Available()) audio_ = MediaLayout::Audio::Opaque;
    if (audio_ == MediaLayout::Audio::Pcm && layout.PcmBlock == 0) audio_ = MediaLayout::Audio::Opaque;
    ordered_ = order_.Available();
  }

  SplitMedia Walk(int64_t from) {
    int64_t at = from;
    const int64_t to = window_.End();
    media_.End = from;
    // Audio alone: nothing would tell its frames from other bytes.
    if (layout_.VideoFormat == MediaLayout::Video::None) return media_;
    while (at < to) {
      if (VideoStartsAt(at)) {
        const int64_t end = VideoRun(at);
        if (end == at) break;
        at = end;
        continue;
      }
      if (audio_ == MediaLayout::Audio::None) break;
      const std::optional<int64_t> end = AudioRun(at);
      if (!end) break;
      at = *end;
    }
    if (at < to) DropLast();
    media_.End = items_.empty() ? from : items_.back().End;
    // Presentation order is of use only when every picture kept has one.
    std::vector<int32_t>& order = media_.Video.Order;
    if (std::find(order.begin(), order.end(), UnknownOrder) != order.end()) order.clear();
    return media_;
  }

 private:
  enum class Kind { Video, Audio, Skipped };
  struct Item {
    Kind What;
    int64_t End;
  };

  std::optional<Nal> NalAt(int64_t at) {
    const unsigned lengthSize = layout_.NalLengthSize;
    const std::span<const uint8_t> head = window_.Get(at, lengthSize + HeadBytes);
    if (head.size() < lengthSize + 1) return std::nullopt;
    uint64_t length = 0;
    for (unsigned i = 0; i < lengthSize; ++i) length = length << 8 | head[i];
    if (length == 0 || length > layout_.MostNalBytes ||
        static_cast<uint64_t>(window_.End() - at) - lengthSize < length) {
      return std::nullopt;
    }
    const std::span<const uint8_t> body = head.subspan(lengthSize, std::min<uint64_t>(length, HeadBytes));
    std::optional<Nal> nal = layout_.VideoFormat == MediaLayout::Video::H264 ? H264Nal(body, length) : H265Nal(body, length);
    if (nal) nal->Bytes = lengthSize + length;
    return nal;
  }

  // Whether an access unit starts at `at`: its units before the first slice, and that slice,
  // are sound, and the slice is the picture's first; and, where libavcodec's parser can tell,
  // its slice header reads with the parameter sets of the sample or those before it.
  bool VideoStartsAt(int64_t at) {
    const int64_t start = at;
    for (int units = 0; units < 16; ++units) {
      const std::optional<Nal> nal = NalAt(at);
      if (!nal || !nal->StartsUnit) return false;
      if (nal->Vcl) return !judge_.Available() || SliceHeaderReads(start, at);
      at += static_cast<int64_t>(nal->Bytes);
    }
    return false;
  }

  // Parses the units from `start` on and the head of the slice at `slice`, its length cut to
  // what the slice header needs, with a parser of its own: pictures out of sequence leave the
  // one that orders pictures be.
  bool SliceHeaderReads(int64_t start, int64_t slice) {
    const unsigned lengthSize = layout_.NalLengthSize;
    const std::span<const uint8_t> before = window_.Get(start, static_cast<size_t>(slice - start));
    probe_.assign(before.begin(), before.end());
    const std::span<const uint8_t> head = window_.Get(slice, lengthSize + SliceHeadBytes);
    uint64_t length = 0;
    for (unsigned i = 0; i < lengthSize; ++i) length = length << 8 | head[i];
    const size_t kept = static_cast<size_t>(std::min<uint64_t>(length, SliceHeadBytes));
    for (unsigned i = 0; i < lengthSize; ++i) probe_.push_back(static_cast<uint8_t>(kept >> (8 * (lengthSize - 1 - i))));
    probe_.insert(probe_.end(), head.begin() + lengthSize, head.begin() + lengthSize + static_cast<long>(kept));
    return judge_.Next(probe_).Known;
  }

  // The access units from `at` on, as one chunk; where they end.
  int64_t VideoRun(int64_t at) {
    const uint32_t firstSample = static_cast<uint32_t>(media_.Video.Sizes.size());
    const int64_t runStart = at;
    int64_t unitStart = at;
    bool slices = false, key = false, restart = false;
    uint32_t lastFirstMb = 0;
    const auto close = [&](int64_t end) {
      AddUnit({unitStart, static_cast<uint32_t>(end - unitStart), key, restart});
      unitStart = end;
      slices = key = restart = false;
    };
    for (;;) {
      const std::optional<Nal> nal = NalAt(at);
      if (!nal) break;
      if (nal->StartsUnit && slices) {
        close(at);
      } else if (!nal->StartsUnit && nal->Vcl) {
        // A later slice of the picture: behind its first, further down the picture.
        if (!slices || (layout_.VideoFormat == MediaLayout::Video::H264 && nal->FirstMb <= lastFirstMb)) break;
      } else if (!nal->StartsUnit) {
        // Units that end a picture or a stream say little of themselves: what follows must be
        // sound too.
        const int64_t next = at + static_cast<int64_t>(nal->Bytes);
        if (next != window_.End() && !NalAt(next)) break;
      }
      if (nal->Vcl) {
        slices = true;
        key = key || nal->Key;
        restart = restart || nal->Restart;
        lastFirstMb = nal->FirstMb;
      }
      if (unitStart + static_cast<int64_t>(UINT32_MAX) < at + static_cast<int64_t>(nal->Bytes)) break;
      at += static_cast<int64_t>(nal->Bytes);
    }
    if (slices) close(at);
    const uint32_t count = static_cast<uint32_t>(media_.Video.Sizes.size()) - firstSample;
    if (count == 0) return runStart;
    media_.Video.Chunks.push_back({runStart, firstSample, count});
    items_.push_back({Kind::Video, unitStart});
    return unitStart;
  }

  void AddUnit(const Unit& unit) {
    SplitTrack& video = media_.Video;
    video.Sizes.push_back(unit.Size);
    video.Key.push_back(unit.Key);
    video.Restart.push_back(unit.Restart);
    ++video.Samples;
    if (ordered_) {
      const std::span<const uint8_t> bytes = window_.Get(unit.Start, unit.Size);
      const PictureOrder::Picture picture =
          bytes.size() == unit.Size ? order_.Next(bytes) : PictureOrder::Picture{};
      video.Order.push_back(picture.Known ? picture.Order : UnknownOrder);
      if (picture.Key) video.Key.back() = true;
    }
  }

  // Where an AAC run may end: decoding tells where its frames end, so the data's end will do.
  bool Ends(int64_t at) { return at == window_.End() || VideoStartsAt(at); }

  // The audio frames from `at` on up to where video starts again or the data ends; nullopt
  // when they do not reach there.
  std::optional<int64_t> AudioRun(int64_t at) {
    const size_t reach =
        static_cast<size_t>(std::min<int64_t>(window_.End() - at, static_cast<int64_t>(layout_.MostAudioRunBytes)));
    SplitTrack& audio = media_.Audio;
    const uint32_t firstSample = static_cast<uint32_t>(audio.Samples);
    int64_t end = at;
    if (audio_ == MediaLayout::Audio::Aac) {
      // Runs are mostly short: decode a little first, more only when the run goes on.
      for (size_t span = std::min<size_t>(FirstAudioSpan, reach);; span = std::min(4 * span, reach)) {
        const std::span<const uint8_t> bytes = window_.Get(at, span);
        const std::vector<uint8_t> data(bytes.begin(), bytes.end());  // Ends() moves the window
        AacFrames::Run run = aac_.Split(data, [&](size_t offset) { return Ends(at + static_cast<int64_t>(offset)); });
        uint64_t total = 0;
        for (uint32_t size : run.Sizes) total += size;
        // A run that fills all the span may have been cut there mid-frame.
        const bool whole = run.EndKnown && !run.Sizes.empty() &&
                           (total < data.size() || at + static_cast<int64_t>(total) == window_.End());
        if (whole) {
          end = at + static_cast<int64_t>(total);
          audio.Sizes.insert(audio.Sizes.end(), run.Sizes.begin(), run.Sizes.end());
          audio.Samples += run.Sizes.size();
          break;
        }
        if (span == reach) return std::nullopt;
      }
    } else {
      const uint32_t step = audio_ == MediaLayout::Audio::Pcm ? layout_.PcmBlock : 1;
      uint64_t blocks = 0;
      // Nothing in these bytes tells where they end but the video after them: at the data's
      // end they may as well be another file's.
      for (uint64_t k = 1; k * step < reach; ++k) {
        if (VideoStartsAt(at + static_cast<int64_t>(k * step))) {
          blocks = k;
          break;
        }
      }
      if (blocks == 0) return std::nullopt;
      end = at + static_cast<int64_t>(blocks * step);
      if (audio_ == MediaLayout::Audio::Opaque) {
        items_.push_back({Kind::Skipped, end});
        return end;
      }
      audio.Samples += blocks;
    }
    audio.Chunks.push_back({at, firstSample, static_cast<uint32_t>(audio.Samples - firstSample)});
    items_.push_back({Kind::Audio, end});
    return end;
  }

  // Leaves out the last access unit or audio run, and any skipped bytes before it.
  void DropLast() {
    if (!items_.empty()) {
      SplitTrack& track = items_.back().What == Kind::Video ? media_.Video : media_.Audio;
      if (items_.back().What == Kind::Skipped) {
        items_.pop_back();
      } else if (items_.back().What == Kind::Video) {
        SplitChunk& chunk = track.Chunks.back();
        const uint32_t size = track.Sizes.back();
        track.Sizes.pop_back();
        track.Key.pop_back();
        track.Restart.pop_back();
        if (track.Order.size() > track.Sizes.size()) track.Order.pop_back();
        --track.Samples;
        items_.back().End -= size;
        if (--chunk.Count == 0) {
          track.Chunks.pop_back();
          items_.pop_back();
        }
      } else {
        const SplitChunk chunk = track.Chunks.back();
        track.Chunks.pop_back();
        track.Samples -= chunk.Count;
        if (!track.Sizes.empty()) track.Sizes.resize(track.Sizes.size() - chunk.Count);
        items_.pop_back();
      }
    }
    while (!items_.empty() && items_.back().What == Kind::Skipped) items_.pop_back();
  }

  Window window_;
  const MediaLayout& layout_;
  MediaLayout::Audio audio_;
  AacFrames aac_;
  PictureOrder order_;
  PictureOrder judge_;
  std::vector<uint8_t> probe_;
  bool ordered_ = false;
  SplitMedia media_;
  std::vector<Item> items_;
};

}  // namespace

SplitMedia SplitMediaData(SourceBytes& source, int64_t from, int64_t to, const MediaLayout& layout) {
  Walker walker(source, to, layout);
  return walker.Walk(from);
}

}  // namespace korvid::iso
