#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "engine/reassembly/piece.h"

namespace korvid {

// The clusters of one file system: a file's data lies in whole clusters, so where a file breaks
// into pieces, it breaks on a cluster boundary.
struct ClusterGrid {
  int64_t Start = 0;        // the stretch of the source the file system covers
  int64_t End = 0;
  int64_t ClusterSize = 0;  // bytes, > 0
  int64_t Origin = 0;       // one cluster boundary; the others lie whole clusters from it

  bool Holds(int64_t position) const { return position >= Start && position < End; }
  // The last boundary at or before `position`.
  int64_t Floor(int64_t position) const;
  // The first boundary at or after `position`.
  int64_t Ceil(int64_t position) const { return Floor(position + ClusterSize - 1); }
};

// Where the cluster grids come from.
enum class GeometrySource : uint8_t {
  None,        // neither a file system nor the pieces tell it: nothing is joined
  FileSystem,  // read from the file systems found on the source
  Inferred,    // worked out from where the pieces break
};

struct ClusterGeometry {
  GeometrySource From = GeometrySource::None;
  std::vector<ClusterGrid> Grids;  // ascending, disjoint

  // The grid that holds `position`, or null.
  const ClusterGrid* GridAt(int64_t position) const;
};

// The cluster size and origin that best explain where `pieces` (ascending Start) break: the
// largest power of two from 512 bytes to 1 MiB at which the declared ends of broken pieces keep
// meeting piece starts at the same offset within a cluster, and the origin at which the most
// of those ends' chunks cross a boundary. None when too few pieces break to tell.
ClusterGeometry InferClusterGeometry(std::span<const Piece> pieces, int64_t sourceSize);

}  // namespace korvid
