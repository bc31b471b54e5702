#pragma once

#include <vector>

namespace korvid {

template <typename F>
struct NamedFilter {
  const char* Name;
  F Filter;
};

// The versions of a byte filter this processor can run, fastest first: `avx512` (AVX-512 with
// byte and word instructions), `avx2` and `sse2` when it has those instruction sets (null where
// they were not built), then `plain`, which runs anywhere.
template <typename F>
std::vector<NamedFilter<F>> RunnableFilters(F avx512, F avx2, F sse2, F plain) {
  std::vector<NamedFilter<F>> filters;
#if defined(__x86_64__) || defined(__i386__)
  __builtin_cpu_init();
  if (avx512 != nullptr && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw")) {
    filters.push_back({"avx512", avx512});
  }
  if (avx2 != nullptr && __builtin_cpu_supports("avx2")) filters.push_back({"avx2", avx2});
  if (sse2 != nullptr && __builtin_cpu_supports("sse2")) filters.push_back({"sse2", sse2});
#endif
  filters.push_back({"plain", plain});
  return filters;
}

}  // namespace korvid
