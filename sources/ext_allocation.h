#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

// Free blocks of an ext2/3/4 file system, read from its group descriptors and block bitmaps.
// The Sleuth Kit's block walk misreads two common layouts, so ext file systems are read here:
// - groups flagged BLOCK_UNINIT (with descriptor checksums): mke2fs leaves their bitmap block
//   unwritten, zeros or stale bytes, and the kernel derives the bitmap from the group's layout;
// - meta_bg file systems, whose descriptor blocks are spread over the groups.
namespace korvid::sources {

// Reads `length` bytes at byte `offset` from the start of the file system; false if it cannot.
using FileSystemReader = std::function<bool(uint64_t offset, uint8_t* buffer, size_t length)>;

struct ExtFreeBlocks {
  std::vector<std::pair<uint64_t, uint64_t>> Runs;  // [first, end) in blocks, ascending, joined
  std::string Error;                                // why they cannot be read; empty when read
};

ExtFreeBlocks ReadExtFreeBlocks(const FileSystemReader& read);

}  // namespace korvid::sources
