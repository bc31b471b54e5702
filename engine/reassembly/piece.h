#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "engine/avi/chain_finder.h"
#include "engine/fourcc.h"
#include "engine/fragment.h"
#include "engine/avi/movi_chunks.h"
#include "engine/run_control.h"

namespace korvid {

// One stretch of a recording that lies in one piece on the source: a deep chain of movi chunks
// lying back to back. Its members are walked again from the record at Start when it is written,
// so a piece keeps only what joining pieces needs.
struct Piece {
  int64_t Start = 0;       // its first member's header
  int64_t LastMember = 0;  // its last member's header
  uint32_t LastLength = 0; // the last member's record Length
  uint32_t Members = 0;    // of the deep chain walked from Start, the first this many
  uint32_t FirstId = 0;
  uint32_t LastId = 0;

  // Where its last member declares to end, pad byte included.
  int64_t End() const { return MemberEnd(Fragment{LastMember, LastLength, LastId}); }
  // One past the last byte that surely lies in the piece: the header of its last member.
  int64_t HeadEnd() const { return LastMember + 8; }
  // The piece starts with a list header: a recording's movi list (recorders rarely write rec
  // lists), so no other piece continues into it.
  bool StartsRecording() const { return FirstId == FourCC("LIST"); }
  // A lone chunk: some other piece's continuation, or a chance hit inside a frame; it is joined
  // to, never from, and alone it makes no recording.
  bool Lone() const { return Members == 1; }
  // The piece ends in a recording's legacy index, which a recorder writes last.
  bool EndsRecording() const { return LastId == FourCC("idx1"); }
};
static_assert(sizeof(Piece) == 32, "media hold millions of pieces");

using PieceList = PackedArray<Piece>;

// How often a chunk of stream `to` follows one of stream `from` inside the pieces found, the
// recordings' interleave.
struct StreamInterleave {
  // By stream `from`, up to the highest that any chunk follows: recordings hold a few streams.
  std::vector<std::array<uint32_t, MaxStreams>> Follows;
  uint32_t Count(int from, int to) const;
  void Add(int from, int to);
};

// The deep chains of records (ascending Position) as pieces, in the order of their first
// records, and the interleave of the streams they hold. A chain is cut where a chunk's declared
// end lands on a chunk that a chain hidden inside that chunk's data also reaches: the chunk's
// recording broke off inside it, another recording lies there, and the landing was chance.
//
// The records may come a batch at a time while a scan runs: each piece is taken once its chain is
// settled, and the records behind it are dropped, so that memory grows with the pieces, not with
// the chunks.
struct PieceCollection {
  PieceList Pieces;
  StreamInterleave Interleave;
  uint64_t DroppedRecords = 0;  // records dealt with and dropped by Settle

  // Takes the pieces of `records` whose chains end before `settled` (no record before it is
  // still to come), and drops the records that later chains do not need from its front.
  void Settle(FragmentList& records, int64_t settled);
  // Takes the pieces of all of `records`: the rest of a scan's, once it has ended.
  void Finish(const FragmentList& records, RunObserver& observer);
};

// The pieces of all of `fragments`, and their interleave, at once.
PieceList CollectPieces(const FragmentList& fragments, RunObserver& observer, StreamInterleave& interleave);

}  // namespace korvid
