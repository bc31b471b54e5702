#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "engine/fragment_writer.h"
#include "engine/naming/source_entry.h"

namespace korvid {

// For each file, the index in `entries` of the entry it was recorded as, or none.
//
// A recording's header (RIFF, hdrl, the movi list id: a few KB) lies in its first cluster, and
// its data begins there or a few clusters on, at the file's first extent. So the entry taken is
// the one whose first cluster is the last at or before that byte while the byte lies within the
// entry's size (at least its first cluster) of it: an earlier entry would end before the byte,
// a later one begins after it. Where a live and a deleted entry start at the same cluster, the
// live one is taken, as the cluster holds its data now.
std::vector<std::optional<size_t>> MatchSourceEntries(const std::vector<WrittenFile>& files,
                                                      const std::vector<SourceEntry>& entries);

// The source byte where a file's recording data begins: its first extent, else its start.
int64_t FirstDataByte(const WrittenFile& file);

}  // namespace korvid
