#include "engine/naming/entry_match.h"

#include <algorithm>

namespace korvid {

int64_t FirstDataByte(const WrittenFile& file) {
  return file.Extents.empty() ? file.SourceStart : file.Extents.front().Offset;
}

std::vector<std::optional<size_t>> MatchSourceEntries(const std::vector<WrittenFile>& files,
                                                      const std::vector<SourceEntry>& entries) {
  // Entries by first byte, live ones first among those that share it.
  std::vector<size_t> order;
  for (size_t i = 0; i < entries.size(); ++i) {
    if (entries[i].Size > 0) order.push_back(i);
  }
  std::sort(order.begin(), order.end(), [&](size_t a, size_t b) {
    if (entries[a].FirstByte != entries[b].FirstByte) return entries[a].FirstByte < entries[b].FirstByte;
    return !entries[a].Deleted && entries[b].Deleted;
  });
  std::vector<std::optional<size_t>> matches;
  for (const WrittenFile& file : files) {
    const int64_t data = FirstDataByte(file);
    // The last first cluster at or before `data`, and the first entry that starts there.
    auto after = std::upper_bound(order.begin(), order.end(), data,
                                  [&](int64_t byte, size_t i) { return byte < entries[i].FirstByte; });
    std::optional<size_t> match;
    if (after != order.begin()) {
      const int64_t start = entries[*std::prev(after)].FirstByte;
      const size_t first = *std::lower_bound(order.begin(), after, start,
                                             [&](size_t i, int64_t byte) { return entries[i].FirstByte < byte; });
      const SourceEntry& entry = entries[first];
      const int64_t reach = std::max(static_cast<int64_t>(entry.Size), entry.ClusterSize);
      if (data - start < reach) match = first;
    }
    matches.push_back(match);
  }
  return matches;
}

}  // namespace korvid
