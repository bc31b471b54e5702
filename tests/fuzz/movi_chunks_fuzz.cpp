// Runs SearchMoviChunks and RecogniseMoviChunk on arbitrary bytes and checks what they report
// against the bytes themselves. Input: 5 bytes of source offset, 4 bytes of source beyond the
// input, a declared-stream count, 2 bytes of search end (0xFFFF: none), then the searched bytes.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "engine/fourcc.h"
#include "engine/avi/movi_chunks.h"

namespace {

using korvid::Fragment;
using korvid::MoviChunkKind;

constexpr size_t ControlBytes = 12;

uint64_t LittleEndian(const uint8_t* p, int bytes) {
  uint64_t value = 0;
  for (int i = bytes - 1; i >= 0; --i) value = value << 8 | p[i];
  return value;
}

void Check(bool holds, const char* what) {
  if (holds) return;
  std::fprintf(stderr, "movi chunk invariant broken: %s\n", what);
  std::abort();
}

bool SameRecord(const Fragment& a, const Fragment& b) {
  return a.Position == b.Position && a.Length == b.Length && a.Id == b.Id;
}

// A record must describe the bytes it stands on, as movi_chunks.h documents.
void CheckRecord(const Fragment& f, std::span<const uint8_t> bytes, int64_t start,
                 int64_t sourceSize, unsigned declaredStreams) {
  const size_t offset = static_cast<size_t>(f.Position - start);
  const MoviChunkKind kind = korvid::KindOf(f.Id);
  const bool list = kind == MoviChunkKind::List || kind == MoviChunkKind::Riff;
  Check(kind != MoviChunkKind::None, "record of an unrecognised id");
  Check(offset + (list ? 12 : 8) <= bytes.size(), "record's header runs past the bytes");
  Check(f.Id == LittleEndian(&bytes[offset], 4), "record's id is not the bytes at its position");
  const uint32_t sizeWord = static_cast<uint32_t>(LittleEndian(&bytes[offset + 4], 4));
  Check(f.Length == sizeWord + 8u, "record's length is not its size word plus 8");
  Check(f.Position + 8 + int64_t{sizeWord} <= sourceSize, "chunk runs past the source");
  if (!list) Check(sizeWord <= korvid::MaxDataChunkSize, "data chunk larger than the limit");
  if (kind == MoviChunkKind::Data || kind == MoviChunkKind::Index) {
    Check(korvid::StreamOf(f.Id) < static_cast<int>(declaredStreams), "undeclared stream");
  }
  if (!list) return;
  const uint64_t type = LittleEndian(&bytes[offset + 8], 4);
  if (kind == MoviChunkKind::List) {
    Check(type == korvid::FourCC("movi") || type == korvid::FourCC("rec "), "list of another type");
  } else {
    Check(type == korvid::FourCC("AVIX"), "RIFF of another form");
  }
}

// RecogniseMoviChunk on `at` cut to `length` bytes, in a buffer of just that size when it is
// small enough to copy, so a read past the cut is caught.
bool RecogniseCut(std::span<const uint8_t> at, size_t length, int64_t position, int64_t sourceSize,
                  unsigned declaredStreams, Fragment& out) {
  if (length > 16)
    return korvid::RecogniseMoviChunk(at.first(length), position, sourceSize, declaredStreams, out);
  const std::vector<uint8_t> copy(at.begin(), at.begin() + static_cast<long>(length));
  return korvid::RecogniseMoviChunk(copy, position, sourceSize, declaredStreams, out);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < ControlBytes) return 0;
  const int64_t start = static_cast<int64_t>(LittleEndian(data, 5));
  const std::span<const uint8_t> bytes(data + ControlBytes, size - ControlBytes);
  const int64_t sourceSize = start + static_cast<int64_t>(bytes.size() + LittleEndian(data + 5, 4));
  const unsigned declaredStreams = data[9] % (korvid::MaxStreams + 1);
  const uint64_t endWord = LittleEndian(data + 10, 2);
  const size_t searchEnd = endWord == 0xFFFF ? SIZE_MAX : endWord;

  korvid::FragmentList found;
  const Fragment earlier{-1, 0, 0};
  found.push_back(earlier);
  korvid::SearchMoviChunks(bytes, start, sourceSize, declaredStreams, found, searchEnd);
  Check(SameRecord(found[0], earlier), "a record already in the list changed");

  // Every offset: a record there exactly when RecogniseMoviChunk takes the bytes from there on,
  // and the same answer when the bytes are cut short but still hold the 12 a hit can need.
  uint64_t random = size * 0x9E3779B97F4A7C15u ^ LittleEndian(data, 8);
  size_t next = 1;
  const size_t end = std::min(bytes.size(), searchEnd);
  for (size_t i = 0; i < bytes.size(); ++i) {
    const bool recorded =
        next < found.size() && found[next].Position == start + static_cast<int64_t>(i);
    if (recorded) {
      CheckRecord(found[next], bytes, start, sourceSize, declaredStreams);
      ++next;
    }
    const size_t rest = bytes.size() - i;
    if (rest < 8) continue;
    const int64_t position = start + static_cast<int64_t>(i);
    Fragment whole{};
    const bool recognised =
        korvid::RecogniseMoviChunk(bytes.subspan(i), position, sourceSize, declaredStreams, whole);
    Check(recorded == (recognised && i < end), "search and recognition disagree");
    if (recorded)
      Check(SameRecord(whole, found[next - 1]), "search and recognition give different records");

    random = random * 6364136223846793005u + 1442695040888963407u;
    // Half the cuts fall within the first 16 bytes, where a hit's header ends.
    const size_t longest = random >> 63 ? rest : std::min<size_t>(rest, 16);
    const size_t cut = 8 + static_cast<size_t>(random >> 33) % (longest - 7);
    Fragment part{};
    const bool partRecognised =
        RecogniseCut(bytes.subspan(i), cut, position, sourceSize, declaredStreams, part);
    if (cut >= 12)
      Check(partRecognised == recognised, "cutting bytes past the header changed the answer");
    if (partRecognised)
      Check(recognised && SameRecord(part, whole), "a cut span gave another record");
  }
  Check(next == found.size(), "records out of order, repeated or outside the bytes");
  return 0;
}
