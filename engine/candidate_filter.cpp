#include "candidate_filter.h"

#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace korvid {
namespace {

size_t NextCandidatePlain(const uint8_t* data, size_t, size_t from, size_t last, uint8_t first,
                          uint8_t final, size_t tailOffset) {
  for (size_t p = from; p < last; ++p) {
    const void* hit = std::memchr(data + p, first, last - p);
    if (hit == nullptr) break;
    p = static_cast<size_t>(static_cast<const uint8_t*>(hit) - data);
    if (data[p + tailOffset] == final) return p;
  }
  return last;
}

#if defined(__x86_64__) || defined(__i386__)
// 64 offsets per step: both bytes compared for 32 offsets at once, twice.
__attribute__((target("avx2"))) size_t NextCandidateAvx2(const uint8_t* data, size_t size, size_t from,
                                                         size_t last, uint8_t first, uint8_t final,
                                                         size_t tailOffset) {
  const __m256i firsts = _mm256_set1_epi8(static_cast<char>(first));
  const __m256i finals = _mm256_set1_epi8(static_cast<char>(final));
  size_t p = from;
  for (; p + 64 <= last && p + 64 + tailOffset <= size; p += 64) {
    const auto* at = reinterpret_cast<const __m256i*>(data + p);
    const auto* tail = reinterpret_cast<const __m256i*>(data + p + tailOffset);
    const __m256i low = _mm256_and_si256(_mm256_cmpeq_epi8(_mm256_loadu_si256(at), firsts),
                                         _mm256_cmpeq_epi8(_mm256_loadu_si256(tail), finals));
    const __m256i high = _mm256_and_si256(_mm256_cmpeq_epi8(_mm256_loadu_si256(at + 1), firsts),
                                          _mm256_cmpeq_epi8(_mm256_loadu_si256(tail + 1), finals));
    const uint64_t mask = static_cast<uint32_t>(_mm256_movemask_epi8(low)) |
                          static_cast<uint64_t>(static_cast<uint32_t>(_mm256_movemask_epi8(high))) << 32;
    if (mask != 0) return p + static_cast<size_t>(__builtin_ctzll(mask));
  }
  return NextCandidatePlain(data, size, p, last, first, final, tailOffset);
}

__attribute__((target("sse2"))) size_t NextCandidateSse2(const uint8_t* data, size_t size, size_t from,
                                                         size_t last, uint8_t first, uint8_t final,
                                                         size_t tailOffset) {
  const __m128i firsts = _mm_set1_epi8(static_cast<char>(first));
  const __m128i finals = _mm_set1_epi8(static_cast<char>(final));
  size_t p = from;
  for (; p + 16 <= last && p + 16 + tailOffset <= size; p += 16) {
    const __m128i head = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + p));
    const __m128i tail = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + p + tailOffset));
    const int mask = _mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(head, firsts), _mm_cmpeq_epi8(tail, finals)));
    if (mask != 0) return p + static_cast<size_t>(__builtin_ctz(static_cast<unsigned>(mask)));
  }
  return NextCandidatePlain(data, size, p, last, first, final, tailOffset);
}

#endif

}  // namespace

std::vector<NamedCandidateFilter> CandidateFilters() {
#if defined(__x86_64__) || defined(__i386__)
  return RunnableFilters<CandidateFilter>(nullptr, NextCandidateAvx2, NextCandidateSse2, NextCandidatePlain);
#else
  return RunnableFilters<CandidateFilter>(nullptr, nullptr, nullptr, NextCandidatePlain);
#endif
}

}  // namespace korvid
