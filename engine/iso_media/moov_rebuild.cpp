#include "engine/iso_media/moov_rebuild.h"

#include <algorithm>
#include <cstdlib>
#include <limits>
#include <numeric>

#include "engine/iso_media/media_data_split.h"
#include "engine/iso_media/movie_box.h"

namespace korvid::iso {
namespace {

using Bytes = std::span<const uint8_t>;

// Appends big-endian fields and boxes whose sizes are filled in when they close.
class BoxWriter {
 public:
  std::vector<uint8_t>& Out() { return out_; }
  void U8(uint8_t v) { out_.push_back(v); }
  void U16(uint16_t v) { Unsigned(v, 2); }
  void U32(uint32_t v) { Unsigned(v, 4); }
  void U64(uint64_t v) { Unsigned(v, 8); }
  void Copy(Bytes bytes) { out_.insert(out_.end(), bytes.begin(), bytes.end()); }
  size_t Open(uint32_t type) {
    const size_t at = out_.size();
    U32(0);
    U32(type);
    return at;
  }
  size_t OpenFull(uint32_t type, uint8_t version) {
    const size_t at = Open(type);
    U32(uint32_t{version} << 24);
    return at;
  }
  void Close(size_t at) {
    const uint32_t size = static_cast<uint32_t>(out_.size() - at);
    for (int i = 0; i < 4; ++i) out_[at + i] = static_cast<uint8_t>(size >> (24 - 8 * i));
  }

 private:
  void Unsigned(uint64_t v, int bytes) {
    for (int i = bytes - 1; i >= 0; --i) out_.push_back(static_cast<uint8_t>(v >> (8 * i)));
  }
  std::vector<uint8_t> out_;
};

// Overwrites a big-endian field of `bytes` bytes at `at`, saturating what does not fit.
void Patch(std::vector<uint8_t>& out, size_t at, uint64_t value, int bytes) {
  if (bytes == 4) value = std::min<uint64_t>(value, std::numeric_limits<uint32_t>::max());
  for (int i = 0; i < bytes; ++i) out[at + i] = static_cast<uint8_t>(value >> (8 * (bytes - 1 - i)));
}

// Copies a header box (mvhd, tkhd, mdhd) with its duration changed. The duration sits after
// `before32` bytes of fields in version 0, `before64` in version 1.
void CopyWithDuration(BoxWriter& w, Bytes moov, const Box& box, size_t before32, size_t before64, uint64_t duration) {
  const size_t at = w.Out().size();
  w.Copy(moov.subspan(box.Start, box.Size));
  if (box.Size < box.HeaderSize + 4) return;
  const bool wide = moov[box.PayloadStart()] == 1;
  const size_t field = box.HeaderSize + 4 + (wide ? before64 : before32);
  if (field + (wide ? 8 : 4) <= box.Size) Patch(w.Out(), at + field, duration, wide ? 8 : 4);
}

struct Edit {
  uint64_t Duration = 0;  // in the movie's time scale
  int64_t MediaTime = 0;  // -1: an empty edit
};

std::vector<Edit> ReadEdits(Bytes moov, const Box& trak) {
  std::vector<Edit> edits;
  const std::optional<Box> edts = FindChild(moov, trak, BoxType("edts"));
  const std::optional<Box> elst = edts ? FindChild(moov, *edts, BoxType("elst")) : std::nullopt;
  if (!elst || elst->Size < elst->HeaderSize + 8) return edits;
  const bool wide = moov[elst->PayloadStart()] == 1;
  const size_t entryBytes = wide ? 20 : 12;
  const uint32_t count = BigEndian32(moov.data() + elst->PayloadStart() + 4);
  const size_t room = (elst->Size - elst->HeaderSize - 8) / entryBytes;
  for (size_t i = 0; i < std::min<size_t>(count, room); ++i) {
    const uint8_t* p = moov.data() + elst->PayloadStart() + 8 + i * entryBytes;
    edits.push_back(wide ? Edit{BigEndian64(p), static_cast<int64_t>(BigEndian64(p + 8))}
                         : Edit{BigEndian32(p), static_cast<int32_t>(BigEndian32(p + 4))});
  }
  return edits;
}

// The parts of a sample track a rebuild needs beyond what ParseMovie gives.
struct TrackBoxes {
  Box Trak;
  std::optional<Box> Stbl;
  std::optional<Box> Entry;  // the first sample entry of stsd
};

TrackBoxes FindTrackBoxes(Bytes moov, const Box& trak) {
  TrackBoxes t{trak, std::nullopt, std::nullopt};
  const std::optional<Box> mdia = FindChild(moov, trak, BoxType("mdia"));
  const std::optional<Box> minf = mdia ? FindChild(moov, *mdia, BoxType("minf")) : std::nullopt;
  t.Stbl = minf ? FindChild(moov, *minf, BoxType("stbl")) : std::nullopt;
  if (!t.Stbl) return t;
  if (const std::optional<Box> stsd = FindChild(moov, *t.Stbl, BoxType("stsd"))) {
    const std::vector<Box> entries = ChildBoxes(moov, stsd->PayloadStart() + 8, stsd->End());
    if (!entries.empty()) t.Entry = entries[0];
  }
  return t;
}

// A descriptor's length in esds: up to four bytes of seven bits each.
std::optional<size_t> DescriptorLength(Bytes bytes, size_t& at) {
  size_t length = 0;
  for (int i = 0; i < 4; ++i) {
    if (at >= bytes.size()) return std::nullopt;
    const uint8_t b = bytes[at++];
    length = length << 7 | (b & 0x7F);
    if ((b & 0x80) == 0) return length;
  }
  return std::nullopt;
}

// The AudioSpecificConfig of an esds whose decoder is AAC; empty for another codec.
std::vector<uint8_t> AacConfig(Bytes esds) {
  size_t at = 4;  // version and flags
  if (at >= esds.size() || esds[at++] != 3) return {};
  if (!DescriptorLength(esds, at) || at + 3 > esds.size()) return {};
  const uint8_t flags = esds[at + 2];
  at += 3;
  if (flags & 0x80) at += 2;
  if (flags & 0x40) {
    if (at >= esds.size()) return {};
    at += 1 + esds[at];
  }
  if (flags & 0x20) at += 2;
  if (at >= esds.size() || esds[at++] != 4 || !DescriptorLength(esds, at) || at + 13 > esds.size()) return {};
  const uint8_t object = esds[at];
  if (object != 0x40 && object != 0x66 && object != 0x67 && object != 0x68) return {};  // MPEG-4 or MPEG-2 AAC
  at += 13;
  if (at >= esds.size() || esds[at++] != 5) return {};
  const std::optional<size_t> length = DescriptorLength(esds, at);
  if (!length || *length == 0 || *length > esds.size() - at) return {};
  return {esds.begin() + static_cast<long>(at), esds.begin() + static_cast<long>(at + *length)};
}

// The first box of the type among those in moov[from, to).
std::optional<Box> FindBoxIn(Bytes moov, size_t from, size_t to, uint32_t type) {
  if (from >= to) return std::nullopt;
  return FindChild(moov, Box{0, from, 0, to - from}, type);
}

// Where a sound sample entry's boxes begin.
size_t SoundEntryBoxes(Bytes moov, const Box& entry) {
  if (entry.Size < 36) return entry.End();
  const uint16_t version = BigEndian16(moov.data() + entry.Start + 16);
  return entry.Start + 36 + (version == 1 ? 16 : version == 2 ? 36 : 0);
}

uint64_t LongestChunk(const MovieTrack& track) {
  int64_t most = 0;
  for (const ByteRange& chunk : track.Chunks) most = std::max(most, chunk.Length);
  return static_cast<uint64_t>(most);
}

// The sample duration most samples of the track have: a recording's last sample is often
// shorter than the rest.
uint32_t SampleDelta(Bytes moov, const TrackBoxes& boxes) {
  const std::optional<Box> stts = FindChild(moov, *boxes.Stbl, BoxType("stts"));
  if (!stts || stts->Size < stts->HeaderSize + 8) return 1;
  const uint32_t count = BigEndian32(moov.data() + stts->PayloadStart() + 4);
  const size_t room = (stts->Size - stts->HeaderSize - 8) / 8;
  uint32_t most = 0, delta = 1;
  for (size_t i = 0; i < std::min<size_t>(count, room); ++i) {
    const uint8_t* entry = moov.data() + stts->PayloadStart() + 8 + 8 * i;
    if (BigEndian32(entry) > most && BigEndian32(entry + 4) != 0) {
      most = BigEndian32(entry);
      delta = BigEndian32(entry + 4);
    }
  }
  return delta;
}

uint64_t Rescale(uint64_t value, uint32_t from, uint32_t to) {
  if (from == 0) return 0;
  const uint64_t whole = value / from;
  if (whole > std::numeric_limits<uint64_t>::max() / std::max<uint32_t>(to, 1)) return std::numeric_limits<uint64_t>::max();
  return whole * to + value % from * to / from;
}

// A track of the new moov: what the walk found, and how its times go.
struct NewTrack {
  size_t Index = 0;  // in the sample's tracks
  const SplitTrack* Split = nullptr;
  uint32_t Delta = 1;
  uint32_t FixedSize = 0;  // PCM: every sample's size
  std::vector<uint32_t> Offsets;  // composition offsets; empty when presentation is decode order
  int64_t StartTime = 0;          // media time where the track's edit begins
  bool Video = false;
  uint64_t MediaDuration = 0;
  std::vector<Edit> Edits;
  uint64_t Duration = 0;  // in the movie's time scale
};

// Presentation follows picture order count within each run of pictures from one IDR to the
// next: a picture comes as many frames after the run's first shown as its count says, in steps
// of the counts' common divisor over all runs (a run cut short may hold too few to tell). The
// offsets are shifted so that none is negative, and the first picture shown comes at the shift.
void ComputeOffsets(NewTrack& track) {
  const SplitTrack& split = *track.Split;
  const size_t n = split.Sizes.size();
  if (split.Order.size() != n || n == 0) return;
  std::vector<size_t> runStarts;
  std::vector<int32_t> runFirst;
  int64_t step = 0;
  for (size_t begin = 0, end = 0; begin < n; begin = end) {
    end = begin + 1;
    while (end < n && !split.Restart[end]) ++end;
    const int32_t first = *std::min_element(split.Order.begin() + static_cast<long>(begin),
                                            split.Order.begin() + static_cast<long>(end));
    for (size_t i = begin; i < end; ++i) step = std::gcd(step, int64_t{split.Order[i]} - first);
    runStarts.push_back(begin);
    runFirst.push_back(first);
  }
  if (step == 0) step = 1;
  std::vector<int64_t> shown(n);
  for (size_t run = 0; run < runStarts.size(); ++run) {
    const size_t end = run + 1 < runStarts.size() ? runStarts[run + 1] : n;
    for (size_t i = runStarts[run]; i < end; ++i) {
      shown[i] = static_cast<int64_t>(runStarts[run]) + (split.Order[i] - runFirst[run]) / step;
    }
  }
  // Counts too far from the decode order are damage, not reordering.
  constexpr int64_t Farthest = 1 << 20;
  int64_t shift = 0;
  for (size_t i = 0; i < n; ++i) {
    if (std::abs(shown[i] - static_cast<int64_t>(i)) > Farthest) return;
    shift = std::max(shift, static_cast<int64_t>(i) - shown[i]);
  }
  bool any = false;
  track.Offsets.resize(n);
  for (size_t i = 0; i < n; ++i) {
    const int64_t offset = (shown[i] - static_cast<int64_t>(i) + shift) * track.Delta;
    if (offset > std::numeric_limits<uint32_t>::max()) {
      track.Offsets.clear();
      return;
    }
    track.Offsets[i] = static_cast<uint32_t>(offset);
    any = any || offset != 0;
  }
  if (!any) track.Offsets.clear();
  track.StartTime = shift * track.Delta;
}

// The sample's edits with the media time and length of its first edit that is not empty set
// for the new track.
void ComputeEdits(NewTrack& track, const std::vector<Edit>& sample, uint32_t movieScale, uint32_t mediaScale) {
  const int64_t start = std::min<int64_t>(track.StartTime, static_cast<int64_t>(track.MediaDuration));
  const uint64_t length = Rescale(track.MediaDuration - static_cast<uint64_t>(start), mediaScale, movieScale);
  for (const Edit& edit : sample) {
    if (edit.MediaTime == -1) {
      track.Edits.push_back(edit);
      continue;
    }
    track.Edits.push_back({length, start});
    break;
  }
  if (track.Edits.empty() || track.Edits.back().MediaTime == -1) {
    if (sample.empty() && start == 0) {
      track.Edits.clear();
    } else {
      track.Edits.push_back({length, start});
    }
  }
  track.Duration = 0;
  for (const Edit& edit : track.Edits) track.Duration += edit.Duration;
  if (track.Edits.empty()) track.Duration = Rescale(track.MediaDuration, mediaScale, movieScale);
}

template <typename Value, typename Write>
void RunLengths(BoxWriter& w, uint32_t type, uint8_t version, const std::vector<Value>& values, Write&& write) {
  const size_t box = w.OpenFull(type, version);
  const size_t count = w.Out().size();
  w.U32(0);
  uint32_t runs = 0;
  for (size_t i = 0; i < values.size();) {
    size_t j = i + 1;
    while (j < values.size() && values[j] == values[i]) ++j;
    write(static_cast<uint32_t>(j - i), values[i]);
    ++runs;
    i = j;
  }
  Patch(w.Out(), count, runs, 4);
  w.Close(box);
}

void WriteSampleTables(BoxWriter& w, const NewTrack& track, int64_t fileStart) {
  const SplitTrack& split = *track.Split;
  const size_t stts = w.OpenFull(BoxType("stts"), 0);
  w.U32(1);
  w.U32(static_cast<uint32_t>(split.Samples));
  w.U32(track.Delta);
  w.Close(stts);

  if (!track.Offsets.empty()) {
    RunLengths(w, BoxType("ctts"), 0, track.Offsets, [&](uint32_t count, uint32_t offset) {
      w.U32(count);
      w.U32(offset);
    });
  }
  if (track.Video && std::find(split.Key.begin(), split.Key.end(), false) != split.Key.end()) {
    const size_t stss = w.OpenFull(BoxType("stss"), 0);
    w.U32(static_cast<uint32_t>(std::count(split.Key.begin(), split.Key.end(), true)));
    for (size_t i = 0; i < split.Key.size(); ++i) {
      if (split.Key[i]) w.U32(static_cast<uint32_t>(i + 1));
    }
    w.Close(stss);
  }
  const size_t stsz = w.OpenFull(BoxType("stsz"), 0);
  if (split.Sizes.empty()) {
    w.U32(track.FixedSize);
    w.U32(static_cast<uint32_t>(split.Samples));
  } else {
    w.U32(0);
    w.U32(static_cast<uint32_t>(split.Sizes.size()));
    for (uint32_t size : split.Sizes) w.U32(size);
  }
  w.Close(stsz);

  const size_t stsc = w.OpenFull(BoxType("stsc"), 0);
  const size_t runs = w.Out().size();
  w.U32(0);
  uint32_t count = 0;
  for (size_t i = 0; i < split.Chunks.size(); ++i) {
    if (i > 0 && split.Chunks[i].Count == split.Chunks[i - 1].Count) continue;
    w.U32(static_cast<uint32_t>(i + 1));
    w.U32(split.Chunks[i].Count);
    w.U32(1);
    ++count;
  }
  Patch(w.Out(), runs, count, 4);
  w.Close(stsc);

  const bool wide = !split.Chunks.empty() &&
                    split.Chunks.back().Offset - fileStart > static_cast<int64_t>(std::numeric_limits<uint32_t>::max());
  const size_t stco = w.OpenFull(wide ? BoxType("co64") : BoxType("stco"), 0);
  w.U32(static_cast<uint32_t>(split.Chunks.size()));
  for (const SplitChunk& chunk : split.Chunks) {
    const uint64_t offset = static_cast<uint64_t>(chunk.Offset - fileStart);
    if (wide) {
      w.U64(offset);
    } else {
      w.U32(static_cast<uint32_t>(offset));
    }
  }
  w.Close(stco);
}

void WriteEdits(BoxWriter& w, const NewTrack& track) {
  const size_t edts = w.Open(BoxType("edts"));
  const bool wide = std::any_of(track.Edits.begin(), track.Edits.end(), [](const Edit& e) {
    return e.Duration > std::numeric_limits<uint32_t>::max() || e.MediaTime > std::numeric_limits<int32_t>::max();
  });
  const size_t elst = w.OpenFull(BoxType("elst"), wide ? 1 : 0);
  w.U32(static_cast<uint32_t>(track.Edits.size()));
  for (const Edit& edit : track.Edits) {
    if (wide) {
      w.U64(edit.Duration);
      w.U64(static_cast<uint64_t>(edit.MediaTime));
    } else {
      w.U32(static_cast<uint32_t>(edit.Duration));
      w.U32(static_cast<uint32_t>(edit.MediaTime));
    }
    w.U32(0x00010000);  // rate 1.0
  }
  w.Close(elst);
  w.Close(edts);
}

// Copies `box` with its children rewritten by `child`, which returns false to copy one as is.
template <typename Child>
void CopyBox(BoxWriter& w, Bytes moov, const Box& box, Child&& child) {
  const size_t at = w.Open(box.Type);
  for (const Box& c : ChildBoxes(moov, box.PayloadStart(), box.End())) {
    if (!child(c)) w.Copy(moov.subspan(c.Start, c.Size));
  }
  w.Close(at);
}

void WriteTrack(BoxWriter& w, Bytes moov, const TrackBoxes& boxes, const NewTrack& track, int64_t fileStart) {
  const bool edits = !track.Edits.empty();
  CopyBox(w, moov, boxes.Trak, [&](const Box& c) {
    if (c.Type == BoxType("tkhd")) {
      CopyWithDuration(w, moov, c, 16, 24, track.Duration);
      if (edits) WriteEdits(w, track);
      return true;
    }
    if (c.Type == BoxType("edts")) return true;
    if (c.Type != BoxType("mdia")) return false;
    CopyBox(w, moov, c, [&](const Box& m) {
      if (m.Type == BoxType("mdhd")) {
        CopyWithDuration(w, moov, m, 12, 20, track.MediaDuration);
        return true;
      }
      if (m.Type != BoxType("minf")) return false;
      CopyBox(w, moov, m, [&](const Box& s) {
        if (s.Type != BoxType("stbl")) return false;
        const size_t stbl = w.Open(BoxType("stbl"));
        if (const std::optional<Box> stsd = FindChild(moov, s, BoxType("stsd"))) {
          w.Copy(moov.subspan(stsd->Start, stsd->Size));
        }
        WriteSampleTables(w, track, fileStart);
        w.Close(stbl);
        return true;
      });
      return true;
    });
    return true;
  });
}

// Where the media data may end: the mdat's declared end when it is plausible (the limit
// itself, or a box follows it there), else the limit.
int64_t MediaEnd(SourceBytes& source, const CutOffRecording& cut) {
  const int64_t limit = std::min(cut.Limit, source.Size());
  if (cut.DeclaredSize <= cut.MdatHeaderSize || cut.DeclaredSize > static_cast<uint64_t>(limit - cut.MdatStart)) {
    return limit;
  }
  const int64_t declared = cut.MdatStart + static_cast<int64_t>(cut.DeclaredSize);
  uint8_t next[8];
  if (declared == limit || !source.Read(declared, sizeof next, next)) return limit;
  const uint32_t type = BigEndian32(next + 4);
  for (const char* name : {"moov", "free", "skip", "wide", "udta", "meta", "uuid", "mdat", "moof"}) {
    if (type == BigEndian32(reinterpret_cast<const uint8_t*>(name)) && BigEndian32(next) >= 8) return declared;
  }
  return limit;
}

struct SampleTracks {
  MediaLayout Layout;
  std::optional<size_t> Video, Audio;  // the tracks kept, as indexes of the sample's
};

// The first video track of a codec this walks, and the first sound track, with what their
// sample entries tell of the media data.
SampleTracks DescribeTracks(Bytes sampleMoov, const Movie& movie, const std::vector<TrackBoxes>& traks) {
  SampleTracks found;
  MediaLayout& layout = found.Layout;
  for (size_t i = 0; i < traks.size(); ++i) {
    const MovieTrack& t = movie.Tracks[i];
    if (!traks[i].Entry || !traks[i].Stbl || t.Timescale == 0) continue;
    const Box& entry = *traks[i].Entry;
    if (!found.Video && t.Handler == BoxType("vide")) {
      const bool avc = t.Codec == BoxType("avc1") || t.Codec == BoxType("avc3");
      const bool hevc = t.Codec == BoxType("hvc1") || t.Codec == BoxType("hev1");
      if (!avc && !hevc) continue;
      const std::optional<Box> config =
          FindBoxIn(sampleMoov, entry.Start + 86, entry.End(), avc ? BoxType("avcC") : BoxType("hvcC"));
      const size_t lengthAt = avc ? 4 : 21;
      if (!config || config->Size < config->HeaderSize + lengthAt + 1) continue;
      const Bytes payload = sampleMoov.subspan(config->PayloadStart(), config->Size - config->HeaderSize);
      const unsigned lengthSize = (payload[lengthAt] & 3) + 1u;
      if (lengthSize == 3) continue;  // not allowed
      layout.VideoFormat = avc ? MediaLayout::Video::H264 : MediaLayout::Video::H265;
      layout.VideoCodec = t.Codec;
      layout.VideoConfig.assign(payload.begin(), payload.end());
      layout.NalLengthSize = lengthSize;
      layout.MostNalBytes = std::clamp<uint64_t>(2 * LongestChunk(t), 256 << 10, 64 << 20);
      found.Video = i;
    } else if (!found.Audio && t.Handler == BoxType("soun")) {
      const Bytes entryBytes = sampleMoov.subspan(entry.Start, entry.Size);
      layout.MostAudioRunBytes = std::clamp<uint64_t>(4 * LongestChunk(t), 64 << 10, 16 << 20);
      layout.AudioFormat = MediaLayout::Audio::Opaque;
      if (t.Codec == BoxType("mp4a")) {
        const size_t boxes = SoundEntryBoxes(sampleMoov, entry);
        std::optional<Box> esds = FindBoxIn(sampleMoov, boxes, entry.End(), BoxType("esds"));
        if (!esds) {  // QuickTime keeps it inside a wave box
          if (const std::optional<Box> wave = FindBoxIn(sampleMoov, boxes, entry.End(), BoxType("wave"))) {
            esds = FindChild(sampleMoov, *wave, BoxType("esds"));
          }
        }
        if (esds) layout.AacConfig = AacConfig(sampleMoov.subspan(esds->PayloadStart(), esds->Size - esds->HeaderSize));
        if (!layout.AacConfig.empty()) layout.AudioFormat = MediaLayout::Audio::Aac;
      } else if (IsPcm(t.Codec) && (layout.PcmBlock = PcmFrameBytes(entryBytes)) != 0) {
        layout.AudioFormat = MediaLayout::Audio::Pcm;
      }
      found.Audio = i;
    }
  }
  return found;
}

}  // namespace

std::optional<RebuiltRecording> RebuildCutOff(SourceBytes& source, const CutOffRecording& cut,
                                              std::span<const uint8_t> sampleMoov) {
  if (cut.MdatHeaderSize != 8 && cut.MdatHeaderSize != 16) return std::nullopt;
  if (cut.FileStart < 0 || cut.MdatStart < cut.FileStart || cut.Limit <= cut.MdatStart) return std::nullopt;
  const std::optional<Movie> movie = ParseMovie(sampleMoov);
  if (!movie || movie->Timescale == 0) return std::nullopt;
  const std::vector<Box> top = ChildBoxes(sampleMoov, 0, sampleMoov.size());
  std::vector<TrackBoxes> traks;
  for (const Box& c : ChildBoxes(sampleMoov, top[0].PayloadStart(), top[0].End())) {
    if (c.Type == BoxType("trak")) traks.push_back(FindTrackBoxes(sampleMoov, c));
  }
  if (traks.size() != movie->Tracks.size()) return std::nullopt;

  const SampleTracks sample = DescribeTracks(sampleMoov, *movie, traks);
  const MediaLayout& layout = sample.Layout;
  if (!sample.Video) return std::nullopt;

  // Without room for a 64-bit size the mdat must stay below 4 GiB.
  uint8_t before[8] = {};
  const bool freeBefore = cut.MdatHeaderSize == 8 && cut.MdatStart - 8 >= cut.FileStart &&
                          source.Read(cut.MdatStart - 8, 8, before) && BigEndian32(before) == 8 &&
                          (BigEndian32(before + 4) == BoxType("free") || BigEndian32(before + 4) == BoxType("wide") ||
                           BigEndian32(before + 4) == BoxType("skip"));
  int64_t end = MediaEnd(source, cut);
  if (cut.MdatHeaderSize == 8 && !freeBefore) {
    end = std::min<int64_t>(end, cut.MdatStart + static_cast<int64_t>(std::numeric_limits<uint32_t>::max()));
  }
  const int64_t from = cut.MdatStart + cut.MdatHeaderSize;
  if (end <= from) return std::nullopt;
  const SplitMedia media = SplitMediaData(source, from, end, layout);
  if (media.Video.Samples == 0) return std::nullopt;

  std::vector<NewTrack> tracks;
  const auto add = [&](size_t index, const SplitTrack& split, bool video) {
    if (split.Samples == 0) return;
    const MovieTrack& t = movie->Tracks[index];
    NewTrack track;
    track.Index = index;
    track.Split = &split;
    track.Video = video;
    track.Delta = SampleDelta(sampleMoov, traks[index]);
    track.FixedSize = layout.PcmBlock;  // as ffmpeg writes PCM: one frame a sample, of all its bytes
    track.MediaDuration = split.Samples * track.Delta;
    const std::vector<Edit> sampleEdits = ReadEdits(sampleMoov, traks[index].Trak);
    if (video) {
      ComputeOffsets(track);
    } else {
      for (const Edit& e : sampleEdits) {
        if (e.MediaTime >= 0) {
          track.StartTime = e.MediaTime;
          break;
        }
      }
    }
    ComputeEdits(track, sampleEdits, movie->Timescale, t.Timescale);
    tracks.push_back(std::move(track));
  };
  add(*sample.Video, media.Video, true);
  if (sample.Audio) add(*sample.Audio, media.Audio, false);  // none kept of skipped sound

  RebuiltRecording rebuilt;
  rebuilt.CopyEnd = media.End;
  rebuilt.SamplesPerTrack.assign(movie->Tracks.size(), 0);
  uint64_t duration = 0;
  for (const NewTrack& t : tracks) {
    rebuilt.SamplesPerTrack[t.Index] = t.Split->Samples;
    duration = std::max(duration, t.Duration);
  }
  rebuilt.DurationSeconds = static_cast<double>(duration) / movie->Timescale;

  const uint64_t mdatSize = static_cast<uint64_t>(media.End - cut.MdatStart);
  BoxWriter header;
  if (cut.MdatHeaderSize == 16 || mdatSize > std::numeric_limits<uint32_t>::max()) {
    const bool takeFree = cut.MdatHeaderSize == 8;
    rebuilt.MdatHeaderAt = takeFree ? cut.MdatStart - 8 : cut.MdatStart;
    header.U32(1);
    header.U32(BoxType("mdat"));
    header.U64(static_cast<uint64_t>(media.End - rebuilt.MdatHeaderAt));
  } else {
    rebuilt.MdatHeaderAt = cut.MdatStart;
    header.U32(static_cast<uint32_t>(mdatSize));
    header.U32(BoxType("mdat"));
  }
  rebuilt.MdatHeader = std::move(header.Out());

  BoxWriter w;
  size_t trakIndex = 0;
  CopyBox(w, sampleMoov, top[0], [&](const Box& c) {
    if (c.Type == BoxType("mvhd")) {
      CopyWithDuration(w, sampleMoov, c, 12, 20, duration);
      return true;
    }
    if (c.Type == BoxType("mvex")) return true;  // the new moov is not fragmented
    if (c.Type != BoxType("trak")) return false;
    const size_t index = trakIndex++;
    for (const NewTrack& t : tracks) {
      if (t.Index == index) WriteTrack(w, sampleMoov, traks[index], t, cut.FileStart);
    }
    return true;
  });
  rebuilt.Moov = std::move(w.Out());
  return rebuilt;
}

}  // namespace korvid::iso
