#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "engine/source_bytes.h"

namespace korvid::iso {

// A top-level box of a file on the source.
struct TopBox {
  uint32_t Type = 0;  // BoxType
  int64_t Start = 0;  // source offset of its first byte
  uint32_t HeaderSize = 8;
  uint64_t DeclaredSize = 0;  // as its size fields give it: 0 means "to the end"
  int64_t End = 0;            // one past its last byte on the source, cut at the source's end
  bool Cut = false;           // its declared size runs past the source's end, or is 0
};

// What a walk over the top-level boxes found.
struct TopLevelWalk {
  int64_t Start = 0;
  int64_t End = 0;           // one past the last box accepted
  uint32_t MajorBrand = 0;   // of the ftyp; 0 without one
  std::vector<TopBox> Boxes;
};

// Whether `type` is one a file holds at its top level.
bool IsTopLevelType(uint32_t type);

// The file type box at `start`, when the bytes there make one: a plausible size, a major brand
// of printable characters and a known box right after it.
bool IsFileTypeBox(SourceBytes& source, int64_t start);

// Walks the boxes from `start` on by their sizes (32-bit, 64-bit largesize, 0 for "to the end")
// while they are of top-level types. It ends before a second ftyp (the next file), at a size
// that cannot be, and at the first box whose size runs past the source's end or is 0 (cut off:
// that box is the last). `stopBefore` is a source offset where another file is known to begin.
TopLevelWalk WalkTopLevel(SourceBytes& source, int64_t start, int64_t stopBefore);

// The output file's extension for a major brand: "MOV", "3GP", "M4V" or "MP4".
const char* ExtensionForBrand(uint32_t brand);

}  // namespace korvid::iso
