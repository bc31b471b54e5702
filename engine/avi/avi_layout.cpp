#include "avi_layout.h"

#include <algorithm>

#include "engine/fourcc.h"
#include "engine/little_endian.h"
#include "movi_chunks.h"

namespace korvid {
namespace {

constexpr uint32_t IndexEntryNotKey = 0x80000000u;  // standard index: the frame is not a keyframe
constexpr uint32_t Idx1KeyFrame = 0x10;             // AVIIF_KEYFRAME
constexpr uint64_t StandardIndexHeaderBytes = 8 + 24;

uint32_t Clamp32(uint64_t v) { return static_cast<uint32_t>(std::min<uint64_t>(v, UINT32_MAX)); }

// The stream whose frames avih and dmlh count: the first video stream, else the first.
size_t FrameStream(const AviHeader& header) {
  for (size_t s = 0; s < header.Streams.size(); ++s) {
    if (header.Streams[s].Type == FourCC("vids")) return s;
  }
  return 0;
}

std::vector<LaidChunk> DataChunks(const AviHeader& header, std::span<const Fragment> chain, int64_t sourceSize,
                                  uint64_t segmentBytes, std::span<const SplitChunk> splits, bool& tooLarge) {
  std::vector<LaidChunk> chunks;
  size_t split = 0;
  for (size_t member = 0; member < chain.size(); ++member) {
    const Fragment& f = chain[member];
    while (split < splits.size() && splits[split].Member < member) ++split;
    const bool isSplit = split < splits.size() && splits[split].Member == member;
    const int stream = StreamOf(f.Id);
    if (KindOf(f.Id) != MoviChunkKind::Data || stream < 0 || static_cast<size_t>(stream) >= header.Streams.size()) {
      continue;
    }
    if (f.Length < 8) continue;  // a size word that wrapped past 2^32
    const uint32_t size = f.Length - 8;
    if (!isSplit && f.Position + 8 + int64_t{size} > sourceSize) continue;  // cut off by the end of the source
    LaidChunk chunk;
    if (isSplit) chunk.Split = static_cast<int32_t>(split);
    chunk.Source = f.Position;
    chunk.Size = size;
    chunk.Id = f.Id;
    chunk.Stream = static_cast<uint8_t>(stream);
    // An index entry holds a 31-bit size, and one chunk must fit a segment.
    if (size >= IndexEntryNotKey || chunk.Span() > segmentBytes) tooLarge = true;
    chunks.push_back(chunk);
  }
  return chunks;
}

// Splits the chunks into segments of at most `segmentBytes` of chunk data each.
std::vector<AviSegment> Segment(const std::vector<LaidChunk>& chunks, uint64_t segmentBytes) {
  std::vector<AviSegment> segments(1);
  uint64_t filled = 0;
  for (size_t i = 0; i < chunks.size(); ++i) {
    if (filled + chunks[i].Span() > segmentBytes && filled > 0) {
      segments.back().EndChunk = i;
      segments.emplace_back().FirstChunk = i;
      filled = 0;
    }
    filled += chunks[i].Span();
  }
  segments.back().EndChunk = chunks.size();
  return segments;
}

}  // namespace

uint64_t StreamUnits(const AviStream& stream, uint64_t chunks, uint64_t bytes) {
  return stream.Type == FourCC("auds") && stream.SampleSize > 0 ? bytes / stream.SampleSize : chunks;
}

double DurationSeconds(const AviHeader& header, const std::vector<uint64_t>& chunks,
                       const std::vector<uint64_t>& bytes) {
  double longest = 0;
  for (size_t s = 0; s < header.Streams.size() && s < chunks.size() && s < bytes.size(); ++s) {
    const AviStream& stream = header.Streams[s];
    if (stream.Rate == 0) continue;
    longest = std::max(longest, static_cast<double>(StreamUnits(stream, chunks[s], bytes[s])) * stream.Scale /
                                    stream.Rate);
  }
  return longest;
}

std::optional<AviLayout> LayOutRepairedAvi(const AviHeader& header, std::span<const Fragment> chain,
                                           int64_t sourceSize, uint64_t segmentBytes,
                                           std::span<const SplitChunk> splits) {
  AviLayout layout;
  bool tooLarge = false;
  layout.Chunks = DataChunks(header, chain, sourceSize, segmentBytes, splits, tooLarge);
  if (layout.Chunks.empty() || tooLarge) return std::nullopt;
  layout.Segments = Segment(layout.Chunks, segmentBytes);
  const bool openDml = layout.Segments.size() > 1;
  const size_t streams = header.Streams.size();

  // Each segment's standard indexes, one per stream present in it.
  if (openDml) {
    for (AviSegment& segment : layout.Segments) {
      std::vector<int> placeOf(streams, -1);
      for (size_t i = segment.FirstChunk; i < segment.EndChunk; ++i) {
        const uint8_t s = layout.Chunks[i].Stream;
        if (placeOf[s] < 0) {
          placeOf[s] = static_cast<int>(segment.Indexes.size());
          segment.Indexes.emplace_back().Stream = s;
        }
        segment.Indexes[static_cast<size_t>(placeOf[s])].Chunks.push_back(static_cast<uint32_t>(i));
      }
    }
  }

  HeaderTotals totals;
  totals.StreamLength.assign(streams, 0);
  if (openDml) {
    totals.SuperIndex.assign(streams, {});
    for (const AviSegment& segment : layout.Segments) {
      for (const StreamIndexPlace& place : segment.Indexes) totals.SuperIndex[place.Stream].emplace_back();
    }
  }
  const uint64_t headerSize = RepairedHeader(header, totals).size();

  // Offsets, segment after segment.
  uint64_t at = headerSize;
  for (size_t k = 0; k < layout.Segments.size(); ++k) {
    AviSegment& segment = layout.Segments[k];
    if (k == 0) {
      segment.MoviFourCC = headerSize - 4;
    } else {
      segment.RiffOffset = at;
      segment.MoviFourCC = at + 20;
      at += 24;
    }
    for (size_t i = segment.FirstChunk; i < segment.EndChunk; ++i) {
      layout.Chunks[i].Offset = at;
      at += layout.Chunks[i].Span();
    }
    for (StreamIndexPlace& place : segment.Indexes) {
      place.Offset = at;
      at += StandardIndexHeaderBytes + 8 * uint64_t{place.Chunks.size()};
    }
    segment.End = at;
    if (k == 0) {
      layout.Idx1Offset = at;
      at += 8 + 16 * uint64_t{segment.EndChunk - segment.FirstChunk};
    }
  }
  layout.FileSize = at;

  // What each stream holds, in chunks and in its strh units.
  std::vector<uint64_t> bytes(streams, 0);
  layout.ChunksPerStream.assign(streams, 0);
  for (const LaidChunk& chunk : layout.Chunks) {
    ++layout.ChunksPerStream[chunk.Stream];
    bytes[chunk.Stream] += chunk.Size;
  }
  for (size_t s = 0; s < streams; ++s) {
    totals.StreamLength[s] = Clamp32(StreamUnits(header.Streams[s], layout.ChunksPerStream[s], bytes[s]));
  }
  layout.DurationSeconds = DurationSeconds(header, layout.ChunksPerStream, bytes);
  if (openDml) {
    totals.SuperIndex.assign(streams, {});
    for (const AviSegment& segment : layout.Segments) {
      for (const StreamIndexPlace& place : segment.Indexes) {
        uint64_t placeBytes = 0;
        for (uint32_t i : place.Chunks) placeBytes += layout.Chunks[i].Size;
        const AviStream& stream = header.Streams[place.Stream];
        totals.SuperIndex[place.Stream].push_back(
            {place.Offset, static_cast<uint32_t>(StandardIndexHeaderBytes + 8 * place.Chunks.size()),
             Clamp32(StreamUnits(stream, place.Chunks.size(), placeBytes))});
      }
    }
  }
  const AviSegment& first = layout.Segments.front();
  const size_t frameStream = FrameStream(header);
  uint64_t firstFrames = 0;
  for (size_t i = first.FirstChunk; i < first.EndChunk; ++i) firstFrames += layout.Chunks[i].Stream == frameStream;
  totals.RiffSize = Clamp32(layout.Idx1Offset + 8 + 16 * uint64_t{first.EndChunk - first.FirstChunk} - 8);
  totals.MoviSize = Clamp32(first.End - first.MoviFourCC);
  totals.AvihTotalFrames = Clamp32(firstFrames);
  totals.DmlhTotalFrames = Clamp32(layout.ChunksPerStream[frameStream]);
  layout.Header = RepairedHeader(header, totals);
  if (layout.Header.size() != headerSize) return std::nullopt;
  return layout;
}

std::vector<uint8_t> SegmentStart(const AviSegment& segment) {
  std::vector<uint8_t> bytes;
  const uint64_t length = segment.End - segment.RiffOffset;
  ByteWriter(bytes)
      .U32(FourCC("RIFF")).U32(static_cast<uint32_t>(length - 8)).U32(FourCC("AVIX"))
      .U32(FourCC("LIST")).U32(static_cast<uint32_t>(length - 20)).U32(FourCC("movi"));
  return bytes;
}

std::vector<uint8_t> StandardIndexChunk(const AviLayout& layout, const AviSegment& segment,
                                        const StreamIndexPlace& place) {
  std::vector<uint8_t> bytes;
  const uint32_t entries = static_cast<uint32_t>(place.Chunks.size());
  const uint32_t id = static_cast<uint32_t>('i' | 'x' << 8 | ('0' + place.Stream / 10) << 16 |
                                            ('0' + place.Stream % 10) << 24);
  ByteWriter out(bytes);
  out.U32(id).U32(24 + 8 * entries);
  out.U16(2).U8(0).U8(1);  // two longs per entry, AVI_INDEX_OF_CHUNKS
  out.U32(entries).U32(layout.Chunks[place.Chunks.front()].Id).U64(segment.MoviFourCC).U32(0);
  for (uint32_t i : place.Chunks) {
    const LaidChunk& chunk = layout.Chunks[i];
    // Offsets point at the data, past the chunk's 8-byte header.
    out.U32(static_cast<uint32_t>(chunk.Offset + 8 - segment.MoviFourCC));
    out.U32(chunk.Size | (chunk.KeyFrame ? 0 : IndexEntryNotKey));
  }
  return bytes;
}

std::vector<uint8_t> Idx1Chunk(const AviLayout& layout) {
  const AviSegment& first = layout.Segments.front();
  std::vector<uint8_t> bytes;
  ByteWriter out(bytes);
  out.U32(FourCC("idx1")).U32(static_cast<uint32_t>(16 * (first.EndChunk - first.FirstChunk)));
  for (size_t i = first.FirstChunk; i < first.EndChunk; ++i) {
    const LaidChunk& chunk = layout.Chunks[i];
    out.U32(chunk.Id).U32(chunk.KeyFrame ? Idx1KeyFrame : 0);
    out.U32(static_cast<uint32_t>(chunk.Offset - first.MoviFourCC)).U32(chunk.Size);
  }
  return bytes;
}

}  // namespace korvid
