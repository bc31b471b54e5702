#include "movi_chunks.h"

#include <algorithm>
#include <cstring>

#include "engine/fourcc.h"
#include "engine/little_endian.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace korvid {
namespace {


bool IsDigit(uint8_t c) { return c >= '0' && c <= '9'; }

// Whether the bytes at p could begin a movi chunk id (a cheap first look before KindOf): a data
// chunk's type letters at p + 2, or the start of "ix", "idx1", "JUNK", "LIST", "RIFF".
bool MayHeadChunk(const uint8_t* p) {
  switch (p[2]) {
    case 'd': if (p[3] == 'b' || p[3] == 'c') return true; break;
    case 'w': if (p[3] == 'b') return true; break;
    case 'p': if (p[3] == 'c') return true; break;
    case 't': if (p[3] == 'x') return true; break;
    default: break;
  }
  switch (p[0]) {
    case 'i': return p[1] == 'x' || p[1] == 'd';
    case 'J': return p[1] == 'U';
    case 'L':
    case 'R': return p[1] == 'I';
    default: return false;
  }
}

size_t NextCandidatePlain(const uint8_t* data, size_t from, size_t last) {
  for (size_t p = from; p < last; ++p) {
    if (MayHeadChunk(data + p)) return p;
  }
  return last;
}

#if defined(__x86_64__) || defined(__i386__)
__attribute__((target("avx2"))) inline __m256i Is(__m256i v, char c) {
  return _mm256_cmpeq_epi8(v, _mm256_set1_epi8(c));
}

__attribute__((target("sse2"))) inline __m128i Is(__m128i v, char c) { return _mm_cmpeq_epi8(v, _mm_set1_epi8(c)); }

// The same look at 32 offsets per step: byte pairs compared at +0/+1 and +2/+3.
__attribute__((target("avx2"))) size_t NextCandidateAvx2(const uint8_t* data, size_t from, size_t last) {
  size_t p = from;
  for (; p + 32 <= last; p += 32) {
    const __m256i b0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + p));
    const __m256i b1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + p + 1));
    const __m256i b2 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + p + 2));
    const __m256i b3 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + p + 3));
    const __m256i b3b = Is(b3, 'b');
    const __m256i b3c = Is(b3, 'c');
    const __m256i b1I = Is(b1, 'I');
    __m256i m = _mm256_and_si256(Is(b2, 'd'), _mm256_or_si256(b3b, b3c));
    m = _mm256_or_si256(m, _mm256_and_si256(Is(b2, 'w'), b3b));
    m = _mm256_or_si256(m, _mm256_and_si256(Is(b2, 'p'), b3c));
    m = _mm256_or_si256(m, _mm256_and_si256(Is(b2, 't'), Is(b3, 'x')));
    m = _mm256_or_si256(m, _mm256_and_si256(Is(b0, 'i'), _mm256_or_si256(Is(b1, 'x'), Is(b1, 'd'))));
    m = _mm256_or_si256(m, _mm256_and_si256(Is(b0, 'J'), Is(b1, 'U')));
    m = _mm256_or_si256(m, _mm256_and_si256(_mm256_or_si256(Is(b0, 'L'), Is(b0, 'R')), b1I));
    const uint32_t mask = static_cast<uint32_t>(_mm256_movemask_epi8(m));
    if (mask != 0) return p + static_cast<size_t>(__builtin_ctz(mask));
  }
  return NextCandidatePlain(data, p, last);
}

// The same look at 64 offsets per step, by classes of bytes: a table lookup on each half of a
// byte tells which pairs it may begin and which it may end (bit 0 "d" then "b" or "c", 1 "wb",
// 2 "pc", 3 "tx", 4 "i" then "x" or "d", 5 "JU", 6 "L" or "R" then "I"), and a pair may head an
// id where the classes of its two bytes share a bit. Split by halves, a few classes take bytes
// besides their own ("B" and a backslash before "I", "h" and "t" after "i"): offsets the tables pass
// are looked at again one by one, so the filter stops exactly where the plain look does.
// A table of 16 bytes, in each 128-bit lane, with `bits` at the given places.
__attribute__((target("avx512f,avx512bw"))) inline __m512i Table(std::initializer_list<std::pair<int, uint8_t>> entries) {
  uint8_t bytes[16] = {};
  for (const auto& [at, bits] : entries) bytes[at] |= bits;
  long long low, high;
  std::memcpy(&low, bytes, 8);
  std::memcpy(&high, bytes + 8, 8);
  return _mm512_set_epi64(high, low, high, low, high, low, high, low);
}

// The classes of each byte of `v` by the tables of its low and high halves.
__attribute__((target("avx512f,avx512bw"))) inline __m512i Classes(__m512i v, __m512i low, __m512i high) {
  const __m512i nibble = _mm512_set1_epi8(0x0F);
  const __m512i lo = _mm512_and_si512(v, nibble);
  const __m512i hi = _mm512_and_si512(_mm512_srli_epi16(v, 4), nibble);
  return _mm512_and_si512(_mm512_shuffle_epi8(low, lo), _mm512_shuffle_epi8(high, hi));
}

__attribute__((target("avx512f,avx512bw"))) size_t NextCandidateAvx512(const uint8_t* data, size_t from,
                                                                       size_t last) {
  // By the low and the high half of a byte: the pairs it may begin, and those it may end.
  const __m512i beginLow = Table({{4, 0x01 | 0x08}, {7, 0x02}, {0, 0x04}, {9, 0x10}, {0xA, 0x20}, {0xC, 0x40}, {2, 0x40}});
  const __m512i beginHigh = Table({{6, 0x01 | 0x10}, {7, 0x02 | 0x04 | 0x08}, {4, 0x20 | 0x40}, {5, 0x40}});
  const __m512i endLow = Table({{2, 0x01 | 0x02}, {3, 0x01 | 0x04}, {8, 0x08 | 0x10}, {4, 0x10}, {5, 0x20}, {9, 0x40}});
  const __m512i endHigh = Table({{6, 0x01 | 0x02 | 0x04 | 0x10}, {7, 0x08 | 0x10}, {5, 0x20}, {4, 0x40}});
  const __m512i dataPairs = _mm512_set1_epi8(0x0F);  // the data chunks' pairs, at +2
  size_t p = from;
  for (; p + 64 <= last; p += 64) {
    const __m512i b0 = _mm512_loadu_si512(data + p), b1 = _mm512_loadu_si512(data + p + 1);
    const __m512i b2 = _mm512_loadu_si512(data + p + 2), b3 = _mm512_loadu_si512(data + p + 3);
    const __m512i others = _mm512_and_si512(Classes(b0, beginLow, beginHigh), Classes(b1, endLow, endHigh));
    const __m512i chunks = _mm512_and_si512(Classes(b2, beginLow, beginHigh), Classes(b3, endLow, endHigh));
    // The data chunks' bits from the pair at +2, the others' from the pair at +0.
    const __m512i pairs = _mm512_ternarylogic_epi32(dataPairs, chunks, others, 0xCA);
    for (uint64_t mask = _mm512_test_epi8_mask(pairs, pairs); mask != 0; mask &= mask - 1) {
      const size_t at = p + static_cast<size_t>(__builtin_ctzll(mask));
      if (MayHeadChunk(data + at)) return at;
    }
  }
  return NextCandidateAvx2(data, p, last);
}

__attribute__((target("sse2"))) size_t NextCandidateSse2(const uint8_t* data, size_t from, size_t last) {
  size_t p = from;
  for (; p + 16 <= last; p += 16) {
    const __m128i b0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + p));
    const __m128i b1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + p + 1));
    const __m128i b2 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + p + 2));
    const __m128i b3 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + p + 3));
    const __m128i b3b = Is(b3, 'b');
    const __m128i b3c = Is(b3, 'c');
    const __m128i b1I = Is(b1, 'I');
    __m128i m = _mm_and_si128(Is(b2, 'd'), _mm_or_si128(b3b, b3c));
    m = _mm_or_si128(m, _mm_and_si128(Is(b2, 'w'), b3b));
    m = _mm_or_si128(m, _mm_and_si128(Is(b2, 'p'), b3c));
    m = _mm_or_si128(m, _mm_and_si128(Is(b2, 't'), Is(b3, 'x')));
    m = _mm_or_si128(m, _mm_and_si128(Is(b0, 'i'), _mm_or_si128(Is(b1, 'x'), Is(b1, 'd'))));
    m = _mm_or_si128(m, _mm_and_si128(Is(b0, 'J'), Is(b1, 'U')));
    m = _mm_or_si128(m, _mm_and_si128(_mm_or_si128(Is(b0, 'L'), Is(b0, 'R')), b1I));
    const int mask = _mm_movemask_epi8(m);
    if (mask != 0) return p + static_cast<size_t>(__builtin_ctz(static_cast<unsigned>(mask)));
  }
  return NextCandidatePlain(data, p, last);
}
#endif

}  // namespace

std::vector<NamedMoviCandidateFilter> MoviCandidateFilters() {
#if defined(__x86_64__) || defined(__i386__)
  return RunnableFilters<MoviCandidateFilter>(NextCandidateAvx512, NextCandidateAvx2, NextCandidateSse2, NextCandidatePlain);
#else
  return RunnableFilters<MoviCandidateFilter>(nullptr, nullptr, nullptr, NextCandidatePlain);
#endif
}

MoviChunkKind KindOf(uint32_t id) {
  const uint8_t c0 = id & 0xFF, c1 = id >> 8 & 0xFF, c2 = id >> 16 & 0xFF, c3 = id >> 24;
  if (IsDigit(c0) && IsDigit(c1)) {
    const uint32_t type = id >> 16;
    if (type == ('b' << 8 | 'd') || type == ('c' << 8 | 'd') || type == ('b' << 8 | 'w') ||
        type == ('c' << 8 | 'p') || type == ('x' << 8 | 't')) {
      return MoviChunkKind::Data;
    }
    return MoviChunkKind::None;
  }
  if (c0 == 'i' && c1 == 'x' && IsDigit(c2) && IsDigit(c3)) return MoviChunkKind::Index;
  switch (id) {
    case FourCC("idx1"): return MoviChunkKind::Index;
    case FourCC("JUNK"): return MoviChunkKind::Junk;
    case FourCC("LIST"): return MoviChunkKind::List;
    case FourCC("RIFF"): return MoviChunkKind::Riff;
    default: return MoviChunkKind::None;
  }
}

int StreamOf(uint32_t id) {
  const uint8_t c0 = id & 0xFF, c1 = id >> 8 & 0xFF, c2 = id >> 16 & 0xFF, c3 = id >> 24;
  switch (KindOf(id)) {
    case MoviChunkKind::Data: return (c0 - '0') * 10 + (c1 - '0');
    case MoviChunkKind::Index: return c0 == 'i' && c1 == 'x' ? (c2 - '0') * 10 + (c3 - '0') : -1;
    default: return -1;
  }
}

bool RecogniseMoviChunk(std::span<const uint8_t> at, int64_t position, int64_t sourceSize,
                        unsigned declaredStreams, Fragment& out) {
  if (at.size() < 8) return false;
  const uint32_t id = LittleEndian32(at.data());
  const uint32_t size = LittleEndian32(at.data() + 4);
  const MoviChunkKind kind = KindOf(id);
  switch (kind) {
    case MoviChunkKind::None:
      return false;
    case MoviChunkKind::Data:
    case MoviChunkKind::Index:
    case MoviChunkKind::Junk: {
      const int stream = StreamOf(id);
      if (stream >= 0 && static_cast<unsigned>(stream) >= declaredStreams) return false;
      if (size > MaxDataChunkSize) return false;
      break;
    }
    case MoviChunkKind::List:
    case MoviChunkKind::Riff: {
      if (at.size() < 12 || size < 4 || size > UINT32_MAX - 8) return false;
      const uint32_t type = LittleEndian32(at.data() + 8);
      if (kind == MoviChunkKind::List ? type != FourCC("rec ") && type != FourCC("movi") : type != FourCC("AVIX")) {
        return false;
      }
      break;
    }
  }
  if (position < 0 || position > sourceSize || static_cast<int64_t>(size) + 8 > sourceSize - position) return false;
  out = Fragment{position, size + 8u, id};
  return true;
}

void SearchMoviChunks(std::span<const uint8_t> bytes, int64_t start, int64_t sourceSize,
                      unsigned declaredStreams, FragmentList& out, size_t searchEnd) {
  static const MoviCandidateFilter next = MoviCandidateFilters().front().Filter;
  if (bytes.size() < 8) return;
  // Candidates need their first four bytes; RecogniseMoviChunk checks the rest.
  const size_t last = std::min(searchEnd, bytes.size() - 3);
  Fragment hit{};
  for (size_t p = next(bytes.data(), 0, last); p < last; p = next(bytes.data(), p + 1, last)) {
    if (RecogniseMoviChunk(bytes.subspan(p), start + static_cast<int64_t>(p), sourceSize, declaredStreams, hit)) {
      out.push_back(hit);
    }
  }
}

}  // namespace korvid
