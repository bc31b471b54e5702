#include "app/preview/avi_keyframes.h"

#include <algorithm>
#include <limits>
#include <string>

#include "engine/avi/avi_header.h"
#include "engine/avi/movi_chunks.h"
#include "engine/fourcc.h"
#include "engine/little_endian.h"

namespace korvid::preview {
namespace {

constexpr size_t BitmapInfoHeaderSize = 40;

// The end of the first "LIST" whose type is "movi" (just past the type), or 0. The walk looks
// for it rather than stepping over the top-level chunks, whose sizes a broken file may get wrong.
size_t MoviListEnd(std::span<const uint8_t> bytes) {
  for (size_t p = 12; p + 4 <= bytes.size(); ++p) {
    if (LittleEndian32(&bytes[p]) == FourCC("movi") && LittleEndian32(&bytes[p - 8]) == FourCC("LIST")) return p + 4;
  }
  return 0;
}

// The data of the strf chunk in the strl list at `strl` of the header, or nothing.
std::span<const uint8_t> StreamFormat(std::span<const uint8_t> header, size_t strl) {
  const size_t listEnd = std::min<size_t>(header.size(), strl + 8 + LittleEndian32(&header[strl + 4]));
  for (size_t p = strl + 12; p + 8 <= listEnd;) {
    const uint32_t size = LittleEndian32(&header[p + 4]);
    if (size > listEnd - p - 8) break;
    if (LittleEndian32(&header[p]) == FourCC("strf")) return header.subspan(p + 8, size);
    p += 8 + size + (size & 1);
  }
  return {};
}

}  // namespace

std::optional<AviKeyframes> FindAviKeyframes(std::span<const uint8_t> bytes, size_t most) {
  if (bytes.size() < 12 || LittleEndian32(&bytes[0]) != FourCC("RIFF") || LittleEndian32(&bytes[8]) != FourCC("AVI ")) {
    return std::nullopt;
  }
  const size_t moviData = MoviListEnd(bytes);
  if (moviData == 0) return std::nullopt;
  std::string problem;
  const std::optional<AviHeader> header = ParseAviHeader(bytes.first(moviData), problem);
  if (!header) return std::nullopt;
  const auto video = std::find_if(header->Streams.begin(), header->Streams.end(),
                                  [](const AviStream& s) { return s.Type == FourCC("vids"); });
  if (video == header->Streams.end()) return std::nullopt;
  const int videoStream = static_cast<int>(video - header->Streams.begin());

  AviKeyframes found;
  found.Codec = CodecOfStream(*video);
  const std::span<const uint8_t> format = StreamFormat(bytes, header->Layout.StrlLists[videoStream]);
  if (format.size() > BitmapInfoHeaderSize) found.Extradata = format.subspan(BitmapInfoHeaderSize);

  // The chunks' sizes are only checked against the largest a recording holds: the file may end
  // within its last chunk, whose data is then cut at the end of `bytes`.
  constexpr int64_t Unbounded = std::numeric_limits<int64_t>::max();
  const unsigned streams = static_cast<unsigned>(header->Streams.size());
  for (size_t p = moviData; p + 8 <= bytes.size() && found.Frames.size() < most;) {
    Fragment chunk{};
    if (!RecogniseMoviChunk(bytes.subspan(p), static_cast<int64_t>(p), Unbounded, streams, chunk)) {
      p += 2;  // chunks start on even offsets from the movi list; resync on the next one
      continue;
    }
    const MoviChunkKind kind = KindOf(chunk.Id);
    if (kind == MoviChunkKind::List || kind == MoviChunkKind::Riff) {
      p += 12;
      continue;
    }
    const size_t size = chunk.Length - 8;
    const std::span<const uint8_t> data = bytes.subspan(p + 8, std::min(size, bytes.size() - p - 8));
    if (kind == MoviChunkKind::Data && StreamOf(chunk.Id) == videoStream && IsKeyFrame(*video, data)) {
      found.Frames.push_back(data);
    }
    p += 8 + size + (size & 1);
  }
  return found;
}

}  // namespace korvid::preview
