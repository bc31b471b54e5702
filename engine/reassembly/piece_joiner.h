#pragma once

#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <span>
#include <unordered_map>
#include <vector>

#include "engine/reassembly/cluster_grid.h"
#include "engine/reassembly/piece.h"
#include "engine/run_control.h"
#include "engine/scan_ranges.h"

namespace korvid {

// What the content of a chunk joined from several stretches of the source says of the join.
enum class JoinVerdict : uint8_t {
  Fits,     // the codec's markers sit where a whole frame has them
  Unknown,  // the content tells nothing (sound, an unknown codec)
  Fails,    // the markers are missing: the stretches do not make one frame
};

// Judges the chunk with id `id` whose bytes, header included, lie in `extents` in this order.
using JoinCheck = std::function<JoinVerdict(uint32_t id, std::span<const ByteRange> extents)>;
// How badly the stretches of such a chunk fit together where they meet, 0 when nothing tells:
// among layouts the check neither accepts nor refuses, the cheapest is taken.
using JoinCost = std::function<double(uint32_t id, std::span<const ByteRange> extents)>;

struct JoinEvidence {
  // Told how far the joins have got, and yielded to, now and then; may be null.
  RunObserver* Observer = nullptr;
  const ClusterGeometry* Geometry = nullptr;
  const StreamInterleave* Interleave = nullptr;
  JoinCheck Check;
  // Whether Check can accept any layout of a chunk with this id (it knows the codec); null:
  // it may, for every id. Weighing stops at the nearest continuation that no later one beats.
  std::function<bool(uint32_t id)> MayFit;
  JoinCost Cost;
  // The only stretches a join may take clusters from (the free space); none: all of the source.
  std::optional<std::span<const ByteRange>> Usable;
  // The length of a recording's header before its movi list, as the sample's: the clusters
  // before a recording's first piece that hold it are no other chunk's.
  int64_t HeaderBytes = 0;
};

struct ReassemblyTotals {
  uint64_t Joins = 0;               // pieces continued by another
  uint64_t JoinedRecordings = 0;    // recordings of two or more pieces
  uint64_t PiecesInJoined = 0;      // pieces those recordings hold
};

class PieceJoiner;

// The recordings that pieces make once joined, each piece used once, in the order of their first
// pieces on the source. Media hold millions of pieces: a join keeps only what decides where its
// chunk lies, and the chunk's extents are laid out when they are asked for. Refers to the pieces
// and the geometry it was made from, which must outlive it.
class Reassembly {
 public:
  size_t Recordings() const { return firsts_.size(); }
  // Indexes into the pieces, in recording order.
  std::span<const uint32_t> PiecesOf(size_t recording) const;
  // The last piece's last chunk runs into another piece or into space that may not be used, and
  // nothing continues it: its declared bytes are not its own.
  bool LastChunkForeign(size_t recording) const { return foreign_[recording]; }
  // Where the chunk lies that the last member of piece `piece` starts and the next piece of its
  // recording finishes, from its header to the end of its pad byte, in order.
  std::vector<ByteRange> JoinExtents(uint32_t piece) const;

 private:
  friend class PieceJoiner;
  // How a piece is continued: in whole clusters of its grid between the two pieces.
  struct Slot {
    uint32_t To = std::numeric_limits<uint32_t>::max();  // none
    int32_t Missing = 0;        // whole clusters the chunk needs between From's and To's clusters
    int32_t TailClusters = -1;  // of those, taken from after From; -1 until decided
    uint8_t Rank = 0;           // lower is better evidence
    bool Shared : 1 = false;    // From's free clusters are To's: the two pieces are neighbours
    bool Sure : 1 = false;      // the evidence decides where the chunk's clusters lie
    bool Pending : 1 = false;   // found in this round of joins, not yet taken
    bool HasOrphans : 1 = false;  // the middle of its chunk lies in stretches kept in orphans_
  };
  static_assert(sizeof(Slot) == 16, "every piece has one");

  std::span<const Piece> pieces_;
  const ClusterGeometry* geometry_ = nullptr;
  std::vector<Slot> slots_;  // by the piece continued
  // Whole stretches between the two pieces that hold the middle of a chunk, in order, by the
  // piece continued: few joins have them.
  std::unordered_map<uint32_t, std::vector<ByteRange>> orphans_;
  std::vector<uint32_t> order_;   // every recording's pieces, one recording after the other
  std::vector<uint32_t> firsts_;  // where each recording's pieces start in order_
  std::vector<bool> foreign_;
};

// Joins pieces (ascending Start) into recordings, each piece used once, and gives every
// recording, joined or not, in the order of its first piece on the source. A piece whose last
// chunk crosses a cluster boundary is continued by the piece that starts at the offset within
// its cluster where that chunk declares to end, the clusters between taken from free stretches
// next to the two pieces, or from one free stretch of exactly the missing size elsewhere. Where
// the evidence names no single continuation, the pieces stay apart.
Reassembly ReassemblePieces(std::span<const Piece> pieces, const JoinEvidence& evidence, ReassemblyTotals& totals);

}  // namespace korvid
