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
  for (uint8_t& b : data) b = static_cast<uint8_t>(random() % 4);  // dense in candidates
  const uint8_t first = 1, final = 2;
  for (const size_t tailOffset : {size_t{0}, size_t{3}, size_t{15}}) {
    for (const size_t last : {size_t{0}, size_t{1}, size_t{63}, size_t{64}, size_t{65}, data.size() - tailOffset}) {
      std::vector<size_t> expected;
      for (size_t p = 0; p < last; ++p) {
        if (data[p] == first && data[p + tailOffset] == final) expected.push_back(p);
      }
      for (const NamedCandidateFilter& named : CandidateFilters()) {
        std::vector<size_t> found;
        for (size_t p = 0;; ++p) {
          p = named.Filter(data.data(), data.size(), p, last, first, final, tailOffset);
          if (p >= last) break;
          found.push_back(p);
        }
        EXPECT_EQ(found, expected) << named.Name << " tail " << tailOffset << " last " << last;
      }
    }
  }
  EXPECT_STREQ(CandidateFilters().back().Name, "plain");
}

}  // namespace
}  // namespace korvid
