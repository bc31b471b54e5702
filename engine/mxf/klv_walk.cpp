#include "engine/mxf/klv_walk.h"

#include <algorithm>
#include <cstring>

#include "engine/big_endian.h"

namespace korvid::mxf {
namespace {

// Every SMPTE universal label starts with these bytes.
constexpr uint8_t LabelPrefix[4] = {0x06, 0x0E, 0x2B, 0x34};
// The first 13 bytes of a partition pack key; the 14th names the partition, the 15th its state.
constexpr uint8_t PartitionPrefix[13] = {0x06, 0x0E, 0x2B, 0x34, 0x02, 0x05, 0x01, 0x01, 0x0D, 0x01, 0x02, 0x01, 0x01};
constexpr uint8_t RandomIndexPackKey[16] = {0x06, 0x0E, 0x2B, 0x34, 0x02, 0x05, 0x01, 0x01,
                                            0x0D, 0x01, 0x02, 0x01, 0x01, 0x11, 0x01, 0x00};
// An essence element's key: these 12 bytes, then its item type, element count, element type and
// element number.
constexpr uint8_t EssencePrefix[12] = {0x06, 0x0E, 0x2B, 0x34, 0x01, 0x02, 0x01, 0x01, 0x0D, 0x01, 0x03, 0x01};

// Counts the element `key` names to its track.
void CountEssence(const uint8_t* key, std::vector<EssenceTrack>& tracks) {
  if (std::memcmp(key, EssencePrefix, sizeof EssencePrefix) != 0) return;
  const uint32_t number = BigEndian32(key + 12);
  auto track = std::find_if(tracks.begin(), tracks.end(), [&](const EssenceTrack& t) { return t.TrackNumber == number; });
  if (track == tracks.end()) {
    // Item types: picture 0x05 (system-scheme) and 0x15 (generic container), sound 0x06 and 0x16.
    const uint8_t item = key[12];
    track = tracks.insert(tracks.end(), EssenceTrack{number, item == 0x05 || item == 0x15, item == 0x06 || item == 0x16});
  }
  ++track->Elements;
}

// A partition pack's value begins with its versions (2 + 2 bytes), KAG size (4) and its own
// offset in the file (8).
constexpr size_t ThisPartitionField = 8;

struct Triplet {
  uint8_t Key[16];
  int64_t ValueStart = 0;
  uint64_t ValueLength = 0;
};

// The key and BER length at `at`; nothing when they are malformed or pass the source's end.
std::optional<Triplet> ReadTriplet(SourceBytes& source, int64_t at) {
  Triplet t;
  uint8_t head[16 + 9];
  if (!source.Read(at, 17, head)) return std::nullopt;
  std::memcpy(t.Key, head, 16);
  if (std::memcmp(t.Key, LabelPrefix, sizeof LabelPrefix) != 0) return std::nullopt;
  size_t lengthBytes = 1;
  if (head[16] < 0x80) {
    t.ValueLength = head[16];
  } else {
    lengthBytes = 1 + (head[16] & 0x7F);
    if (lengthBytes < 2 || lengthBytes > 9 || !source.Read(at + 17, lengthBytes - 1, head + 17)) return std::nullopt;
    for (size_t i = 17; i < 16 + lengthBytes; ++i) t.ValueLength = t.ValueLength << 8 | head[i];
  }
  t.ValueStart = at + 16 + static_cast<int64_t>(lengthBytes);
  return t;
}

}  // namespace

std::optional<int64_t> TripletEnd(SourceBytes& source, int64_t at) {
  const std::optional<Triplet> t = ReadTriplet(source, at);
  if (!t) return std::nullopt;
  return t->ValueStart + static_cast<int64_t>(t->ValueLength);
}

PartitionKind PartitionOfKey(const uint8_t* key) {
  if (std::memcmp(key, PartitionPrefix, sizeof PartitionPrefix) != 0) return PartitionKind::None;
  if (key[14] < 0x01 || key[14] > 0x04 || key[15] != 0x00) return PartitionKind::None;
  switch (key[13]) {
    case 0x02: return PartitionKind::Header;
    case 0x03: return PartitionKind::Body;
    case 0x04: return PartitionKind::Footer;
    default: return PartitionKind::None;
  }
}

std::optional<MxfFile> WalkMxfFile(SourceBytes& source, int64_t start) {
  const std::optional<Triplet> first = ReadTriplet(source, start);
  if (!first || PartitionOfKey(first->Key) != PartitionKind::Header) return std::nullopt;

  MxfFile file{start, start, false};
  bool footer = false;
  for (int64_t at = start;;) {
    const std::optional<Triplet> t = ReadTriplet(source, at);
    if (!t) break;
    // A value that runs past the source's end: the file was cut off there.
    if (t->ValueLength > static_cast<uint64_t>(source.Size() - t->ValueStart)) {
      file.End = source.Size();
      return file;
    }
    const int64_t end = t->ValueStart + static_cast<int64_t>(t->ValueLength);
    if (const PartitionKind kind = PartitionOfKey(t->Key); kind != PartitionKind::None) {
      uint8_t offset[8];
      if (t->ValueLength < ThisPartitionField + 8 || !source.Read(t->ValueStart + ThisPartitionField, 8, offset)) break;
      // Another file's partition, or a header partition that starts a new file.
      if (BigEndian64(offset) != static_cast<uint64_t>(at - start)) break;
      if (kind == PartitionKind::Header && at != start) break;
      footer = footer || kind == PartitionKind::Footer;
    }
    file.End = end;
    CountEssence(t->Key, file.Tracks);
    if (std::memcmp(t->Key, RandomIndexPackKey, 16) == 0) {
      file.Complete = true;
      return file;
    }
    at = end;
  }
  file.Complete = footer;
  return file;
}

}  // namespace korvid::mxf
