#include "candidate_filter.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace korvid {
namespace {

size_t NextCandidatePlain(const uint8_t* data, size_t, size_t from, size_t last, const BytePairs& pairs) {
  for (size_t p = from; p < last; ++p) {
    for (size_t k = 0; k < pairs.Count; ++k) {
      if (data[p] == pairs.First[k] && data[p + pairs.TailOffset] == pairs.Final[k]) return p;
    }
  }
  return last;
}

#if defined(__x86_64__) || defined(__i386__)
// 64 offsets per step; a pair's second compare is masked by its first.
__attribute__((target("avx512f,avx512bw"))) size_t NextCandidateAvx512(const uint8_t* data, size_t size, size_t from,
                                                                       size_t last, const BytePairs& pairs) {
  __m512i firsts[BytePairs::MaxPairs], finals[BytePairs::MaxPairs];
  for (size_t k = 0; k < pairs.Count; ++k) {
    firsts[k] = _mm512_set1_epi8(static_cast<char>(pairs.First[k]));
    finals[k] = _mm512_set1_epi8(static_cast<char>(pairs.Final[k]));
  }
  const size_t tailOffset = pairs.TailOffset;
  size_t p = from;
  for (; p + 64 <= last && p + 64 + tailOffset <= size; p += 64) {
    const __m512i head = _mm512_loadu_si512(data + p);
    const __m512i tail = _mm512_loadu_si512(data + p + tailOffset);
    __mmask64 any = 0;
    for (size_t k = 0; k < pairs.Count; ++k) {
      any |= _mm512_mask_cmpeq_epi8_mask(_mm512_cmpeq_epi8_mask(head, firsts[k]), tail, finals[k]);
    }
    if (any != 0) return p + static_cast<size_t>(__builtin_ctzll(any));
  }
  return NextCandidatePlain(data, size, p, last, pairs);
}

// 32 offsets per step, each pair's two bytes compared for all of them at once.
__attribute__((target("avx2"))) size_t NextCandidateAvx2(const uint8_t* data, size_t size, size_t from,
                                                         size_t last, const BytePairs& pairs) {
  __m256i firsts[BytePairs::MaxPairs], finals[BytePairs::MaxPairs];
  for (size_t k = 0; k < pairs.Count; ++k) {
    firsts[k] = _mm256_set1_epi8(static_cast<char>(pairs.First[k]));
    finals[k] = _mm256_set1_epi8(static_cast<char>(pairs.Final[k]));
  }
  const size_t tailOffset = pairs.TailOffset;
  size_t p = from;
  for (; p + 32 <= last && p + 32 + tailOffset <= size; p += 32) {
    const __m256i head = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + p));
    const __m256i tail = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + p + tailOffset));
    __m256i any = _mm256_and_si256(_mm256_cmpeq_epi8(head, firsts[0]), _mm256_cmpeq_epi8(tail, finals[0]));
    for (size_t k = 1; k < pairs.Count; ++k) {
      any = _mm256_or_si256(any, _mm256_and_si256(_mm256_cmpeq_epi8(head, firsts[k]), _mm256_cmpeq_epi8(tail, finals[k])));
    }
    const uint32_t mask = static_cast<uint32_t>(_mm256_movemask_epi8(any));
    if (mask != 0) return p + static_cast<size_t>(__builtin_ctz(mask));
  }
  return NextCandidatePlain(data, size, p, last, pairs);
}

__attribute__((target("sse2"))) size_t NextCandidateSse2(const uint8_t* data, size_t size, size_t from,
                                                         size_t last, const BytePairs& pairs) {
  __m128i firsts[BytePairs::MaxPairs], finals[BytePairs::MaxPairs];
  for (size_t k = 0; k < pairs.Count; ++k) {
    firsts[k] = _mm_set1_epi8(static_cast<char>(pairs.First[k]));
    finals[k] = _mm_set1_epi8(static_cast<char>(pairs.Final[k]));
  }
  const size_t tailOffset = pairs.TailOffset;
  size_t p = from;
  for (; p + 16 <= last && p + 16 + tailOffset <= size; p += 16) {
    const __m128i head = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + p));
    const __m128i tail = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + p + tailOffset));
    __m128i any = _mm_and_si128(_mm_cmpeq_epi8(head, firsts[0]), _mm_cmpeq_epi8(tail, finals[0]));
    for (size_t k = 1; k < pairs.Count; ++k) {
      any = _mm_or_si128(any, _mm_and_si128(_mm_cmpeq_epi8(head, firsts[k]), _mm_cmpeq_epi8(tail, finals[k])));
    }
    const int mask = _mm_movemask_epi8(any);
    if (mask != 0) return p + static_cast<size_t>(__builtin_ctz(static_cast<unsigned>(mask)));
  }
  return NextCandidatePlain(data, size, p, last, pairs);
}

#endif

}  // namespace

std::vector<NamedCandidateFilter> CandidateFilters() {
#if defined(__x86_64__) || defined(__i386__)
  return RunnableFilters<CandidateFilter>(NextCandidateAvx512, NextCandidateAvx2, NextCandidateSse2, NextCandidatePlain);
#else
  return RunnableFilters<CandidateFilter>(nullptr, nullptr, nullptr, NextCandidatePlain);
#endif
}

}  // namespace korvid
