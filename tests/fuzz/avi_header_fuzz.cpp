// Parses any input as a sample's header; a header that parses is repaired with totals whose
// shape comes from the input, and the repaired header must parse again with the same streams,
// at the length the shape alone decides.
#include <cstdlib>
#include <span>
#include <string>

#include "engine/avi/avi_header.h"

namespace {

// Totals whose values and super index entry counts (0-3 per stream, or no super index at all)
// come from `seed`.
korvid::HeaderTotals TotalsFrom(uint64_t seed, size_t streams, bool zero) {
  const auto next = [&seed, zero] {
    seed = seed * 6364136223846793005ull + 1442695040888963407ull;
    return zero ? 0 : static_cast<uint32_t>(seed >> 32);
  };
  korvid::HeaderTotals totals{.RiffSize = next(), .MoviSize = next(), .AvihTotalFrames = next()};
  for (size_t i = 0; i < streams; ++i) totals.StreamLength.push_back(next());
  if (seed % 3 != 0) {
    for (size_t i = 0; i < streams; ++i) {
      totals.SuperIndex.emplace_back((seed >> (2 * (i % 30))) & 3);
      for (korvid::SuperIndexEntry& entry : totals.SuperIndex.back()) {
        entry = {uint64_t{next()} << 16, next(), next()};
      }
    }
  }
  totals.DmlhTotalFrames = next();
  return totals;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string problem;
  const auto header = korvid::ParseAviHeader(std::span<const uint8_t>(data, size), problem);
  if (!header) return 0;
  uint64_t seed = 0;
  for (size_t i = 0; i < size; ++i) seed = seed * 31 + data[i];
  const std::vector<uint8_t> repaired =
      korvid::RepairedHeader(*header, TotalsFrom(seed, header->Streams.size(), false));
  const auto again = korvid::ParseAviHeader(repaired, problem);
  if (!again || again->Streams.size() != header->Streams.size()) abort();
  const std::vector<uint8_t> placeholder =
      korvid::RepairedHeader(*header, TotalsFrom(seed, header->Streams.size(), true));
  if (placeholder.size() != repaired.size()) abort();
  return 0;
}
