#include "engine/candidate_filter.h"

#include <gtest/gtest.h>

#include <random>

namespace korvid {
namespace {

// Every filter this processor runs must find exactly the offsets a byte-by-byte look finds,
// also near the ends of the range, where the wide filters hand over to their tails.
TEST(CandidateFilters, AgreeWithAByteByByteLookOnEveryProcessorPath) {
  std::mt19937 random(7);
  std::vector<uint8_t> data(5000);
  for (uint8_t& b : data) b = static_cast<uint8_t>(random() % 16);  // dense in candidates
  // One pair, as a single pattern gives, and several, as a mode's patterns searched together do.
  BytePairs one;
  one.First[0] = 1;
  one.Final[0] = 2;
  one.Count = 1;
  BytePairs several = one;
  several.Count = BytePairs::MaxPairs;
  for (size_t k = 1; k < BytePairs::MaxPairs; ++k) {
    several.First[k] = static_cast<uint8_t>(k + 2);
    several.Final[k] = static_cast<uint8_t>(15 - k);
  }
  for (BytePairs pairs : {one, several}) {
    for (const size_t tailOffset : {size_t{0}, size_t{3}, size_t{15}}) {
      pairs.TailOffset = tailOffset;
      for (const size_t last : {size_t{0}, size_t{1}, size_t{31}, size_t{32}, size_t{33}, size_t{64}, size_t{65}, data.size() - tailOffset}) {
        std::vector<size_t> expected;
        for (size_t p = 0; p < last; ++p) {
          for (size_t k = 0; k < pairs.Count; ++k) {
            if (data[p] == pairs.First[k] && data[p + tailOffset] == pairs.Final[k]) {
              expected.push_back(p);
              break;
            }
          }
        }
        for (const NamedCandidateFilter& named : CandidateFilters()) {
          std::vector<size_t> found;
          for (size_t p = 0;; ++p) {
            p = named.Filter(data.data(), data.size(), p, last, pairs);
            if (p >= last) break;
            found.push_back(p);
          }
          EXPECT_EQ(found, expected) << named.Name << " pairs " << pairs.Count << " tail " << tailOffset << " last " << last;
        }
      }
    }
  }
  EXPECT_STREQ(CandidateFilters().back().Name, "plain");
}

}  // namespace
}  // namespace korvid
