#include "engine/avi/avi_header.h"

#include <algorithm>

#include "engine/fourcc.h"
#include "engine/little_endian.h"
#include "engine/avi/movi_chunks.h"

namespace korvid {
namespace {

constexpr uint32_t AvifHasIndex = 0x10;
// Shortest data of the chunks whose fields are read: a MainAVIHeader, an AVISTREAMHEADER up to
// dwSampleSize, a BITMAPINFOHEADER up to biCompression, a WAVEFORMAT up to nBlockAlign.
constexpr uint32_t AvihSize = 56;
constexpr uint32_t StrhSize = 48;
constexpr uint32_t VideoStrfSize = 20;
constexpr uint32_t AudioStrfSize = 14;
constexpr uint32_t DmlhSize = 248;

uint16_t Read16(std::span<const uint8_t> bytes, size_t at) {
  return static_cast<uint16_t>(bytes[at] | bytes[at + 1] << 8);
}

uint32_t Read32(std::span<const uint8_t> bytes, size_t at) { return LittleEndian32(bytes.data() + at); }

void Put32(std::vector<uint8_t>& bytes, size_t at, uint32_t value) { PutLittleEndian32(bytes.data() + at, value); }

// A FourCC as text for a problem report, unprintable bytes as '?'.
std::string Quoted(uint32_t fourcc) {
  std::string text = "'";
  for (int i = 0; i < 4; ++i) {
    const char c = static_cast<char>(fourcc >> (8 * i));
    text += (c >= 0x20 && c < 0x7f) ? c : '?';
  }
  return text + "'";
}

// A chunk whose header, data and pad byte were found inside the span it was read from.
struct Chunk {
  size_t At = 0;  // the chunk id
  uint32_t Id = 0;
  uint32_t Size = 0;
  size_t Data() const { return At + 8; }
  size_t DataEnd() const { return At + 8 + Size; }
  size_t End() const { return DataEnd() + (Size & 1); }
};

// The byte count a chunk of `size` data bytes takes, its header and pad byte included.
size_t ChunkLength(uint32_t size) { return size_t{8} + size + (size & 1); }

class Parser {
 public:
  Parser(std::span<const uint8_t> bytes, std::string& problem) : bytes_(bytes), problem_(problem) {}

  std::optional<AviHeader> Run() {
    if (!Read()) return std::nullopt;
    header_.Bytes.assign(bytes_.begin(), bytes_.end());
    problem_.clear();
    return std::move(header_);
  }

 private:
  bool Fail(const std::string& text) {
    problem_ = text;
    return false;
  }

  bool Read() {
    if (bytes_.size() < 12 || Read32(bytes_, 0) != FourCC("RIFF") || Read32(bytes_, 8) != FourCC("AVI ")) {
      return Fail("not a RIFF AVI file");
    }
    if (!TopLevel()) return false;
    if (!hdrlFound_) return Fail("no LIST hdrl");
    if (!avihFound_) return Fail("LIST hdrl holds no avih");
    if (header_.Streams.empty()) return Fail("LIST hdrl holds no strl");
    return true;
  }

  // The chunk at `at`, which with its pad byte must end by `end`.
  std::optional<Chunk> ChunkAt(size_t at, size_t end) {
    if (end - at < 8) {
      Fail("truncated chunk header at " + std::to_string(at));
      return std::nullopt;
    }
    const Chunk chunk{at, Read32(bytes_, at), Read32(bytes_, at + 4)};
    if (uint64_t{chunk.Size} + (chunk.Size & 1) > end - at - 8) {
      Fail("truncated chunk: " + Quoted(chunk.Id) + " at " + std::to_string(at) + " runs past " +
           std::to_string(end));
      return std::nullopt;
    }
    return chunk;
  }

  // The type of a "LIST" chunk, or nothing when it is too short to hold one.
  std::optional<uint32_t> ListType(const Chunk& list) {
    if (list.Size < 4) {
      Fail("LIST at " + std::to_string(list.At) + " is too short for a list type");
      return std::nullopt;
    }
    return Read32(bytes_, list.Data());
  }

  // Calls `visit` for each chunk inside `list`, which must tile its data exactly.
  template <typename Visit>
  bool EachInList(const Chunk& list, Visit visit) {
    for (size_t at = list.Data() + 4; at < list.DataEnd();) {
      const auto chunk = ChunkAt(at, list.DataEnd());
      if (!chunk || !visit(*chunk)) return false;
      at = chunk->End();
    }
    return true;
  }

  bool TopLevel() {
    for (size_t at = 12;;) {
      if (bytes_.size() - at >= 12 && Read32(bytes_, at) == FourCC("LIST") &&
          Read32(bytes_, at + 8) == FourCC("movi")) {
        if (bytes_.size() - at != 12) {
          return Fail("LIST movi at " + std::to_string(at) + " is not the end of the header");
        }
        header_.Layout.MoviList = at;
        return true;
      }
      const auto chunk = ChunkAt(at, bytes_.size());
      if (!chunk) return false;
      if (chunk->End() == bytes_.size()) {
        return Fail("the last chunk, " + Quoted(chunk->Id) + " at " + std::to_string(at) +
                    ", is not a LIST movi");
      }
      if (chunk->Id == FourCC("LIST")) {
        const auto type = ListType(*chunk);
        if (!type) return false;
        if (*type == FourCC("hdrl") && !Hdrl(*chunk)) return false;
      }
      at = chunk->End();
    }
  }

  bool Hdrl(const Chunk& list) {
    if (hdrlFound_) return Fail("a second LIST hdrl at " + std::to_string(list.At));
    hdrlFound_ = true;
    header_.Layout.HdrlList = list.At;
    return EachInList(list, [this](const Chunk& chunk) {
      if (chunk.Id == FourCC("avih")) return Avih(chunk);
      if (chunk.Id != FourCC("LIST")) return true;
      const auto type = ListType(chunk);
      if (!type) return false;
      if (*type == FourCC("strl")) return Strl(chunk);
      if (*type != FourCC("odml")) return true;
      if (header_.Layout.OdmlList) return Fail("a second LIST odml at " + std::to_string(chunk.At));
      header_.Layout.OdmlList = chunk.At;
      // The dmlh leads the list; whatever else the list holds is left as it is.
      const size_t dmlh = chunk.Data() + 4;
      if (chunk.DataEnd() - dmlh >= 12 && Read32(bytes_, dmlh) == FourCC("dmlh") && Read32(bytes_, dmlh + 4) >= 4) {
        header_.Layout.DmlhData = dmlh + 8;
      }
      return true;
    });
  }

  bool Avih(const Chunk& chunk) {
    if (avihFound_) return Fail("a second avih at " + std::to_string(chunk.At));
    if (chunk.Size < AvihSize) return Fail("avih shorter than " + std::to_string(AvihSize) + " bytes");
    avihFound_ = true;
    header_.Layout.AvihData = chunk.Data();
    header_.MicroSecPerFrame = Read32(bytes_, chunk.Data());
    return true;
  }

  bool Strl(const Chunk& list) {
    if (header_.Streams.size() == MaxStreams) {
      return Fail("more than " + std::to_string(MaxStreams) + " streams");
    }
    const std::string where = "LIST strl at " + std::to_string(list.At);
    std::optional<Chunk> strh, strf;
    const bool read = EachInList(list, [&](const Chunk& chunk) {
      if (chunk.Id == FourCC("indx")) header_.Layout.IndxChunks.push_back(chunk.At);
      if (chunk.Id != FourCC("strh") && chunk.Id != FourCC("strf")) return true;
      std::optional<Chunk>& slot = chunk.Id == FourCC("strh") ? strh : strf;
      if (slot) return Fail(where + " holds a second " + Quoted(chunk.Id));
      slot = chunk;
      return true;
    });
    if (!read) return false;
    if (!strh) return Fail(where + " holds no strh");
    if (!strf) return Fail(where + " holds no strf");
    if (strh->Size < StrhSize) return Fail("strh at " + std::to_string(strh->At) + " is too short");

    const size_t h = strh->Data();
    AviStream stream;
    stream.Type = Read32(bytes_, h);
    stream.Handler = Read32(bytes_, h + 4);
    stream.Scale = Read32(bytes_, h + 20);
    stream.Rate = Read32(bytes_, h + 24);
    stream.SampleSize = Read32(bytes_, h + 44);
    const size_t f = strf->Data();
    if (stream.Type == FourCC("vids") || stream.Type == FourCC("auds")) {
      const bool video = stream.Type == FourCC("vids");
      if (strf->Size < (video ? VideoStrfSize : AudioStrfSize)) {
        return Fail("strf at " + std::to_string(strf->At) + " is too short");
      }
      stream.Compression = video ? Read32(bytes_, f + 16) : Read16(bytes_, f);
      if (!video) stream.BlockAlign = Read16(bytes_, f + 12);
    }
    header_.Streams.push_back(stream);
    header_.Layout.StrlLists.push_back(list.At);
    header_.Layout.StrhData.push_back(h);
    return true;
  }

  std::span<const uint8_t> bytes_;
  std::string& problem_;
  AviHeader header_;
  bool hdrlFound_ = false;
  bool avihFound_ = false;
};

// The chunk id a stream's data chunks carry: its number, then "dc", "wb" or "tx" by its type.
uint32_t StreamChunkId(size_t stream, uint32_t type) {
  const char* suffix = type == FourCC("auds") ? "wb" : type == FourCC("txts") ? "tx" : "dc";
  const char id[5] = {static_cast<char>('0' + stream / 10), static_cast<char>('0' + stream % 10), suffix[0],
                      suffix[1], 0};
  return FourCC(id);
}

// An AVI_INDEX_OF_INDEXES "indx" chunk of `entries`.
std::vector<uint8_t> SuperIndexChunk(uint32_t chunkId, const std::vector<SuperIndexEntry>& entries) {
  std::vector<uint8_t> chunk;
  ByteWriter out(chunk);
  out.U32(FourCC("indx")).U32(static_cast<uint32_t>(24 + 16 * entries.size()));
  out.U16(4).U8(0).U8(0);  // wLongsPerEntry, bIndexSubType, bIndexType: AVI_INDEX_OF_INDEXES
  out.U32(static_cast<uint32_t>(entries.size())).U32(chunkId).Zeros(12);  // dwReserved
  for (const SuperIndexEntry& entry : entries) out.U64(entry.Offset).U32(entry.Size).U32(entry.Duration);
  return chunk;
}

// A "LIST" odml holding a dmlh of `totalFrames`.
std::vector<uint8_t> OdmlList(uint32_t totalFrames) {
  std::vector<uint8_t> list;
  ByteWriter(list)
      .U32(FourCC("LIST")).U32(4 + 8 + DmlhSize).U32(FourCC("odml"))
      .U32(FourCC("dmlh")).U32(DmlhSize).U32(totalFrames).Zeros(DmlhSize - 4);
  return list;
}

// Bytes of the sample's header that `At` to `At + Remove` become.
struct Splice {
  size_t At = 0;
  size_t Remove = 0;
  std::vector<uint8_t> Insert;
};

// Gives each strl a super index and hdrl a fresh LIST odml, growing the strl and hdrl size
// words in `bytes` (the patched sample) to match.
std::vector<uint8_t> WithSuperIndex(const AviHeader& header, const HeaderTotals& totals,
                                    std::vector<uint8_t> bytes) {
  const std::span<const uint8_t> sample = header.Bytes;
  const AviHeaderLayout& layout = header.Layout;
  static const std::vector<SuperIndexEntry> none;
  std::vector<Splice> splices;
  int64_t hdrlGrowth = 0;
  for (size_t i = 0; i < layout.StrlLists.size(); ++i) {
    const size_t strl = layout.StrlLists[i];
    const uint32_t strlSize = Read32(sample, strl + 4);
    const size_t strlEnd = strl + 8 + strlSize;
    const auto& entries = i < totals.SuperIndex.size() ? totals.SuperIndex[i] : none;
    std::vector<uint8_t> indx = SuperIndexChunk(StreamChunkId(i, header.Streams[i].Type), entries);
    int64_t growth = static_cast<int64_t>(indx.size());
    bool placed = false;
    for (const size_t old : layout.IndxChunks) {
      if (old <= strl || old >= strlEnd) continue;
      const size_t length = ChunkLength(Read32(sample, old + 4));
      growth -= static_cast<int64_t>(length);
      splices.push_back({old, length, placed ? std::vector<uint8_t>{} : std::move(indx)});
      placed = true;
    }
    if (!placed) splices.push_back({strlEnd, 0, std::move(indx)});
    Put32(bytes, strl + 4, static_cast<uint32_t>(strlSize + growth));
    hdrlGrowth += growth;
  }
  if (layout.OdmlList) {
    const size_t length = ChunkLength(Read32(sample, *layout.OdmlList + 4));
    splices.push_back({*layout.OdmlList, length, {}});
    hdrlGrowth -= static_cast<int64_t>(length);
  }
  const uint32_t hdrlSize = Read32(sample, layout.HdrlList + 4);
  std::vector<uint8_t> odml = OdmlList(totals.DmlhTotalFrames);
  hdrlGrowth += static_cast<int64_t>(odml.size());
  splices.push_back({layout.HdrlList + 8 + hdrlSize, 0, std::move(odml)});
  Put32(bytes, layout.HdrlList + 4, static_cast<uint32_t>(hdrlSize + hdrlGrowth));

  // Splices at one offset keep the order they were made in: a strl's insertion at its end
  // comes before the removal of an odml list that follows it.
  std::stable_sort(splices.begin(), splices.end(),
                   [](const Splice& a, const Splice& b) { return a.At < b.At; });
  std::vector<uint8_t> out;
  size_t copied = 0;
  for (const Splice& splice : splices) {
    out.insert(out.end(), bytes.begin() + copied, bytes.begin() + splice.At);
    out.insert(out.end(), splice.Insert.begin(), splice.Insert.end());
    copied = splice.At + splice.Remove;
  }
  out.insert(out.end(), bytes.begin() + copied, bytes.end());
  return out;
}

}  // namespace

std::optional<AviHeader> ParseAviHeader(std::span<const uint8_t> bytes, std::string& problem) {
  return Parser(bytes, problem).Run();
}

std::vector<uint8_t> RepairedHeader(const AviHeader& header, const HeaderTotals& totals) {
  std::vector<uint8_t> bytes = header.Bytes;
  const AviHeaderLayout& layout = header.Layout;
  Put32(bytes, 4, totals.RiffSize);
  Put32(bytes, layout.MoviList + 4, totals.MoviSize);
  Put32(bytes, layout.AvihData + 12, Read32(bytes, layout.AvihData + 12) | AvifHasIndex);
  Put32(bytes, layout.AvihData + 16, totals.AvihTotalFrames);
  for (size_t i = 0; i < layout.StrhData.size() && i < totals.StreamLength.size(); ++i) {
    Put32(bytes, layout.StrhData[i] + 32, totals.StreamLength[i]);
  }
  if (!totals.SuperIndex.empty()) return WithSuperIndex(header, totals, std::move(bytes));
  for (const size_t indx : layout.IndxChunks) Put32(bytes, indx, FourCC("JUNK"));
  if (layout.DmlhData) Put32(bytes, *layout.DmlhData, totals.DmlhTotalFrames);
  return bytes;
}

}  // namespace korvid
