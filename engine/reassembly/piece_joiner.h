#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
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

// One recording put together from pieces.
struct ReassembledRecording {
  std::vector<uint32_t> Pieces;  // indexes into the pieces, in recording order
  // Joins[i]: where the chunk lies that the last member of Pieces[i] starts and Pieces[i + 1]
  // finishes, from its header to the end of its pad byte, in order.
  std::vector<std::vector<ByteRange>> Joins;
  // The last piece's last chunk runs into another piece or into space that may not be used,
  // and nothing continues it: its declared bytes are not its own.
  bool LastChunkForeign = false;
};

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

// Joins pieces (ascending Start) into recordings, each piece used once, and gives every
// recording, joined or not, in the order of its first piece on the source. A piece whose last
// chunk crosses a cluster boundary is continued by the piece that starts at the offset within
// its cluster where that chunk declares to end, the clusters between taken from free stretches
// next to the two pieces, or from one free stretch of exactly the missing size elsewhere. Where
// the evidence names no single continuation, the pieces stay apart.
std::vector<ReassembledRecording> ReassemblePieces(std::span<const Piece> pieces, const JoinEvidence& evidence,
                                                   ReassemblyTotals& totals);

}  // namespace korvid
