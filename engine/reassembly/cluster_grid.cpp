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

// The origin, on a sector boundary, at which the most of the met ends' last chunks cross a
// boundary of clusters of `size` bytes after their headers.
int64_t BestOrigin(std::span<const Piece> pieces, const std::vector<size_t>& met, int64_t size) {
  // For each origin, the met ends whose last chunk crosses a boundary, with a difference array
  // over the circle of offsets.
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
  return best * SectorSize;
}

// Whether clusters of `size` bytes explain the breaks as well as clusters of half that size:
// the met ends whose last chunk is shorter than half a cluster cross exactly one boundary of the
// half-size grid, and on a true grid of `size` those boundaries nearly all lie on its own
// boundaries. Where the breaks lie an even number of true clusters apart (recorders that take
// runs of one length in turns), the meetings alone would fit the doubled size as well, but the
// crossings fall on both halves of the doubled clusters alike.
bool CrossingsFitDoubled(std::span<const Piece> pieces, const std::vector<size_t>& met, int64_t size) {
  const int64_t half = size / 2;
  const int64_t origin = BestOrigin(pieces, met, half);
  size_t crossing = 0, onGrid = 0;
  for (size_t i : met) {
    const Piece& p = pieces[i];
    if (p.End() - p.HeadEnd() >= half) continue;
    // The half-size boundary at or after the header, if the chunk reaches it.
    const int64_t boundary = p.HeadEnd() + Modulo(origin - p.HeadEnd(), half);
    if (boundary > p.End()) continue;
    ++crossing;
    onGrid += Modulo(boundary - origin, size) == 0 ? 1 : 0;
  }
  if (crossing < MinimumMeetings) return true;
  const size_t most = std::max(onGrid, crossing - onGrid);
  return most * 4 >= crossing * 3;
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
    if (next.size() * 4 < met.size() * 3 || !CrossingsFitDoubled(pieces, met, c)) {
      size = c / 2;
      break;
    }
    met = std::move(next);
    size = c;
  }
  if (size == 0 || met.size() < MinimumMeetings) return geometry;

  geometry.From = GeometrySource::Inferred;
  geometry.Grids.push_back({0, sourceSize, size, BestOrigin(pieces, met, size)});
  return geometry;
}

}  // namespace korvid
