#include "engine/reassembly/piece_joiner.h"

#include <algorithm>
#include <limits>
#include <numeric>

namespace korvid {
namespace {

constexpr uint32_t NoPiece = std::numeric_limits<uint32_t>::max();

int64_t Modulo(int64_t value, int64_t size) {
  const int64_t r = value % size;
  return r < 0 ? r + size : r;
}

// One way to continue a piece, with what speaks for it: lower Rank is better evidence, and
// among equal ranks the nearer piece is the one file systems allocate next.
struct Join {
  uint32_t From = NoPiece;
  uint32_t To = NoPiece;
  uint32_t Rank = 0;
  int64_t Distance = 0;
  int64_t Missing = 0;        // whole clusters the chunk needs between From's and To's clusters
  int64_t TailFree = 0;       // free clusters right after From
  int64_t LeadFree = 0;       // free clusters right before To
  int64_t TailClusters = -1;  // of those, taken from after From; -1 until decided
  uint32_t OrphanGap = NoPiece;  // a whole free stretch elsewhere: the gap after this piece
  std::vector<ByteRange> Extents;

  int64_t LeadClusters() const { return Missing - TailClusters - OrphanClusters; }
  int64_t OrphanClusters = 0;

  bool Before(const Join& other) const {
    return Rank != other.Rank ? Rank < other.Rank : Distance < other.Distance;
  }
};

class Joiner {
 public:
  Joiner(std::span<const Piece> pieces, const JoinEvidence& evidence) : pieces_(pieces), evidence_(evidence) {
    coreEndBefore_.resize(pieces.size());
    int64_t end = std::numeric_limits<int64_t>::min();
    for (size_t i = 0; i < pieces.size(); ++i) {
      coreEndBefore_[i] = end;
      if (const ClusterGrid* grid = GridOf(static_cast<uint32_t>(i))) end = std::max(end, grid->Ceil(pieces[i].HeadEnd()));
    }
    IndexByResidue();
    IndexGaps();
  }

  std::vector<ReassembledRecording> Run(ReassemblyTotals& totals) {
    std::vector<Join> chosen = ChooseJoins();
    std::vector<uint32_t> next(pieces_.size(), NoPiece);
    std::vector<bool> continued(pieces_.size(), false);
    std::vector<std::vector<ByteRange>> extents(pieces_.size());
    for (Join& join : chosen) {
      next[join.From] = join.To;
      continued[join.To] = true;
      extents[join.From] = std::move(join.Extents);
    }
    BreakRings(next, continued);

    std::vector<ReassembledRecording> recordings;
    for (uint32_t p = 0; p < pieces_.size(); ++p) {
      if (continued[p]) continue;
      ReassembledRecording& recording = recordings.emplace_back();
      for (uint32_t at = p; at != NoPiece; at = next[at]) {
        recording.Pieces.push_back(at);
        if (next[at] != NoPiece) recording.Joins.push_back(std::move(extents[at]));
      }
      recording.LastChunkForeign = Foreign(recording.Pieces.back());
      totals.Joins += recording.Joins.size();
      if (recording.Pieces.size() > 1) {
        ++totals.JoinedRecordings;
        totals.PiecesInJoined += recording.Pieces.size();
      }
    }
    return recordings;
  }

 private:
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

  // Free clusters from boundary `from` on, up to the next piece's first cluster, the grid's end
  // and the end of the usable stretch.
  int64_t FreeClustersAfter(uint32_t p, const ClusterGrid& grid, int64_t from) const {
    const uint32_t n = NextAfter(p);
    int64_t end = n == NoPiece ? grid.End : std::min(grid.End, pieces_[n].Start);
    end = grid.Floor(end);
    if (end <= from) return 0;
    int64_t clusters = (end - from) / grid.ClusterSize;
    while (clusters > 0 && !Usable(from, from + clusters * grid.ClusterSize)) --clusters;
    return clusters;
  }

  // Free clusters right before boundary `to`, back to the last cluster of an earlier piece.
  int64_t FreeClustersBefore(uint32_t q, const ClusterGrid& grid, int64_t to) const {
    const int64_t start = grid.Ceil(std::max(coreEndBefore_[q], grid.Start));
    if (to <= start) return 0;
    int64_t clusters = (to - start) / grid.ClusterSize;
    while (clusters > 0 && !Usable(to - clusters * grid.ClusterSize, to)) --clusters;
    return clusters;
  }

  void IndexByResidue() {
    byResidue_.resize(pieces_.size());
    std::iota(byResidue_.begin(), byResidue_.end(), 0u);
    std::sort(byResidue_.begin(), byResidue_.end(), [&](uint32_t a, uint32_t b) { return Key(a) < Key(b); });
  }

  // Orders pieces by their grid, then by their start's offset within a cluster.
  std::pair<int64_t, int64_t> Key(uint32_t p) const {
    const ClusterGrid* grid = GridOf(p);
    if (grid == nullptr) return {std::numeric_limits<int64_t>::max(), 0};
    return {grid->Start, Modulo(pieces_[p].Start - grid->Origin, grid->ClusterSize)};
  }

  // Whole free stretches between two pieces, by their length in clusters, for chunks that span
  // a run of clusters holding no chunk header.
  void IndexGaps() {
    for (uint32_t p = 0; p + 1 < pieces_.size(); ++p) {
      const ClusterGrid* grid = GridOf(p);
      if (grid == nullptr || !grid->Holds(pieces_[p + 1].Start)) continue;
      const int64_t from = grid->Ceil(std::max(coreEndBefore_[p + 1], grid->Start));
      const int64_t to = grid->Floor(pieces_[p + 1].Start);
      if (to > from && Usable(from, to)) gaps_.push_back({(to - from) / grid->ClusterSize, p});
    }
    std::sort(gaps_.begin(), gaps_.end());
  }

  // The gap of exactly `clusters` clusters nearest after `from` (wrapping to the start), other
  // than the ones in `excluded`.
  uint32_t FindGap(int64_t clusters, uint32_t from, uint32_t excludedA, uint32_t excludedB) const {
    auto lo = std::lower_bound(gaps_.begin(), gaps_.end(), std::pair<int64_t, uint32_t>{clusters, 0});
    auto hi = std::lower_bound(gaps_.begin(), gaps_.end(), std::pair<int64_t, uint32_t>{clusters + 1, 0});
    uint32_t best = NoPiece;
    for (auto at = std::lower_bound(lo, hi, std::pair<int64_t, uint32_t>{clusters, from}); at != hi; ++at) {
      if (at->second != excludedA && at->second != excludedB) return at->second;
    }
    for (auto at = lo; at != hi && best == NoPiece; ++at) {
      if (at->second != excludedA && at->second != excludedB) best = at->second;
    }
    return best;
  }

  ByteRange GapRange(uint32_t gap) const {
    const ClusterGrid& grid = *GridOf(gap);
    const int64_t from = grid.Ceil(std::max(coreEndBefore_[gap + 1], grid.Start));
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

  // The best way to continue piece `p`, if any.
  std::optional<Join> BestJoin(uint32_t p) const {
    const Piece& piece = pieces_[p];
    const ClusterGrid* grid = GridOf(p);
    if (grid == nullptr || piece.EndsRecording() || !grid->Holds(piece.End - 1)) return std::nullopt;
    const MoviChunkKind kind = KindOf(piece.LastId);
    if (kind == MoviChunkKind::List || kind == MoviChunkKind::Riff) return std::nullopt;
    const int64_t size = grid->ClusterSize;
    const int64_t cut = grid->Ceil(piece.HeadEnd());
    if (cut > piece.End || !Usable(piece.LastMember, cut)) return std::nullopt;
    const int64_t need = piece.End - cut;
    const int64_t tail = FreeClustersAfter(p, *grid, cut);
    const uint32_t nextPiece = NextAfter(p);

    std::optional<Join> best;
    const std::pair<int64_t, int64_t> key{grid->Start, Modulo(piece.End - grid->Origin, size)};
    auto first = std::lower_bound(byResidue_.begin(), byResidue_.end(), key,
                                  [&](uint32_t a, const std::pair<int64_t, int64_t>& k) { return Key(a) < k; });
    for (auto at = first; at != byResidue_.end() && Key(*at) == key; ++at) {
      const uint32_t q = *at;
      const Piece& to = pieces_[q];
      if (q == p || to.StartsRecording()) continue;
      const int64_t boundary = grid->Floor(to.Start);
      const int64_t lead = to.Start - boundary;
      // Another piece in the continuation's first cluster: that cluster is not one of the chunk's.
      if (need < lead || coreEndBefore_[q] > boundary || !Usable(boundary, to.Start)) continue;
      const int64_t missing = (need - lead) / size;
      Join join;
      join.From = p;
      join.To = q;
      join.Missing = missing;
      join.TailFree = tail;
      if (nextPiece == q) {
        // The clusters between the two pieces are the chunk's, all of them or the first ones.
        if (missing > tail) continue;
        join.TailClusters = missing;
      } else {
        join.LeadFree = FreeClustersBefore(q, *grid, boundary);
        if (missing > tail + join.LeadFree) {
          join.OrphanGap = FindGap(missing - tail - join.LeadFree, p, p, q - 1);
          if (join.OrphanGap == NoPiece) continue;
          join.OrphanClusters = missing - tail - join.LeadFree;
          join.TailClusters = tail;
        }
      }
      const uint32_t orphan = join.OrphanGap;
      Lay(join, std::min(missing, tail));
      const JoinVerdict verdict = evidence_.Check ? evidence_.Check(piece.LastId, join.Extents) : JoinVerdict::Unknown;
      // A stretch taken from elsewhere needs the codec's word for it.
      if (verdict == JoinVerdict::Fails || (orphan != NoPiece && verdict != JoinVerdict::Fits)) continue;
      join.Rank = Rank(verdict, p, q, orphan != NoPiece);
      join.Distance = to.Start > piece.Start ? to.Start - piece.Start : piece.Start - to.Start;
      if (!best || join.Before(*best)) best = std::move(join);
    }
    return best;
  }

  // Sets where the chunk's missing clusters come from: `tail` of them after From, the orphan
  // gap if any, the rest before To.
  void Lay(Join& join, int64_t tail) const {
    const Piece& piece = pieces_[join.From];
    const Piece& to = pieces_[join.To];
    const ClusterGrid& grid = *GridOf(join.From);
    const int64_t size = grid.ClusterSize;
    const int64_t t = join.TailClusters >= 0 ? join.TailClusters : tail;
    const int64_t l = join.Missing - t - join.OrphanClusters;
    const int64_t cut = grid.Ceil(piece.HeadEnd());
    const int64_t boundary = grid.Floor(to.Start);
    join.Extents.clear();
    join.Extents.push_back({piece.LastMember, cut + t * size - piece.LastMember});
    if (join.OrphanGap != NoPiece) join.Extents.push_back(GapRange(join.OrphanGap));
    join.Extents.push_back({boundary - l * size, to.Start - (boundary - l * size)});
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

  // Decides, for each join, how many of its missing clusters follow its first piece and how
  // many precede its second. A gap between two pieces serves the chunk that the piece before it
  // leaves unfinished (from its front) and the chunk that the piece after it finishes (from its
  // back): what one join takes, the other cannot. Joins whose share is forced are settled first
  // and their neighbours follow; the rest take clusters after their first piece, as file
  // systems allocate forward. Joins left no share are dropped.
  void SplitGaps(std::vector<Join>& joins) const {
    std::vector<uint32_t> from(pieces_.size(), NoPiece), into(pieces_.size(), NoPiece);
    for (uint32_t j = 0; j < joins.size(); ++j) {
      from[joins[j].From] = j;
      into[joins[j].To] = j;
    }
    std::vector<bool> dropped(joins.size(), false);
    // What the back of the gap after piece g is taken for: the lead of a join or a header.
    auto backTaken = [&](uint32_t g) -> int64_t {
      if (g + 1 >= pieces_.size()) return 0;
      const uint32_t j = into[g + 1];
      if (j == NoPiece) return HeaderClusters(g + 1);
      return joins[j].TailClusters < 0 || dropped[j] ? 0 : joins[j].LeadClusters();
    };
    auto frontTaken = [&](uint32_t g) -> int64_t {
      const uint32_t j = from[g];
      return j == NoPiece || dropped[j] || joins[j].TailClusters < 0 ? 0 : joins[j].TailClusters;
    };
    std::vector<uint32_t> work;
    for (uint32_t j = 0; j < joins.size(); ++j) work.push_back(j);
    auto settle = [&](bool force) {
      while (!work.empty()) {
        const uint32_t j = work.back();
        work.pop_back();
        Join& join = joins[j];
        if (dropped[j] || join.TailClusters >= 0) continue;
        const int64_t tailRoom = join.TailFree - backTaken(join.From);
        const int64_t leadRoom = join.LeadFree - (join.To > 0 ? frontTaken(join.To - 1) : 0);
        const int64_t lo = std::max<int64_t>(0, join.Missing - leadRoom);
        const int64_t hi = std::min(join.Missing, tailRoom);
        if (lo > hi) {
          dropped[j] = true;
        } else if (lo == hi || force) {
          join.TailClusters = hi;
        } else {
          continue;
        }
        // The joins that share a gap with this one may now be forced.
        if (join.From + 1 < pieces_.size() && into[join.From + 1] != NoPiece) work.push_back(into[join.From + 1]);
        if (join.To > 0 && from[join.To - 1] != NoPiece) work.push_back(from[join.To - 1]);
      }
    };
    settle(false);
    for (uint32_t j = 0; j < joins.size(); ++j) {
      if (dropped[j] || joins[j].TailClusters >= 0) continue;
      work.push_back(j);
      settle(true);
    }
    // A gap's two users must fit in it together.
    std::vector<bool> orphanUsed(pieces_.size(), false);
    for (uint32_t j = 0; j < joins.size(); ++j) {
      Join& join = joins[j];
      if (dropped[j]) continue;
      if (join.TailClusters + backTaken(join.From) > join.TailFree && join.TailClusters > 0) dropped[j] = true;
      if (join.OrphanGap != NoPiece) {
        if (orphanUsed[join.OrphanGap] || from[join.OrphanGap] != NoPiece || into[join.OrphanGap + 1] != NoPiece) {
          dropped[j] = true;
        }
        orphanUsed[join.OrphanGap] = true;
      }
    }
    std::vector<Join> kept;
    for (uint32_t j = 0; j < joins.size(); ++j) {
      if (dropped[j]) continue;
      Lay(joins[j], joins[j].TailClusters);
      kept.push_back(std::move(joins[j]));
    }
    joins = std::move(kept);
  }

  // Each piece's best continuation, kept where no other piece's best claims the same piece with
  // better evidence and where the free clusters it needs are left to it.
  std::vector<Join> ChooseJoins() const {
    std::vector<Join> joins;
    for (uint32_t p = 0; p < pieces_.size(); ++p) {
      if (std::optional<Join> join = BestJoin(p)) joins.push_back(std::move(*join));
    }
    std::sort(joins.begin(), joins.end(), [](const Join& a, const Join& b) { return a.Before(b); });
    std::vector<bool> claimed(pieces_.size(), false);
    std::vector<Join> kept;
    for (Join& join : joins) {
      if (claimed[join.To]) continue;
      claimed[join.To] = true;
      kept.push_back(std::move(join));
    }
    SplitGaps(kept);
    return kept;
  }

  // Opens every ring of joins before the piece of the ring that lies first on the source.
  static void BreakRings(std::vector<uint32_t>& next, std::vector<bool>& continued) {
    std::vector<uint8_t> state(next.size(), 0);  // 0 unseen, 1 on a path from a first piece
    for (uint32_t p = 0; p < next.size(); ++p) {
      if (continued[p]) continue;
      for (uint32_t at = p; at != NoPiece; at = next[at]) state[at] = 1;
    }
    for (uint32_t p = 0; p < next.size(); ++p) {
      if (state[p] != 0) continue;
      // p lies on a ring (every piece not reached from a first piece does); p is its lowest.
      uint32_t before = p;
      while (next[before] != p) before = next[before];
      next[before] = NoPiece;
      continued[p] = false;
      for (uint32_t at = p; at != NoPiece; at = next[at]) state[at] = 1;
    }
  }

  // Whether a last chunk that nothing continues declares bytes that cannot be its own: bytes of
  // the next piece, or bytes outside the usable stretches.
  bool Foreign(uint32_t p) const {
    const Piece& piece = pieces_[p];
    if (piece.EndsRecording()) return false;
    const MoviChunkKind kind = KindOf(piece.LastId);
    if (kind == MoviChunkKind::List || kind == MoviChunkKind::Riff) return false;
    const uint32_t n = NextAfter(p);
    if (n != NoPiece && pieces_[n].Start < piece.End) return true;
    if (const ClusterGrid* grid = GridOf(p); grid != nullptr && n != NoPiece) {
      if (grid->Floor(pieces_[n].Start) < piece.End && grid->Ceil(piece.HeadEnd()) < piece.End) return true;
    }
    return !Usable(piece.LastMember, piece.End);
  }

  std::span<const Piece> pieces_;
  const JoinEvidence& evidence_;
  std::vector<int64_t> coreEndBefore_;  // the end of the last cluster of any earlier piece
  std::vector<uint32_t> byResidue_;
  std::vector<std::pair<int64_t, uint32_t>> gaps_;  // (clusters, the piece the gap follows)
};

}  // namespace

std::vector<ReassembledRecording> ReassemblePieces(std::span<const Piece> pieces, const JoinEvidence& evidence,
                                                   ReassemblyTotals& totals) {
  return Joiner(pieces, evidence).Run(totals);
}

}  // namespace korvid
