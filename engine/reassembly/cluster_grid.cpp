#include "engine/reassembly/cluster_grid.h"

#include <algorithm>

#include "engine/sector_reader.h"

namespace korvid {
namespace {

// Fewer broken ends that meet a piece start than this tell nothing about a grid.
constexpr size_t MinimumMeetings = 8;
constexpr int64_t SmallestCluster = 512;
constexpr int64_t LargestCluster = int64_t{1} << 20;

int64_t Modulo(int64_t value, int64_t size) {
  const int64_t r = value % size;
  return r < 0 ? r + size : r;
}

// Broken ends whose end meets, at the same offset within a cluster of `size` bytes, the start of
// one of the pieces that follow them closely on the source (file systems allocate forward; far
// pieces would meet by chance on a large medium).
std::vector<size_t> Meetings(std::span<const Piece> pieces, int64_t size) {
  constexpr size_t Following = 16;
  std::vector<size_t> met;
  for (size_t i = 0; i < pieces.size(); ++i) {
    const Piece& p = pieces[i];
    if (p.Lone() || p.EndsRecording()) continue;
    const int64_t r = Modulo(p.End(), size);
    for (size_t j = i + 1; j < pieces.size() && j <= i + Following; ++j) {
      if (!pieces[j].StartsRecording() && Modulo(pieces[j].Start, size) == r) {
        met.push_back(i);
        break;
      }
    }
  }
  return met;
}

}  // namespace

int64_t ClusterGrid::Floor(int64_t position) const {
  return position - Modulo(position - Origin, ClusterSize);
}

const ClusterGrid* ClusterGeometry::GridAt(int64_t position) const {
  auto after = std::upper_bound(Grids.begin(), Grids.end(), position,
                                [](int64_t p, const ClusterGrid& g) { return p < g.Start; });
  if (after == Grids.begin()) return nullptr;
  const ClusterGrid& grid = *(after - 1);
  return grid.Holds(position) ? &grid : nullptr;
}

ClusterGeometry InferClusterGeometry(std::span<const Piece> pieces, int64_t sourceSize) {
  ClusterGeometry geometry;
  // A true cluster size keeps nearly every meeting of the size below it; twice the true size
  // keeps about half, as a piece's two boundaries agree modulo 2C only every other time.
  int64_t size = 0;
  std::vector<size_t> met = Meetings(pieces, SmallestCluster);
  for (int64_t c = SmallestCluster * 2; c <= LargestCluster && met.size() >= MinimumMeetings; c *= 2) {
    std::vector<size_t> next = Meetings(pieces, c);
    if (next.size() * 4 < met.size() * 3) {
      size = c / 2;
      break;
    }
    met = std::move(next);
    size = c;
  }
  if (size == 0 || met.size() < MinimumMeetings) return geometry;

  // Origins on sector boundaries: count, for each, the met ends whose last chunk crosses a
  // boundary after its header, with a difference array over the circle of offsets.
  const int64_t slots = size / SectorSize;
  std::vector<int64_t> crossing(static_cast<size_t>(slots) + 1, 0);
  auto add = [&](int64_t from, int64_t to) {  // slots [from, to), 0 <= from <= to <= slots
    crossing[static_cast<size_t>(from)] += 1;
    crossing[static_cast<size_t>(to)] -= 1;
  };
  for (size_t i : met) {
    const Piece& p = pieces[i];
    if (p.End() - p.HeadEnd() >= size) {
      add(0, slots);
      continue;
    }
    // Boundaries b with HeadEnd <= b <= End: origin slots from ceil(HeadEnd) to floor(End).
    const int64_t first = (Modulo(p.HeadEnd(), size) + SectorSize - 1) / SectorSize;
    const int64_t last = Modulo(p.End(), size) / SectorSize;
    // A chunk whose end wraps past the cluster's last byte is counted in two stretches.
    const int64_t lo = first, hi = last + (Modulo(p.End(), size) < Modulo(p.HeadEnd(), size) ? slots : 0);
    if (hi < lo) continue;
    if (hi < slots) {
      add(lo, hi + 1);
    } else {
      if (lo < slots) add(lo, slots);
      add(0, std::min(hi - slots + 1, slots));
    }
  }
  int64_t best = 0, bestCount = -1, running = 0;
  for (int64_t s = 0; s < slots; ++s) {
    running += crossing[static_cast<size_t>(s)];
    if (running > bestCount) {
      bestCount = running;
      best = s;
    }
  }
  geometry.From = GeometrySource::Inferred;
  geometry.Grids.push_back({0, sourceSize, size, best * SectorSize});
  return geometry;
}

}  // namespace korvid
