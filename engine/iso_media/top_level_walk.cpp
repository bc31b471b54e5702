#include "engine/iso_media/top_level_walk.h"

#include <algorithm>

#include "engine/big_endian.h"
#include "engine/iso_media/movie_box.h"

namespace korvid::iso {
namespace {

// A file type box holds its major brand, minor version and compatible brands: a few dozen bytes.
constexpr uint32_t MaxFileTypeBox = 4096;

}  // namespace

bool IsTopLevelType(uint32_t type) {
  static constexpr uint32_t Types[] = {
      BoxType("ftyp"), BoxType("moov"), BoxType("mdat"), BoxType("free"), BoxType("skip"), BoxType("wide"),
      BoxType("uuid"), BoxType("meta"), BoxType("pdin"), BoxType("moof"), BoxType("mfra"), BoxType("sidx"),
      BoxType("styp"), BoxType("udta"), BoxType("pnot"), BoxType("prfl"), BoxType("mvex"),
  };
  return std::find(std::begin(Types), std::end(Types), type) != std::end(Types);
}

bool IsFileTypeBox(SourceBytes& source, int64_t start) {
  uint8_t head[16];
  if (!source.Read(start, sizeof head, head)) return false;
  const uint32_t size = BigEndian32(head);
  if (BigEndian32(head + 4) != BoxType("ftyp") || size < 16 || size > MaxFileTypeBox || size % 4 != 0) return false;
  for (int i = 8; i < 12; ++i) {
    if (head[i] < 0x20 || head[i] > 0x7E) return false;
  }
  uint8_t next[8];
  return source.Read(start + size, sizeof next, next) && IsTopLevelType(BigEndian32(next + 4)) &&
         BigEndian32(next + 4) != BoxType("ftyp");
}

TopLevelWalk WalkTopLevel(SourceBytes& source, int64_t start, int64_t stopBefore) {
  TopLevelWalk walk;
  walk.Start = walk.End = start;
  const int64_t end = std::min(source.Size(), stopBefore);
  for (int64_t at = start; at < end;) {
    uint8_t head[16];
    if (!source.Read(at, 8, head)) break;
    TopBox box;
    box.Type = BigEndian32(head + 4);
    box.Start = at;
    if (!IsTopLevelType(box.Type) || (box.Type == BoxType("ftyp") && at != start)) break;
    box.DeclaredSize = BigEndian32(head);
    if (box.DeclaredSize == 1) {
      if (!source.Read(at + 8, 8, head + 8)) break;
      box.HeaderSize = 16;
      box.DeclaredSize = BigEndian64(head + 8);
      if (box.DeclaredSize < 16) break;
    } else if (box.DeclaredSize != 0 && box.DeclaredSize < 8) {
      break;
    }
    if (box.Type == BoxType("ftyp")) {
      uint8_t brand[4];
      if (box.DeclaredSize < 16 || box.DeclaredSize > MaxFileTypeBox || !source.Read(at + 8, 4, brand)) break;
      walk.MajorBrand = BigEndian32(brand);
    }
    const uint64_t room = static_cast<uint64_t>(end - at);
    box.Cut = box.DeclaredSize == 0 || box.DeclaredSize > room;
    box.End = box.Cut ? end : at + static_cast<int64_t>(box.DeclaredSize);
    walk.Boxes.push_back(box);
    walk.End = box.End;
    if (box.Cut) break;
    at = box.End;
  }
  return walk;
}

const char* ExtensionForBrand(uint32_t brand) {
  if (brand == BoxType("qt  ")) return "MOV";
  const uint32_t family = brand & 0xFFFFFF00u;
  if (family == (BoxType("3gp ") & 0xFFFFFF00u) || family == (BoxType("3g2 ") & 0xFFFFFF00u)) return "3GP";
  if (brand == BoxType("M4V ") || brand == BoxType("M4VH") || brand == BoxType("M4VP")) return "M4V";
  return "MP4";
}

}  // namespace korvid::iso
