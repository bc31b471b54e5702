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
  // Whole free stretches between the two pieces, each named by the piece it follows.
  std::vector<uint32_t> OrphanGaps;
  bool Shared = false;  // From's free clusters are To's: the two pieces are neighbours
  std::vector<ByteRange> Extents;

  int64_t LeadClusters() const { return Missing - TailClusters - OrphanClusters; }
  int64_t OrphanClusters = 0;
  int64_t Preferred = 0;  // the share after From that the content check liked best

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
      if (continued[p] || (pieces_[p].Lone() && next[p] == NoPiece)) continue;
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
    // Within a key, in the order of the pieces on the source.
    std::sort(byResidue_.begin(), byResidue_.end(), [&](uint32_t a, uint32_t b) {
      const auto ka = Key(a), kb = Key(b);
      return ka != kb ? ka < kb : a < b;
    });
  }

  // Compares pieces and keys by Key alone.
  struct ResidueLess {
    const Joiner& joiner;
    bool operator()(uint32_t a, const std::pair<int64_t, int64_t>& k) const { return joiner.Key(a) < k; }
    bool operator()(const std::pair<int64_t, int64_t>& k, uint32_t a) const { return k < joiner.Key(a); }
  };

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

  // Chooses the free stretches between the join's pieces, one to three in order of the first
  // few after From, holding `least` to `most` clusters together, and the share of the rest, by
  // what the content check and the seams say.
  JoinVerdict BestOrphans(Join& join, int64_t least, int64_t most, int64_t clusterSize) const {
    constexpr size_t Nearest = 8;
    std::vector<std::pair<uint32_t, int64_t>> between;  // (gap, clusters)
    constexpr uint32_t Looked = 64;  // pieces looked past for them: the search stays near From
    for (uint32_t g = join.From + 1; g + 1 < join.To && g <= join.From + Looked && between.size() < Nearest; ++g) {
      const ByteRange range = GapRange(g);
      if (range.Length >= clusterSize && Usable(range.Offset, range.Offset + range.Length)) {
        between.emplace_back(g, range.Length / clusterSize);
      }
    }
    std::vector<std::vector<uint32_t>> sets;
    const size_t n = between.size();
    auto consider = [&](std::initializer_list<size_t> picks) {
      int64_t total = 0;
      std::vector<uint32_t> set;
      for (size_t i : picks) {
        total += between[i].second;
        set.push_back(between[i].first);
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
    for (const std::vector<uint32_t>& set : sets) {
      Join trial = join;
      trial.OrphanGaps = set;
      trial.OrphanClusters = 0;
      for (uint32_t g : set) trial.OrphanClusters += GapRange(g).Length / clusterSize;
      const int64_t own = join.Missing - trial.OrphanClusters;
      const JoinVerdict verdict =
          BestSplit(trial, std::max<int64_t>(0, own - join.LeadFree), std::min(own, join.TailFree));
      if (verdict == JoinVerdict::Fails || (verdict == JoinVerdict::Unknown && best == JoinVerdict::Fits)) continue;
      const double cost = evidence_.Cost ? evidence_.Cost(pieces_[join.From].LastId, trial.Extents) : 0;
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
    if (grid == nullptr || piece.Lone() || piece.EndsRecording() || !grid->Holds(piece.End - 1)) return std::nullopt;
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
    // The candidates nearest to the piece on the source, mostly after it, as file systems
    // allocate forward: a bounded number keeps the search linear in the pieces.
    constexpr long After = 32, Before = 4;
    const auto bucket = std::equal_range(byResidue_.begin(), byResidue_.end(), key, ResidueLess{*this});
    const auto here = std::lower_bound(bucket.first, bucket.second, p);
    const auto from = here - std::min<long>(Before, here - bucket.first);
    const auto to = here + std::min<long>(After, bucket.second - here);
    for (auto at = from; at != to; ++at) {
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
      JoinVerdict verdict = JoinVerdict::Fails;
      // Neighbours with nothing unusable between them share the free clusters there: the chunk
      // takes some from their front (its first piece goes on) and the rest from their back (its
      // second piece starts early).
      if (nextPiece == q && cut + tail * size == boundary) {
        if (missing > tail) continue;
        join.Shared = true;
        join.LeadFree = tail;
        verdict = BestSplit(join, 0, missing);
      } else {
        join.LeadFree = FreeClustersBefore(q, *grid, boundary);
        if (missing <= tail + join.LeadFree) {
          verdict = BestSplit(join, std::max<int64_t>(0, missing - join.LeadFree), std::min(missing, tail));
        } else if (to.Start > piece.Start) {
          // The rest lies in stretches of clusters between the two pieces that hold no chunk
          // header, of a length that leaves the free clusters next to the pieces enough.
          verdict = BestOrphans(join, missing - tail - join.LeadFree, missing, grid->ClusterSize);
        }
      }
      if (verdict == JoinVerdict::Fails) continue;
      join.Rank = Rank(verdict, p, q, !join.OrphanGaps.empty());
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
    for (uint32_t gap : join.OrphanGaps) join.Extents.push_back(GapRange(gap));
    join.Extents.push_back({boundary - l * size, to.Start - (boundary - l * size)});
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
    for (int64_t t = hi; t >= lo && hi - t < MostTries; --t) {
      Lay(join, t);
      const JoinVerdict verdict = evidence_.Check ? evidence_.Check(pieces_[join.From].LastId, join.Extents)
                                                  : JoinVerdict::Unknown;
      if (verdict == JoinVerdict::Fails || (verdict == JoinVerdict::Unknown && best == JoinVerdict::Fits)) continue;
      // Among layouts the check says the same of, the seams that fit best decide; on a tie, the
      // layout with more clusters after From.
      const double cost = lo < hi && evidence_.Cost ? evidence_.Cost(pieces_[join.From].LastId, join.Extents) : 0;
      if (best == JoinVerdict::Fails || (verdict == JoinVerdict::Fits && best != JoinVerdict::Fits) ||
          cost < keptCost) {
        kept = t;
        keptCost = cost;
        best = verdict;
      }
    }
    join.Preferred = kept;
    Lay(join, kept);
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
    // (Not counting join `self`: where unusable clusters part a gap, one join's first piece may
    // take from its front and its second piece from its back.)
    auto backTaken = [&](uint32_t g, uint32_t self = NoPiece) -> int64_t {
      if (g + 1 >= pieces_.size()) return 0;
      const uint32_t j = into[g + 1];
      if (j == self) return 0;
      if (j == NoPiece) return HeaderClusters(g + 1);
      return joins[j].TailClusters < 0 || dropped[j] ? 0 : joins[j].LeadClusters();
    };
    auto frontTaken = [&](uint32_t g, uint32_t self = NoPiece) -> int64_t {
      const uint32_t j = from[g];
      if (j == self) return 0;
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
        const int64_t tailRoom = join.TailFree - backTaken(join.From, j);
        const int64_t leadRoom = join.LeadFree - (join.To > 0 ? frontTaken(join.To - 1, j) : 0);
        const int64_t own = join.Missing - join.OrphanClusters;
        const int64_t lo = join.Shared ? 0 : std::max<int64_t>(0, own - leadRoom);
        const int64_t hi = join.Shared ? own : std::min(own, tailRoom);
        if (lo > hi) {
          dropped[j] = true;
        } else if (lo == hi || force) {
          // The content check decides where it can; else the share it liked when the join was found.
          const JoinVerdict verdict = BestSplit(join, lo, hi);
          if (verdict == JoinVerdict::Fails) {
            dropped[j] = true;
          } else {
            join.TailClusters = join.Preferred;
          }
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
      if (!join.Shared && join.TailClusters > 0 && join.TailClusters + backTaken(join.From, j) > join.TailFree) {
        dropped[j] = true;
      }
      for (uint32_t gap : join.OrphanGaps) {
        if (orphanUsed[gap] || frontTaken(gap) > 0 || backTaken(gap) > 0) dropped[j] = true;
        orphanUsed[gap] = true;
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
  // the next piece or outside the usable stretches, or, past a cluster boundary, bytes whose
  // content the check refuses.
  bool Foreign(uint32_t p) const {
    const Piece& piece = pieces_[p];
    if (piece.EndsRecording()) return false;
    const MoviChunkKind kind = KindOf(piece.LastId);
    if (kind == MoviChunkKind::List || kind == MoviChunkKind::Riff) return false;
    const uint32_t n = NextAfter(p);
    if (n != NoPiece && pieces_[n].Start < piece.End) return true;
    if (!Usable(piece.LastMember, piece.End)) return true;
    const ClusterGrid* grid = GridOf(p);
    if (grid == nullptr || grid->Ceil(piece.HeadEnd()) >= piece.End) return false;
    if (n != NoPiece && grid->Floor(pieces_[n].Start) < piece.End) return true;
    const ByteRange whole{piece.LastMember, piece.End - piece.LastMember};
    return evidence_.Check && evidence_.Check(piece.LastId, std::span(&whole, 1)) == JoinVerdict::Fails;
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
