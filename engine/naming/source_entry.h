#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace korvid {

// A file's directory entry as the source's file system still holds it, live or deleted.
struct SourceEntry {
  std::string Name;          // a deleted FAT name's lost first letter is "_"
  uint64_t Size = 0;         // the size the entry states
  int64_t FirstByte = 0;     // source offset of its first cluster
  int64_t ClusterSize = 0;   // of its file system
  bool Deleted = false;
  // Seconds since 1970-01-01 UTC, as the file system gives them; none when it holds none.
  std::optional<int64_t> Modified;
  std::optional<int64_t> Created;
  std::optional<int64_t> Accessed;
};

}  // namespace korvid
