#include "engine/reassembly/piece_joiner.h"

#include <algorithm>
#include <array>
#include <limits>
#include <map>
#include <numeric>
#include <queue>

namespace korvid {
namespace {

constexpr uint32_t NoPiece = std::numeric_limits<uint32_t>::max();
// Stretches without a chunk header looked at for the middle of one chunk: the first few after
// its first piece, as file systems allocate forward.
constexpr size_t NearestOrphans = 8;

int64_t Modulo(int64_t value, int64_t size) {
  const int64_t r = value % size;
  return r < 0 ? r + size : r;
}

// One way to continue a piece, with what speaks for it, while the ways are weighed: lower Rank
// is better evidence, and among equal ranks the nearer piece is the one file systems allocate
// next. The one kept is stored in the continued piece's slot.
struct Join {
  uint32_t From = NoPiece;
  uint32_t To = NoPiece;
  int64_t Distance = 0;
  int64_t TailFree = 0;  // free clusters right after From
  int64_t LeadFree = 0;  // free clusters right before To
  // Cluster counts within one chunk, which is at most MaxDataChunkSize long.
  int32_t Missing = 0;        // whole clusters the chunk needs between From's and To's clusters
  int32_t TailClusters = -1;  // of those, taken from after From; -1 until decided
  int32_t OrphanClusters = 0;
  int32_t Preferred = 0;  // the share after From that the content check liked best
  // Whole free stretches between the two pieces that hold the middle of the chunk, in order.
  std::vector<ByteRange> Orphans;
  uint8_t Rank = 0;
  bool Shared = false;  // From's free clusters are To's: the two pieces are neighbours
  // No other layout of the chunk fits as well: the evidence decides where its clusters lie.
  bool Sure = false;

  int64_t LeadClusters() const { return Missing - TailClusters - OrphanClusters; }

  bool Before(const Join& other) const {
    return Rank != other.Rank ? Rank < other.Rank : Distance < other.Distance;
  }
};

int32_t ClustersOf(std::span<const ByteRange> stretches, int64_t clusterSize) {
  int64_t clusters = 0;
  for (const ByteRange& r : stretches) clusters += r.Length / clusterSize;
  return static_cast<int32_t>(clusters);
}

// Where a chunk lies that piece `from` starts and piece `to` finishes, from its header to its
// end: `tail` clusters after From's last cluster, the stretches `orphans`, `lead` clusters before
// To's first.
void LayChunk(const Piece& from, const Piece& to, const ClusterGrid& grid, int64_t tail, int64_t lead,
              std::span<const ByteRange> orphans, std::vector<ByteRange>& extents) {
  const int64_t size = grid.ClusterSize;
  const int64_t cut = grid.Ceil(from.HeadEnd());
  const int64_t boundary = grid.Floor(to.Start);
  extents.clear();
  extents.push_back({from.LastMember, cut + tail * size - from.LastMember});
  extents.insert(extents.end(), orphans.begin(), orphans.end());
  const ByteRange before{boundary - lead * size, to.Start - (boundary - lead * size)};
  // Shares of a stretch that the two pieces border alone lay the chunk out the same.
  if (extents.back().Offset + extents.back().Length == before.Offset) {
    extents.back().Length += before.Length;
  } else {
    extents.push_back(before);
  }
}

// Orders ranges by their first byte, the least on top of a priority queue.
struct StartsAfter {
  bool operator()(const ByteRange& a, const ByteRange& b) const { return a.Offset > b.Offset; }
};

}  // namespace

std::span<const uint32_t> Reassembly::PiecesOf(size_t recording) const {
  const size_t from = firsts_[recording];
  const size_t to = recording + 1 < firsts_.size() ? firsts_[recording + 1] : order_.size();
  return std::span(order_).subspan(from, to - from);
}

std::vector<ByteRange> Reassembly::JoinExtents(uint32_t piece) const {
  const Slot& slot = slots_[piece];
  const ClusterGrid& grid = *geometry_->GridAt(pieces_[piece].Start);
  std::span<const ByteRange> orphans;
  if (slot.HasOrphans) orphans = orphans_.at(piece);
  const int64_t lead = slot.Missing - slot.TailClusters - ClustersOf(orphans, grid.ClusterSize);
  std::vector<ByteRange> extents;
  LayChunk(pieces_[piece], pieces_[slot.To], grid, slot.TailClusters, lead, orphans, extents);
  return extents;
}

// Each piece's continuation is kept in the piece's slot, and each piece's one continuer in
// into_: media hold millions of pieces, and these are what joining holds for each.
class PieceJoiner {
  using Slot = Reassembly::Slot;

 public:
  PieceJoiner(std::span<const Piece> pieces, const JoinEvidence& evidence)
      : pieces_(pieces), evidence_(evidence), slots_(result_.slots_), orphans_(result_.orphans_) {
    result_.pieces_ = pieces;
    result_.geometry_ = evidence.Geometry;
    coreEndAt_.reserve(pieces.size() / CoreEndEvery + 1);
    int64_t end = std::numeric_limits<int64_t>::min();
    for (uint32_t i = 0; i < pieces.size(); ++i) {
      if (i % CoreEndEvery == 0) coreEndAt_.push_back(end);
      end = std::max(end, CoreEnd(i));
    }
    IndexByResidue();
  }

  Reassembly Run(ReassemblyTotals& totals) {
    ChooseJoins();
    BreakRings();
    std::vector<uint32_t>().swap(byResidue_);

    const auto first = [&](uint32_t p) {
      return into_[p] == NoPiece && !(pieces_[p].Lone() && slots_[p].To == NoPiece);
    };
    size_t recordings = 0, held = 0;
    for (uint32_t p = 0; p < pieces_.size(); ++p) {
      if (first(p)) ++recordings;
      if (into_[p] != NoPiece || first(p)) ++held;
    }
    result_.firsts_.reserve(recordings);
    result_.order_.reserve(held);
    for (uint32_t p = 0; p < pieces_.size(); ++p) {
      if (!first(p)) continue;
      result_.firsts_.push_back(static_cast<uint32_t>(result_.order_.size()));
      uint64_t count = 0;
      uint32_t last = p;
      for (uint32_t at = p; at != NoPiece; at = slots_[at].To) {
        result_.order_.push_back(at);
        last = at;
        ++count;
      }
      result_.foreign_.push_back(Foreign(last));
      totals.Joins += count - 1;
      if (count > 1) {
        ++totals.JoinedRecordings;
        totals.PiecesInJoined += count;
      }
    }
    return std::move(result_);
  }

 private:
  // The end of the last cluster of any piece before `q`, from a checkpoint every few pieces.
  static constexpr uint32_t CoreEndEvery = 8;
  int64_t CoreEnd(uint32_t p) const {
    const ClusterGrid* grid = GridOf(p);
    return grid != nullptr ? grid->Ceil(pieces_[p].HeadEnd()) : std::numeric_limits<int64_t>::min();
  }
  int64_t CoreEndBefore(uint32_t q) const {
    int64_t end = coreEndAt_[q / CoreEndEvery];
    for (uint32_t i = q - q % CoreEndEvery; i < q; ++i) end = std::max(end, CoreEnd(i));
    return end;
  }

  const ClusterGrid* GridOf(uint32_t p) const {
    return evidence_.Geometry != nullptr ? evidence_.Geometry->GridAt(pieces_[p].Start) : nullptr;
  }

  bool Usable(int64_t from, int64_t to) const {
    if (!evidence_.Usable || to <= from) return true;
    const std::span<const ByteRange> usable = *evidence_.Usable;
    auto after = std::upper_bound(usable.begin(), usable.end(), from,
                                  [](int64_t p, const ByteRange& r) { return p < r.Offset; });
    if (after == usable.begin()) return false;
    const ByteRange& range = *(after - 1);
    return to <= range.Offset + range.Length;
  }

  // The first piece after `p` on the source whose start lies past p's last header.
  uint32_t NextAfter(uint32_t p) const {
    const int64_t headEnd = pieces_[p].HeadEnd();
    auto at = std::lower_bound(pieces_.begin() + p + 1, pieces_.end(), headEnd,
                               [](const Piece& piece, int64_t v) { return piece.Start < v; });
    return at == pieces_.end() ? NoPiece : static_cast<uint32_t>(at - pieces_.begin());
  }

  // The usable stretch that holds `position`, or null.
  const ByteRange* UsableAt(int64_t position) const {
    const std::span<const ByteRange> usable = *evidence_.Usable;
    auto after = std::upper_bound(usable.begin(), usable.end(), position,
                                  [](int64_t p, const ByteRange& r) { return p < r.Offset; });
    if (after == usable.begin()) return nullptr;
    const ByteRange& range = *(after - 1);
    return position < range.Offset + range.Length ? &range : nullptr;
  }

  // Free clusters from boundary `from` on, up to the next piece's first cluster, the grid's end
  // and the end of the usable stretch.
  int64_t FreeClustersAfter(uint32_t p, const ClusterGrid& grid, int64_t from) const {
    const uint32_t n = NextAfter(p);
    int64_t end = n == NoPiece ? grid.End : std::min(grid.End, pieces_[n].Start);
    end = grid.Floor(end);
    if (end <= from) return 0;
    const int64_t clusters = (end - from) / grid.ClusterSize;
    if (!evidence_.Usable) return clusters;
    const ByteRange* usable = UsableAt(from);
    return usable == nullptr ? 0 : std::min(clusters, (usable->Offset + usable->Length - from) / grid.ClusterSize);
  }

  // Free clusters right before boundary `to`, back to the last cluster of an earlier piece and
  // the start of the usable stretch.
  int64_t FreeClustersBefore(uint32_t q, const ClusterGrid& grid, int64_t to) const {
    const int64_t start = grid.Ceil(std::max(CoreEndBefore(q), grid.Start));
    if (to <= start) return 0;
    const int64_t clusters = (to - start) / grid.ClusterSize;
    if (!evidence_.Usable) return clusters;
    const ByteRange* usable = UsableAt(to - 1);
    return usable == nullptr || to > usable->Offset + usable->Length
               ? 0
               : std::min(clusters, (to - usable->Offset) / grid.ClusterSize);
  }

  void IndexByResidue() {
    byResidue_.resize(pieces_.size());
    std::iota(byResidue_.begin(), byResidue_.end(), 0u);
    // Within a key, in the order of the pieces on the source.
    std::sort(byResidue_.begin(), byResidue_.end(), [&](uint32_t a, uint32_t b) {
      const auto ka = Key(a), kb = Key(b);
      return ka != kb ? ka < kb : a < b;
    });
  }

  // Compares pieces and keys by Key alone.
  struct ResidueLess {
    const PieceJoiner& joiner;
    bool operator()(uint32_t a, const std::pair<int64_t, int64_t>& k) const { return joiner.Key(a) < k; }
    bool operator()(const std::pair<int64_t, int64_t>& k, uint32_t a) const { return k < joiner.Key(a); }
  };

  // Orders pieces by their grid, then by their start's offset within a cluster.
  std::pair<int64_t, int64_t> Key(uint32_t p) const {
    const ClusterGrid* grid = GridOf(p);
    if (grid == nullptr) return {std::numeric_limits<int64_t>::max(), 0};
    return {grid->Start, Modulo(pieces_[p].Start - grid->Origin, grid->ClusterSize)};
  }

  // The whole gaps between pieces after From and before To, the first few, that could hold
  // part of a chunk: those that nothing unusable parts.
  std::vector<ByteRange> GapsBetween(const Join& join, int64_t clusterSize) const {
    std::vector<ByteRange> between;
    constexpr uint32_t Looked = 64;  // pieces looked past for them: the search stays near From
    for (uint32_t g = join.From + 1; g + 1 < join.To && g <= join.From + Looked && between.size() < NearestOrphans; ++g) {
      const ByteRange range = GapRange(g);
      if (range.Length >= clusterSize && Usable(range.Offset, range.Offset + range.Length)) between.push_back(range);
    }
    return between;
  }

  // Chooses among the stretches `between` (in order on the source) one to three that hold
  // `least` to `most` clusters together, and the share of the rest, by what the content check
  // and the seams say.
  JoinVerdict BestOrphans(Join& join, std::span<const ByteRange> between, int64_t least, int64_t most,
                          int64_t clusterSize) const {
    std::vector<std::vector<ByteRange>> sets;
    const size_t n = between.size();
    auto consider = [&](std::initializer_list<size_t> picks) {
      int64_t total = 0;
      std::vector<ByteRange> set;
      for (size_t i : picks) {
        total += between[i].Length / clusterSize;
        set.push_back(between[i]);
      }
      if (total >= least && total <= most) sets.push_back(std::move(set));
    };
    for (size_t i = 0; i < n; ++i) {
      consider({i});
      for (size_t j = i + 1; j < n; ++j) {
        consider({i, j});
        for (size_t k = j + 1; k < n; ++k) consider({i, j, k});
      }
    }
    // The sets the check accepts beat those it neither accepts nor refuses; among equals the
    // seams that fit best decide, and a tie there leaves the pieces apart.
    JoinVerdict best = JoinVerdict::Fails;
    double bestCost = 0;
    bool tied = false;
    Join chosen;
    for (const std::vector<ByteRange>& set : sets) {
      Join trial = join;
      trial.Orphans = set;
      trial.OrphanClusters = 0;
      for (const ByteRange& orphan : set) trial.OrphanClusters += static_cast<int32_t>(orphan.Length / clusterSize);
      const int64_t own = join.Missing - trial.OrphanClusters;
      const JoinVerdict verdict =
          BestSplit(trial, std::max<int64_t>(0, own - join.LeadFree), std::min(own, join.TailFree));
      if (verdict == JoinVerdict::Fails || (verdict == JoinVerdict::Unknown && best == JoinVerdict::Fits)) continue;
      const double cost = evidence_.Cost ? evidence_.Cost(pieces_[join.From].LastId, Lay(trial, trial.Preferred)) : 0;
      if (best == JoinVerdict::Fails || (verdict == JoinVerdict::Fits && best != JoinVerdict::Fits) ||
          cost < bestCost) {
        best = verdict;
        bestCost = cost;
        tied = false;
        chosen = std::move(trial);
      } else if (cost == bestCost) {
        tied = true;
      }
    }
    if (best == JoinVerdict::Fails || tied) return JoinVerdict::Fails;
    join = std::move(chosen);
    return best;
  }

  // Whether clusters that may not be used lie in the gap after piece `gap`, parting its front
  // from its back.
  bool Parted(uint32_t gap) const {
    if (!evidence_.Usable || gap + 1 >= pieces_.size() || GridOf(gap) == nullptr) return false;
    const ByteRange range = GapRange(gap);
    return range.Length > 0 && !Usable(range.Offset, range.Offset + range.Length);
  }

  // The piece that the gap ending at boundary `end` follows.
  uint32_t GapEndingAt(int64_t end) const {
    auto at = std::lower_bound(pieces_.begin(), pieces_.end(), end,
                               [](const Piece& piece, int64_t v) { return piece.Start < v; });
    return static_cast<uint32_t>(at - pieces_.begin()) - 1;
  }

  ByteRange GapRange(uint32_t gap) const {
    const ClusterGrid& grid = *GridOf(gap);
    const int64_t from = grid.Ceil(std::max(CoreEndBefore(gap + 1), grid.Start));
    return {from, grid.Floor(pieces_[gap + 1].Start) - from};
  }

  uint32_t Rank(JoinVerdict verdict, uint32_t p, uint32_t q, bool orphan) const {
    const Piece& from = pieces_[p];
    const Piece& to = pieces_[q];
    const bool interleaveSeen =
        evidence_.Interleave == nullptr || KindOf(from.LastId) != MoviChunkKind::Data ||
        KindOf(to.FirstId) != MoviChunkKind::Data ||
        evidence_.Interleave->Count(StreamOf(from.LastId), StreamOf(to.FirstId)) > 0;
    return (verdict == JoinVerdict::Fits ? 0u : 8u) + (interleaveSeen ? 0u : 4u) + (to.Start > from.Start ? 0u : 2u) +
           (orphan ? 1u : 0u);
  }

  // The clusters that no piece, no join made so far and no recording's header holds, for the
  // joins made once the first ones are settled.
  struct Unheld {
    std::vector<ByteRange> Stretches;  // ascending, on cluster boundaries, usable

    // The stretch that holds `position`, or null.
    const ByteRange* At(int64_t position) const {
      auto after = std::upper_bound(Stretches.begin(), Stretches.end(), position,
                                    [](int64_t v, const ByteRange& r) { return v < r.Offset; });
      if (after == Stretches.begin()) return nullptr;
      const ByteRange& range = *(after - 1);
      return position < range.Offset + range.Length ? &range : nullptr;
    }

    // The first few stretches that overlap [from, to), cut to it.
    std::vector<ByteRange> Within(int64_t from, int64_t to) const {
      std::vector<ByteRange> within;
      auto at = std::upper_bound(Stretches.begin(), Stretches.end(), from,
                                 [](int64_t v, const ByteRange& r) { return v < r.Offset; });
      if (at != Stretches.begin()) --at;
      for (; at != Stretches.end() && at->Offset < to && within.size() < NearestOrphans + 2; ++at) {
        const int64_t a = std::max(from, at->Offset), b = std::min(to, at->Offset + at->Length);
        if (b > a) within.push_back({a, b - a});
      }
      return within;
    }

    // The first few stretches from `from` to `to` of at most `most` bytes: where the middle of
    // a chunk may lie.
    std::vector<ByteRange> Between(int64_t from, int64_t to, int64_t most) const {
      std::vector<ByteRange> between;
      auto at = std::lower_bound(Stretches.begin(), Stretches.end(), from,
                                 [](const ByteRange& r, int64_t v) { return r.Offset < v; });
      for (; at != Stretches.end() && at->Offset + at->Length <= to && between.size() < NearestOrphans; ++at) {
        if (at->Length <= most) between.push_back(*at);
      }
      return between;
    }
  };

  // The best way to continue piece `p`, if any: among all pieces, or where `unheld` is given,
  // among the pieces nothing continues yet, through clusters nothing holds yet. A lone chunk
  // is continued only once it continues another piece: alone it may be a chance hit.
  std::optional<Join> BestJoin(uint32_t p, const Unheld* unheld = nullptr) const {
    const Piece& piece = pieces_[p];
    const ClusterGrid* grid = GridOf(p);
    const bool lone = piece.Lone() && (unheld == nullptr || into_[p] == NoPiece);
    if (grid == nullptr || lone || piece.EndsRecording() || !grid->Holds(piece.End() - 1)) return std::nullopt;
    const MoviChunkKind kind = KindOf(piece.LastId);
    if (kind == MoviChunkKind::List || kind == MoviChunkKind::Riff) return std::nullopt;
    const int64_t size = grid->ClusterSize;
    const int64_t cut = grid->Ceil(piece.HeadEnd());
    if (cut > piece.End() || !Usable(piece.LastMember, cut)) return std::nullopt;
    const int64_t need = piece.End() - cut;
    const ByteRange* tailStretch = unheld != nullptr ? unheld->At(cut) : nullptr;
    const int64_t tail = unheld == nullptr ? FreeClustersAfter(p, *grid, cut)
                         : tailStretch == nullptr ? 0
                                                  : (tailStretch->Offset + tailStretch->Length - cut) / size;
    const uint32_t nextPiece = unheld == nullptr ? NextAfter(p) : NoPiece;

    std::optional<Join> best;
    const std::pair<int64_t, int64_t> key{grid->Start, Modulo(piece.End() - grid->Origin, size)};
    // The candidates nearest to the piece on the source, mostly after it, as file systems
    // allocate forward: a bounded number keeps the search linear in the pieces.
    constexpr long After = 32, Before = 4;
    const auto bucket = std::equal_range(byResidue_.begin(), byResidue_.end(), key, ResidueLess{*this});
    const auto here = std::lower_bound(bucket.first, bucket.second, p);
    const auto from = here - std::min<long>(Before, here - bucket.first);
    const auto to = here + std::min<long>(After, bucket.second - here);
    // The pieces after it first, the nearest first, then those before it, the nearest first:
    // a continuation is weighed only where it could beat the best one found, by its rank had
    // the content check accepted it and by its distance.
    const bool mayFit = evidence_.Check && (!evidence_.MayFit || evidence_.MayFit(piece.LastId));
    std::array<uint32_t, After + Before> order;
    size_t candidates = 0;
    for (auto at = here; at != to; ++at) order[candidates++] = *at;
    for (auto at = here; at != from;) order[candidates++] = *--at;
    for (const uint32_t q : std::span(order.data(), candidates)) {
      const Piece& to = pieces_[q];
      if (q == p || to.StartsRecording() || (unheld != nullptr && into_[q] != NoPiece)) continue;
      const int64_t distance = to.Start > piece.Start ? to.Start - piece.Start : piece.Start - to.Start;
      if (best) {
        const uint32_t bound = Rank(mayFit ? JoinVerdict::Fits : JoinVerdict::Unknown, p, q, false);
        if (bound > best->Rank || (bound == best->Rank && distance >= best->Distance)) continue;
      }
      const int64_t boundary = grid->Floor(to.Start);
      const int64_t lead = to.Start - boundary;
      // Another piece in the continuation's first cluster: that cluster is not one of the chunk's.
      if (need < lead || CoreEndBefore(q) > boundary || !Usable(boundary, to.Start)) continue;
      const int64_t missing = (need - lead) / size;
      Join join;
      join.From = p;
      join.To = q;
      join.Missing = missing;
      join.TailFree = tail;
      JoinVerdict verdict = JoinVerdict::Fails;
      // Neighbours with nothing unusable between them share the free clusters there: the chunk
      // takes some from their front (its first piece goes on) and the rest from their back (its
      // second piece starts early).
      if ((unheld != nullptr || nextPiece == q) && cut + tail * size == boundary) {
        if (missing > tail) continue;
        join.Shared = true;
        join.LeadFree = tail;
        verdict = BestSplit(join, 0, missing);
      } else {
        const ByteRange* leadStretch = unheld != nullptr ? unheld->At(boundary - 1) : nullptr;
        join.LeadFree = unheld == nullptr ? FreeClustersBefore(q, *grid, boundary)
                        : leadStretch == nullptr ? 0
                                                 : (boundary - leadStretch->Offset) / size;
        if (missing <= tail + join.LeadFree) {
          verdict = BestSplit(join, std::max<int64_t>(0, missing - join.LeadFree), std::min(missing, tail));
        } else if (to.Start > piece.Start) {
          // The rest lies in stretches of clusters between the two pieces that hold no chunk
          // header, of a length that leaves the free clusters next to the pieces enough.
          const std::vector<ByteRange> between =
              unheld == nullptr ? GapsBetween(join, size)
                                : unheld->Between(cut + tail * size, boundary - join.LeadFree * size, missing * size);
          verdict = BestOrphans(join, between, missing - tail - join.LeadFree, missing, size);
        }
      }
      if (verdict == JoinVerdict::Fails && unheld != nullptr && to.Start > piece.Start && missing > 0) {
        verdict = BestPartOfStretch(join, *unheld, size);
      }
      if (verdict == JoinVerdict::Fails) continue;
      join.Rank = Rank(verdict, p, q, !join.Orphans.empty());
      join.Distance = distance;
      if (!best || join.Before(*best)) best = std::move(join);
    }
    return best;
  }

  // Where no layout through whole stretches fits, the middle of the chunk may be one end of a
  // stretch that it shares with another recording's run without a header: two large frames cut
  // off side by side leave their middles next to each other. Tries each such part, with the
  // chunk's first piece going on over all the free clusters after it and the rest before its
  // second piece, and the other way round, and keeps the one layout the content check accepts.
  JoinVerdict BestPartOfStretch(Join& join, const Unheld& unheld, int64_t size) const {
    constexpr int MostTrials = 96;
    const ClusterGrid& grid = *GridOf(join.From);
    const int64_t cut = grid.Ceil(pieces_[join.From].HeadEnd());
    const int64_t boundary = grid.Floor(pieces_[join.To].Start);
    const int64_t m = join.Missing;
    const std::vector<ByteRange> within = unheld.Within(cut, boundary);
    int trials = 0, fits = 0;
    Join chosen;
    std::vector<ByteRange> layout, chosenLayout;
    for (const bool tailWhole : {true, false}) {
      const int64_t whole = std::min(m, tailWhole ? join.TailFree : join.LeadFree);
      const int64_t otherRoom = tailWhole ? join.LeadFree : join.TailFree;
      for (int64_t other = 0; other <= std::min(otherRoom, m - whole - 1); ++other) {
        const int64_t t = tailWhole ? whole : other, l = tailWhole ? other : whole;
        const int64_t k = m - t - l;
        const int64_t tailEnd = cut + t * size, leadStart = boundary - l * size;
        for (const ByteRange& stretch : within) {
          const int64_t from = std::max(stretch.Offset, tailEnd), to = std::min(stretch.Offset + stretch.Length, leadStart);
          for (const int64_t a : {from, to - k * size}) {
            // A part that touches the tail or the lead would make them longer: tried before.
            if (a < from || a + k * size > to || a == tailEnd || a + k * size == leadStart) continue;
            if (++trials > MostTrials) return fits == 1 ? Accept(join, chosen) : JoinVerdict::Fails;
            Join trial = join;
            trial.Orphans = {{a, k * size}};
            trial.OrphanClusters = k;
            trial.TailClusters = -1;
            Lay(trial, t, layout);
            if (!evidence_.Check || evidence_.Check(pieces_[join.From].LastId, layout) != JoinVerdict::Fits) continue;
            if (fits > 0 && layout == chosenLayout) continue;
            trial.Preferred = static_cast<int32_t>(t);
            chosen = std::move(trial);
            chosenLayout = layout;
            ++fits;
          }
        }
      }
    }
    return fits == 1 ? Accept(join, chosen) : JoinVerdict::Fails;
  }

  static JoinVerdict Accept(Join& join, Join& chosen) {
    chosen.Sure = true;
    join = std::move(chosen);
    return JoinVerdict::Fits;
  }

  // Where the chunk lies, from its header to its end: `tail` of its missing clusters after From
  // (or as many as the join has decided), the orphan gap if any, the rest before To.
  std::vector<ByteRange> Lay(const Join& join, int64_t tail) const {
    std::vector<ByteRange> extents;
    Lay(join, tail, extents);
    return extents;
  }

  void Lay(const Join& join, int64_t tail, std::vector<ByteRange>& extents) const {
    const int64_t t = join.TailClusters >= 0 ? join.TailClusters : tail;
    LayChunk(pieces_[join.From], pieces_[join.To], *GridOf(join.From), t, join.Missing - t - join.OrphanClusters,
             join.Orphans, extents);
  }

  // Lays the join out with each share of its clusters after From in [lo, hi], the largest first
  // (file systems allocate forward), and keeps the one whose seams fit best among those whose
  // chunk the content check accepts, else among those it does not refuse. Returns what the
  // check said of the one kept.
  JoinVerdict BestSplit(Join& join, int64_t lo, int64_t hi) const {
    constexpr int64_t MostTries = 16;
    JoinVerdict best = JoinVerdict::Fails;
    int64_t kept = hi;
    double keptCost = 0;
    bool tied = false;
    std::vector<ByteRange> layout, keptLayout;
    for (int64_t t = hi; t >= lo && hi - t < MostTries; --t) {
      Lay(join, t, layout);
      const JoinVerdict verdict = evidence_.Check ? evidence_.Check(pieces_[join.From].LastId, layout)
                                                  : JoinVerdict::Unknown;
      if (verdict == JoinVerdict::Fails || (verdict == JoinVerdict::Unknown && best == JoinVerdict::Fits)) continue;
      // Among layouts the check says the same of, the seams that fit best decide; on a tie, the
      // layout with more clusters after From.
      const double cost = lo < hi && evidence_.Cost ? evidence_.Cost(pieces_[join.From].LastId, layout) : 0;
      if (best == JoinVerdict::Fails || (verdict == JoinVerdict::Fits && best != JoinVerdict::Fits) ||
          cost < keptCost) {
        kept = t;
        keptCost = cost;
        best = verdict;
        tied = false;
        keptLayout = layout;
      } else if (verdict == best && cost == keptCost && layout != keptLayout) {
        tied = true;
      }
    }
    join.Sure = best != JoinVerdict::Fails && !tied && (best == JoinVerdict::Fits || hi - lo < MostTries);
    join.Preferred = static_cast<int32_t>(kept);
    return best;
  }

  // Clusters before a recording's first piece that hold its header, when its header is as long
  // as the sample's and starts on a boundary; else 0.
  int64_t HeaderClusters(uint32_t q) const {
    const Piece& piece = pieces_[q];
    const ClusterGrid* grid = GridOf(q);
    if (!piece.StartsRecording() || grid == nullptr || evidence_.HeaderBytes <= 0) return 0;
    const int64_t before = grid->Floor(piece.Start) - (piece.Start - evidence_.HeaderBytes);
    return before > 0 && before % grid->ClusterSize == 0 ? before / grid->ClusterSize : 0;
  }

  // Keeps `join` in its first piece's slot.
  void Store(const Join& join, bool pending) {
    Clear(join.From);
    Slot& slot = slots_[join.From];
    slot.To = join.To;
    slot.Missing = join.Missing;
    slot.TailClusters = join.TailClusters;
    slot.Rank = join.Rank;
    slot.Shared = join.Shared;
    slot.Sure = join.Sure;
    slot.Pending = pending;
    slot.HasOrphans = !join.Orphans.empty();
    if (slot.HasOrphans) orphans_[join.From] = join.Orphans;
  }

  // The join kept in the slot of piece `p`, which has one.
  Join Stored(uint32_t p) const {
    const Slot& slot = slots_[p];
    Join join;
    join.From = p;
    join.To = slot.To;
    join.Missing = slot.Missing;
    join.TailClusters = slot.TailClusters;
    join.Rank = slot.Rank;
    join.Shared = slot.Shared;
    join.Sure = slot.Sure;
    join.Distance = Distance(p);
    if (slot.HasOrphans) {
      join.Orphans = orphans_.at(p);
      join.OrphanClusters = ClustersOf(join.Orphans, GridOf(p)->ClusterSize);
    }
    return join;
  }

  int64_t Distance(uint32_t p) const {
    const int64_t from = pieces_[p].Start, to = pieces_[slots_[p].To].Start;
    return to > from ? to - from : from - to;
  }

  // Whether the join in the slot of `p` has better evidence than that in the slot of `q`; on a
  // tie, the one of the piece first on the source.
  bool Better(uint32_t p, uint32_t q) const {
    const Slot &a = slots_[p], &b = slots_[q];
    if (a.Rank != b.Rank) return a.Rank < b.Rank;
    const int64_t da = Distance(p), db = Distance(q);
    return da != db ? da < db : p < q;
  }

  void Clear(uint32_t p) {
    if (slots_[p].HasOrphans) orphans_.erase(p);
    slots_[p] = Slot{};
  }

  // Drops the join of piece `p`, if any.
  void Drop(uint32_t p) {
    const uint32_t q = slots_[p].To;
    if (q == NoPiece) return;
    if (into_[q] == p) into_[q] = NoPiece;
    Clear(p);
  }

  // The pieces whose slots hold a join, best evidence first.
  std::vector<uint32_t> Joined() const {
    std::vector<uint32_t> joined;
    joined.reserve(static_cast<size_t>(
        std::count_if(slots_.begin(), slots_.end(), [](const Slot& s) { return s.To != NoPiece; })));
    for (uint32_t p = 0; p < slots_.size(); ++p) {
      if (slots_[p].To != NoPiece) joined.push_back(p);
    }
    std::sort(joined.begin(), joined.end(), [&](uint32_t a, uint32_t b) { return Better(a, b); });
    return joined;
  }


  // Decides, for each join, how many of its missing clusters follow its first piece and how
  // many precede its second. A gap between two pieces serves the chunk that the piece before it
  // leaves unfinished (from its front) and the chunk that the piece after it finishes (from its
  // back): what one join takes, the other cannot. Joins whose share is forced are settled first
  // and their neighbours follow; the rest take clusters after their first piece, as file
  // systems allocate forward. Joins left no share are dropped.
  void SplitGaps() {
    const std::vector<uint32_t> joined = Joined();
    // What the back of the gap after piece g is taken for: the lead of a join or a header. The
    // front and the back of a gap compete only where nothing unusable parts them: then a join
    // whose two pieces border the gap (`self`) takes from its front and from its back at once.
    auto backTaken = [&](uint32_t g, uint32_t self = NoPiece) -> int64_t {
      if (g + 1 >= pieces_.size() || Parted(g)) return 0;
      const uint32_t j = into_[g + 1];
      if (j == self) return 0;
      if (j == NoPiece) return HeaderClusters(g + 1);
      return slots_[j].TailClusters < 0 ? 0 : Stored(j).LeadClusters();
    };
    auto frontTaken = [&](uint32_t g, uint32_t self = NoPiece) -> int64_t {
      if (Parted(g) || g == self) return 0;
      return slots_[g].To == NoPiece || slots_[g].TailClusters < 0 ? 0 : slots_[g].TailClusters;
    };
    std::vector<uint32_t> work;
    auto settle = [&](bool force) {
      while (!work.empty()) {
        const uint32_t j = work.back();
        work.pop_back();
        if (slots_[j].To == NoPiece || slots_[j].TailClusters >= 0) continue;
        Join join = Stored(j);
        Rooms(join);
        const int64_t tailRoom = join.TailFree - backTaken(j, j);
        const int64_t leadRoom = join.LeadFree - (join.To > 0 ? frontTaken(join.To - 1, j) : 0);
        const int64_t own = join.Missing - join.OrphanClusters;
        const int64_t lo = join.Shared ? 0 : std::max<int64_t>(0, own - leadRoom);
        const int64_t hi = join.Shared ? own : std::min(own, tailRoom);
        if (lo > hi) {
          Drop(j);
        } else if (lo == hi || force) {
          // The content check and the seams decide where they can; where they cannot, the join
          // waits for the clusters that the others leave it.
          if (BestSplit(join, lo, hi) == JoinVerdict::Fails) {
            Drop(j);
          } else {
            slots_[j].TailClusters = join.Preferred;
            slots_[j].Sure = join.Sure;
          }
        } else {
          continue;
        }
        // The joins that share a gap with this one may now be forced.
        if (j + 1 < pieces_.size() && into_[j + 1] != NoPiece) work.push_back(into_[j + 1]);
        if (join.To > 0 && slots_[join.To - 1].To != NoPiece) work.push_back(join.To - 1);
      }
    };
    // Each in turn from the last, and what it forces right after it.
    for (auto j = joined.rbegin(); j != joined.rend(); ++j) {
      work.push_back(*j);
      settle(false);
    }
    for (const uint32_t j : joined) {
      if (slots_[j].To == NoPiece || slots_[j].TailClusters >= 0) continue;
      work.push_back(j);
      settle(true);
    }
    // A gap's two users must fit in it together.
    std::vector<bool> orphanUsed(pieces_.size(), false);
    for (const uint32_t j : joined) {
      if (slots_[j].To == NoPiece) continue;
      Join join = Stored(j);
      Rooms(join);
      if (!join.Shared && join.TailClusters > 0 && join.TailClusters + backTaken(j, j) > join.TailFree) Drop(j);
      for (const ByteRange& orphan : join.Orphans) {
        const uint32_t gap = GapEndingAt(orphan.Offset + orphan.Length);
        if (orphanUsed[gap] || frontTaken(gap) > 0 || backTaken(gap) > 0) Drop(j);
        orphanUsed[gap] = true;
      }
    }
  }

  // The free clusters next to the two pieces of a first join, as weighing it found them.
  void Rooms(Join& join) const {
    const ClusterGrid& grid = *GridOf(join.From);
    join.TailFree = FreeClustersAfter(join.From, grid, grid.Ceil(pieces_[join.From].HeadEnd()));
    join.LeadFree = join.Shared ? join.TailFree : FreeClustersBefore(join.To, grid, grid.Floor(pieces_[join.To].Start));
  }

  // Each piece's best continuation, kept where no other piece's best claims the same piece with
  // better evidence and where the free clusters it needs are left to it.
  void ChooseJoins() {
    slots_.assign(pieces_.size(), Slot{});
    into_.assign(pieces_.size(), NoPiece);
    for (uint32_t p = 0; p < pieces_.size(); ++p) {
      Report(p);
      std::optional<Join> join = BestJoin(p);
      if (!join) continue;
      // The best claim on each piece wins.
      const uint32_t rival = into_[join->To];
      Store(*join, false);
      if (rival != NoPiece) {
        if (!Better(p, rival)) {
          Clear(p);
          continue;
        }
        Clear(rival);
      }
      into_[join->To] = p;
    }
    SplitGaps();
    AddUnheldJoins();
  }

  // The clusters beyond its pieces' own that a join takes: after its first piece, between the
  // pieces and before its second piece.
  std::vector<ByteRange> TakenBy(const Join& join) const {
    const ClusterGrid& grid = *GridOf(join.From);
    const int64_t cut = grid.Ceil(pieces_[join.From].HeadEnd());
    const int64_t boundary = grid.Floor(pieces_[join.To].Start);
    std::vector<ByteRange> taken = join.Orphans;
    taken.push_back({cut, join.TailClusters * grid.ClusterSize});
    taken.push_back({boundary - join.LeadClusters() * grid.ClusterSize, join.LeadClusters() * grid.ClusterSize});
    return taken;
  }

  // What the joins leave unheld: the usable clusters of the grids that no piece's own clusters,
  // no join and no header before a recording's first piece take. The clusters held are swept in
  // order from a window that runs along the pieces: what a piece and its joins hold lies no
  // further before it than the longest chunk and the header.
  Unheld Unclaimed() const {
    Unheld unheld;
    const std::vector<ClusterGrid>& grids = evidence_.Geometry->Grids;
    if (grids.empty()) return unheld;
    int64_t largestCluster = 0, mostMissing = 0;
    for (const ClusterGrid& grid : grids) largestCluster = std::max(largestCluster, grid.ClusterSize);
    for (const Slot& slot : slots_) {
      if (slot.To != NoPiece) mostMissing = std::max<int64_t>(mostMissing, slot.Missing);
    }
    const int64_t reach = largestCluster * (mostMissing + 1) + std::max<int64_t>(evidence_.HeaderBytes, 0);

    size_t g = 0;
    int64_t at = grids[0].Ceil(grids[0].Start);
    int64_t heldTo = std::numeric_limits<int64_t>::min();
    auto addFree = [&](int64_t from, int64_t to) {
      const ClusterGrid& grid = grids[g];
      to = grid.Floor(std::min(to, grid.End));
      if (to <= from) return;
      if (!evidence_.Usable) {
        unheld.Stretches.push_back({from, to - from});
        return;
      }
      const std::span<const ByteRange> usable = *evidence_.Usable;
      auto u = std::upper_bound(usable.begin(), usable.end(), from,
                                [](int64_t v, const ByteRange& r) { return v < r.Offset; });
      if (u != usable.begin()) --u;
      for (; u != usable.end() && u->Offset < to; ++u) {
        const int64_t a = grid.Ceil(std::max(from, u->Offset));
        const int64_t b = grid.Floor(std::min(to, u->Offset + u->Length));
        if (b > a) unheld.Stretches.push_back({a, b - a});
      }
    };
    auto nextGrid = [&] {
      addFree(at, grids[g].End);
      if (++g < grids.size()) at = std::max(grids[g].Ceil(grids[g].Start), heldTo);
    };
    auto hold = [&](const ByteRange& r) {
      if (r.Length <= 0) return;
      while (g < grids.size() && r.Offset >= grids[g].End) nextGrid();
      if (g == grids.size()) return;
      addFree(at, r.Offset);
      at = std::max(at, r.Offset + r.Length);
      heldTo = std::max(heldTo, r.Offset + r.Length);
    };

    std::priority_queue<ByteRange, std::vector<ByteRange>, StartsAfter> window;
    for (uint32_t p = 0; p < pieces_.size(); ++p) {
      const Piece& piece = pieces_[p];
      while (!window.empty() && window.top().Offset < piece.Start - reach) {
        hold(window.top());
        window.pop();
      }
      const ClusterGrid* grid = GridOf(p);
      if (grid == nullptr) continue;
      const int64_t from = grid->Floor(piece.Start) - HeaderClusters(p) * grid->ClusterSize;
      // A list or an index that ends a piece is the recording's own as far as it declares.
      const MoviChunkKind kind = KindOf(piece.LastId);
      const bool whole = piece.EndsRecording() || kind == MoviChunkKind::List || kind == MoviChunkKind::Riff;
      const int64_t to = grid->Ceil(std::min(grid->End, whole ? piece.End() : piece.HeadEnd()));
      window.push({from, to - from});
      // A join's tail and middle lie after its first piece, its lead before its second.
      if (slots_[p].To != NoPiece) {
        const std::vector<ByteRange> taken = TakenBy(Stored(p));
        for (size_t i = 0; i + 1 < taken.size(); ++i) window.push(taken[i]);
      }
      if (into_[p] != NoPiece) window.push(TakenBy(Stored(into_[p])).back());
    }
    for (; !window.empty(); window.pop()) hold(window.top());
    while (g < grids.size()) nextGrid();
    return unheld;
  }

  // Once the first joins are settled, the pieces still broken off are continued through the
  // clusters that are left: a frame spread over runs that lie among other recordings' pieces,
  // whose middle runs only show once those pieces' own clusters are known, and a lone chunk that
  // another piece turned out to continue. Each round takes the best joins whose clusters are
  // still free and whose layout the evidence decides; the next round looks again with what
  // they took.
  void AddUnheldJoins() {
    if (evidence_.Geometry == nullptr) return;
    constexpr int Rounds = 8;
    for (int round = 0; round < Rounds; ++round) {
      const Unheld unheld = Unclaimed();
      std::vector<uint32_t> found;
      for (uint32_t p = 0; p < pieces_.size(); ++p) {
        if (slots_[p].To != NoPiece) continue;
        Report(p, false);
        if (std::optional<Join> join = BestJoin(p, &unheld)) {
          join->TailClusters = join->Preferred;
          Store(*join, true);
          found.push_back(p);
        }
      }
      std::sort(found.begin(), found.end(), [&](uint32_t a, uint32_t b) { return Better(a, b); });
      std::map<int64_t, int64_t> taken;  // by this round's joins: start -> end
      auto overlaps = [&](const ByteRange& r) {
        if (r.Length <= 0) return false;
        auto after = taken.upper_bound(r.Offset);
        if (after != taken.end() && after->first < r.Offset + r.Length) return true;
        return after != taken.begin() && std::prev(after)->second > r.Offset;
      };
      size_t added = 0;
      for (const uint32_t p : found) {
        const Join join = Stored(p);
        const std::vector<ByteRange> clusters = TakenBy(join);
        if (into_[join.To] != NoPiece || !join.Sure || std::any_of(clusters.begin(), clusters.end(), overlaps)) {
          Clear(p);
          continue;
        }
        for (const ByteRange& r : clusters) {
          if (r.Length > 0) taken[r.Offset] = r.Offset + r.Length;
        }
        into_[join.To] = p;
        slots_[p].Pending = false;
        ++added;
      }
      if (added == 0) break;
    }
  }

  // Yields, and tells how far the first joins have got, every so many pieces: weighing a
  // piece's continuations may decode pictures. The rounds after them go faster and are not
  // counted again.
  void Report(uint32_t p, bool tell = true) const {
    constexpr uint32_t Every = 64;
    if (evidence_.Observer == nullptr || p % Every != 0) return;
    evidence_.Observer->Yield();
    if (tell) evidence_.Observer->JoinProgress(p, pieces_.size());
  }

  // Opens every ring of joins before the piece of the ring that lies first on the source.
  void BreakRings() {
    std::vector<bool> reached(pieces_.size(), false);  // on a path from a first piece
    for (uint32_t p = 0; p < pieces_.size(); ++p) {
      if (into_[p] != NoPiece) continue;
      for (uint32_t at = p; at != NoPiece; at = slots_[at].To) reached[at] = true;
    }
    for (uint32_t p = 0; p < pieces_.size(); ++p) {
      if (reached[p]) continue;
      // p lies on a ring (every piece not reached from a first piece does); p is its lowest.
      uint32_t before = p;
      while (slots_[before].To != p) before = slots_[before].To;
      Drop(before);
      for (uint32_t at = p; at != NoPiece; at = slots_[at].To) reached[at] = true;
    }
  }

  // Whether a last chunk that nothing continues declares bytes that cannot be its own: bytes of
  // the next piece or outside the usable stretches, or, past a cluster boundary, bytes whose
  // content the check refuses.
  bool Foreign(uint32_t p) const {
    const Piece& piece = pieces_[p];
    if (piece.EndsRecording()) return false;
    const MoviChunkKind kind = KindOf(piece.LastId);
    if (kind == MoviChunkKind::List || kind == MoviChunkKind::Riff) return false;
    const uint32_t n = NextAfter(p);
    if (n != NoPiece && pieces_[n].Start < piece.End()) return true;
    if (!Usable(piece.LastMember, piece.End())) return true;
    const ClusterGrid* grid = GridOf(p);
    if (grid == nullptr || grid->Ceil(piece.HeadEnd()) >= piece.End()) return false;
    if (n != NoPiece && grid->Floor(pieces_[n].Start) < piece.End()) return true;
    const ByteRange whole{piece.LastMember, piece.End() - piece.LastMember};
    return evidence_.Check && evidence_.Check(piece.LastId, std::span(&whole, 1)) == JoinVerdict::Fails;
  }

  std::span<const Piece> pieces_;
  const JoinEvidence& evidence_;
  Reassembly result_;
  std::vector<Slot>& slots_;
  std::unordered_map<uint32_t, std::vector<ByteRange>>& orphans_;
  std::vector<uint32_t> into_;        // by each piece, the piece it continues, if any
  std::vector<int64_t> coreEndAt_;    // CoreEndBefore of every CoreEndEvery-th piece
  std::vector<uint32_t> byResidue_;
};

Reassembly ReassemblePieces(std::span<const Piece> pieces, const JoinEvidence& evidence, ReassemblyTotals& totals) {
  return PieceJoiner(pieces, evidence).Run(totals);
}

}  // namespace korvid
