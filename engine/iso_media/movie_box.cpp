#include "engine/iso_media/movie_box.h"

#include <algorithm>
#include <limits>

namespace korvid::iso {
namespace {

using Bytes = std::span<const uint8_t>;

uint64_t SaturatingAdd(uint64_t a, uint64_t b) {
  return a > std::numeric_limits<uint64_t>::max() - b ? std::numeric_limits<uint64_t>::max() : a + b;
}

uint64_t SaturatingMultiply(uint64_t a, uint64_t b) {
  if (a != 0 && b > std::numeric_limits<uint64_t>::max() / a) return std::numeric_limits<uint64_t>::max();
  return a * b;
}

// A full box's payload after its version and flags; the version goes to `version`.
std::optional<Bytes> FullBoxBody(Bytes bytes, const Box& box, uint8_t& version) {
  if (box.Size < box.HeaderSize + 4) return std::nullopt;
  version = bytes[box.PayloadStart()];
  return bytes.subspan(box.PayloadStart() + 4, box.Size - box.HeaderSize - 4);
}

// mvhd and mdhd share the layout up to their duration: times, time scale, duration.
bool ReadTimes(Bytes bytes, const Box& box, uint32_t& timescale, uint64_t& duration) {
  uint8_t version = 0;
  const std::optional<Bytes> body = FullBoxBody(bytes, box, version);
  if (!body) return false;
  if (version == 1) {
    if (body->size() < 28) return false;
    timescale = BigEndian32(body->data() + 16);
    duration = BigEndian64(body->data() + 20);
  } else {
    if (body->size() < 16) return false;
    timescale = BigEndian32(body->data() + 8);
    duration = BigEndian32(body->data() + 12);
  }
  return true;
}

// The sample sizes of stsz or stz2, read in place.
struct SampleSizes {
  uint32_t Fixed = 0;  // every sample's size, or 0 when each has its own
  uint64_t Count = 0;
  Bytes Table;
  unsigned FieldBits = 32;

  uint64_t At(uint64_t i) const {
    if (Fixed != 0) return Fixed;
    switch (FieldBits) {
      case 4: {
        const uint8_t b = Table[i / 2];
        return i % 2 == 0 ? b >> 4 : b & 0x0F;
      }
      case 8: return Table[i];
      case 16: return BigEndian16(Table.data() + 2 * i);
      default: return BigEndian32(Table.data() + 4 * i);
    }
  }
};

std::optional<SampleSizes> ReadSampleSizes(Bytes bytes, const Box& box) {
  uint8_t version = 0;
  const std::optional<Bytes> body = FullBoxBody(bytes, box, version);
  if (!body || body->size() < 8) return std::nullopt;
  SampleSizes sizes;
  sizes.Count = BigEndian32(body->data() + 4);
  if (box.Type == BoxType("stsz")) {
    sizes.Fixed = BigEndian32(body->data());
  } else {
    sizes.FieldBits = (*body)[3];
    if (sizes.FieldBits != 4 && sizes.FieldBits != 8 && sizes.FieldBits != 16) return std::nullopt;
  }
  if (sizes.Fixed == 0) {
    const uint64_t tableBytes = (sizes.Count * sizes.FieldBits + 7) / 8;
    if (tableBytes > body->size() - 8) return std::nullopt;
    sizes.Table = body->subspan(8, tableBytes);
  }
  return sizes;
}

// A table of `entryBytes`-byte entries behind a full box's count; nullopt when the count runs
// past the box.
std::optional<Bytes> Entries(Bytes bytes, const Box& box, size_t entryBytes, uint32_t& count) {
  uint8_t version = 0;
  const std::optional<Bytes> body = FullBoxBody(bytes, box, version);
  if (!body || body->size() < 4) return std::nullopt;
  count = BigEndian32(body->data());
  if (uint64_t{count} * entryBytes > body->size() - 4) return std::nullopt;
  return body->subspan(4, size_t{count} * entryBytes);
}

// Each chunk's bytes from the sample-to-chunk runs, the sample sizes and the chunk offsets;
// nullopt when the tables contradict one another.
std::optional<std::vector<ByteRange>> ChunkRanges(Bytes stsc, uint32_t runs, const SampleSizes& sizes,
                                                  uint64_t sizeScale, Bytes offsets, uint32_t chunkCount,
                                                  size_t offsetBytes) {
  std::vector<ByteRange> chunks;
  chunks.reserve(chunkCount);
  uint64_t sample = 0;
  uint32_t chunk = 0;  // 0-based; stsc's first_chunk counts from 1
  for (uint32_t run = 0; run < runs && chunk < chunkCount; ++run) {
    const uint32_t first = BigEndian32(stsc.data() + 12 * run);
    const uint32_t perChunk = BigEndian32(stsc.data() + 12 * run + 4);
    if (first != uint64_t{chunk} + 1) return std::nullopt;  // runs must start where the last ended, from chunk 1
    const uint64_t end = run + 1 < runs ? BigEndian32(stsc.data() + 12 * (run + 1)) - uint64_t{1} : chunkCount;
    if (end <= chunk && run + 1 < runs) return std::nullopt;
    for (; chunk < std::min<uint64_t>(end, chunkCount); ++chunk) {
      const uint64_t offset = offsetBytes == 8 ? BigEndian64(offsets.data() + 8 * size_t{chunk})
                                               : BigEndian32(offsets.data() + 4 * size_t{chunk});
      const uint64_t take = std::min<uint64_t>(perChunk, sizes.Count - sample);
      uint64_t length = 0;
      if (sizes.Fixed != 0) {
        length = SaturatingMultiply(SaturatingMultiply(take, sizes.Fixed), sizeScale);
      } else {
        for (uint64_t i = 0; i < take; ++i) length = SaturatingAdd(length, sizes.At(sample + i));
      }
      sample += take;
      constexpr uint64_t Most = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
      if (offset > Most || length > Most - offset) return std::nullopt;
      chunks.push_back({static_cast<int64_t>(offset), static_cast<int64_t>(length)});
    }
  }
  if (chunk < chunkCount) return std::nullopt;  // chunks no run describes
  return chunks;
}

// The track's sample table; false when it lacks a table or its tables are malformed.
bool ReadSampleTable(Bytes bytes, const Box& stbl, MovieTrack& track) {
  std::optional<Box> stsd, stts, stsz, stsc, stco;
  for (const Box& child : ChildBoxes(bytes, stbl.PayloadStart(), stbl.End())) {
    const uint32_t t = child.Type;
    if (t == BoxType("stsd") && !stsd) stsd = child;
    if (t == BoxType("stts") && !stts) stts = child;
    if ((t == BoxType("stsz") || t == BoxType("stz2")) && !stsz) stsz = child;
    if (t == BoxType("stsc") && !stsc) stsc = child;
    if ((t == BoxType("stco") || t == BoxType("co64")) && !stco) stco = child;
  }
  uint64_t sizeScale = 1;
  if (stsd) {
    uint32_t count = 0;
    uint8_t version = 0;
    const std::optional<Bytes> body = FullBoxBody(bytes, *stsd, version);
    if (body && body->size() >= 4 && (count = BigEndian32(body->data())) > 0) {
      const size_t from = stsd->PayloadStart() + 8;
      const std::vector<Box> entries = ChildBoxes(bytes, from, stsd->End());
      if (!entries.empty()) {
        track.Codec = entries[0].Type;
        if (IsPcm(track.Codec)) {
          const uint32_t frame = PcmFrameBytes(bytes.subspan(entries[0].Start, entries[0].Size));
          if (frame != 0) sizeScale = frame;
        }
      }
    }
  }
  if (stts) {
    uint32_t count = 0;
    if (const std::optional<Bytes> table = Entries(bytes, *stts, 8, count)) {
      for (uint32_t i = 0; i < count; ++i) {
        track.Duration = SaturatingAdd(
            track.Duration, SaturatingMultiply(BigEndian32(table->data() + 8 * i), BigEndian32(table->data() + 8 * i + 4)));
      }
    }
  }
  if (!stsz || !stsc || !stco) return false;
  const std::optional<SampleSizes> sizes = ReadSampleSizes(bytes, *stsz);
  uint32_t runs = 0, chunkCount = 0;
  const std::optional<Bytes> runTable = Entries(bytes, *stsc, 12, runs);
  const size_t offsetBytes = stco->Type == BoxType("co64") ? 8 : 4;
  const std::optional<Bytes> offsets = Entries(bytes, *stco, offsetBytes, chunkCount);
  if (!sizes || !runTable || !offsets) return false;
  // Only a fixed sample size scales: a table gives each sample's real bytes.
  if (sizes->Fixed != 1) sizeScale = 1;
  std::optional<std::vector<ByteRange>> chunks =
      ChunkRanges(*runTable, runs, *sizes, sizeScale, *offsets, chunkCount, offsetBytes);
  if (!chunks) return false;
  track.Samples = sizes->Count;
  track.Chunks = std::move(*chunks);
  return true;
}

bool ReadTrack(Bytes bytes, const Box& trak, MovieTrack& track) {
  bool usable = false;
  for (const Box& child : ChildBoxes(bytes, trak.PayloadStart(), trak.End())) {
    if (child.Type == BoxType("tkhd")) {
      uint8_t version = 0;
      const std::optional<Bytes> body = FullBoxBody(bytes, child, version);
      const size_t at = version == 1 ? 16 : 8;
      if (body && body->size() >= at + 4) track.TrackId = BigEndian32(body->data() + at);
    } else if (child.Type == BoxType("mdia")) {
      for (const Box& m : ChildBoxes(bytes, child.PayloadStart(), child.End())) {
        if (m.Type == BoxType("mdhd")) {
          uint64_t ignored = 0;
          ReadTimes(bytes, m, track.Timescale, ignored);
        } else if (m.Type == BoxType("hdlr")) {
          uint8_t version = 0;
          const std::optional<Bytes> body = FullBoxBody(bytes, m, version);
          if (body && body->size() >= 8) track.Handler = BigEndian32(body->data() + 4);
        } else if (m.Type == BoxType("minf")) {
          if (const std::optional<Box> stbl = FindChild(bytes, m, BoxType("stbl"))) {
            usable = ReadSampleTable(bytes, *stbl, track) || usable;
          }
        }
      }
    }
  }
  return usable;
}

}  // namespace

std::vector<Box> ChildBoxes(std::span<const uint8_t> bytes, size_t from, size_t to) {
  std::vector<Box> boxes;
  to = std::min(to, bytes.size());
  while (from < to && to - from >= 8) {
    Box box;
    box.Start = from;
    box.Type = BigEndian32(bytes.data() + from + 4);
    const uint32_t size = BigEndian32(bytes.data() + from);
    uint64_t full = size;
    box.HeaderSize = 8;
    if (size == 1) {
      if (to - from < 16) break;
      full = BigEndian64(bytes.data() + from + 8);
      box.HeaderSize = 16;
      if (full < 16) break;
    } else if (size == 0) {
      full = to - from;
    } else if (size < 8) {
      break;
    }
    if (full > to - from) break;
    box.Size = static_cast<size_t>(full);
    boxes.push_back(box);
    from += box.Size;
  }
  return boxes;
}

std::optional<Box> FindChild(std::span<const uint8_t> bytes, const Box& parent, uint32_t type) {
  for (const Box& child : ChildBoxes(bytes, parent.PayloadStart(), parent.End())) {
    if (child.Type == type) return child;
  }
  return std::nullopt;
}

bool IsPcm(uint32_t codec) {
  return codec == BoxType("raw ") || codec == BoxType("twos") || codec == BoxType("sowt") ||
         codec == BoxType("in24") || codec == BoxType("in32") || codec == BoxType("fl32") ||
         codec == BoxType("fl64") || codec == BoxType("lpcm");
}

uint32_t PcmFrameBytes(std::span<const uint8_t> entry) {
  // After the 8-byte entry header: reserved 6, data reference 2, version 2, revision 2,
  // vendor 4, channels 2, sample size 2, compression 2, packet size 2, rate 4; version 1 adds
  // samples per packet, bytes per packet, bytes per frame, bytes per sample; version 2 has its
  // constBytesPerAudioPacket 28 bytes past the rate.
  if (entry.size() < 36) return 0;
  const uint16_t version = BigEndian16(entry.data() + 16);
  if (version == 2) return entry.size() >= 68 ? BigEndian32(entry.data() + 64) : 0;
  if (version == 1 && entry.size() >= 52 && BigEndian32(entry.data() + 36) == 1 && BigEndian32(entry.data() + 44) != 0) {
    return BigEndian32(entry.data() + 44);
  }
  const uint32_t channels = BigEndian16(entry.data() + 24), bits = BigEndian16(entry.data() + 26);
  return bits % 8 == 0 ? channels * (bits / 8) : 0;
}

std::optional<Movie> ParseMovie(std::span<const uint8_t> moov) {
  const std::vector<Box> top = ChildBoxes(moov, 0, moov.size());
  if (top.empty() || top[0].Type != BoxType("moov")) return std::nullopt;
  Movie movie;
  bool usable = false;
  for (const Box& child : ChildBoxes(moov, top[0].PayloadStart(), top[0].End())) {
    if (child.Type == BoxType("mvhd")) {
      if (!ReadTimes(moov, child, movie.Timescale, movie.Duration)) return std::nullopt;
    } else if (child.Type == BoxType("trak")) {
      MovieTrack track;
      usable = ReadTrack(moov, child, track) || usable;
      movie.Tracks.push_back(std::move(track));
    }
  }
  if (!usable) return std::nullopt;
  return movie;
}

}  // namespace korvid::iso
