#include "engine/reassembly/piece.h"

#include <algorithm>

#include "engine/chain_finder.h"

namespace korvid {

uint32_t StreamInterleave::Count(int from, int to) const {
  if (from < 0 || to < 0 || from >= static_cast<int>(MaxStreams) || to >= static_cast<int>(MaxStreams)) return 0;
  return Follows[static_cast<size_t>(from)][static_cast<size_t>(to)];
}

std::vector<Piece> CollectPieces(const FragmentList& fragments, RunObserver& observer, StreamInterleave& interleave) {
  std::vector<Piece> pieces;
  ChainFinder finder(fragments, true, observer);
  for (;;) {
    std::span<const Fragment> chain = finder.Next();
    if (chain.empty()) break;
    uint64_t first = finder.ChainStart();
    // A recording's header ends in padding right before its movi list, and its chain starts
    // there: the piece starts at the list, with nothing of the recording before it.
    size_t lead = 0;
    while (lead < chain.size() && KindOf(chain[lead].Id) == MoviChunkKind::Junk) ++lead;
    if (lead > 0 && lead + 1 < chain.size() && KindOf(chain[lead].Id) == MoviChunkKind::List) {
      const int64_t list = chain[lead].Position;
      first = static_cast<uint64_t>(std::lower_bound(fragments.begin(), fragments.end(), list,
                                                     [](const Fragment& f, int64_t p) { return f.Position < p; }) -
                                    fragments.begin());
      chain = chain.subspan(lead);
    }
    Piece& piece = pieces.emplace_back();
    piece.Start = chain.front().Position;
    piece.LastMember = chain.back().Position;
    piece.End = MemberEnd(chain.back());
    piece.FirstRecord = first;
    piece.FirstId = chain.front().Id;
    piece.LastId = chain.back().Id;
    int previous = -1;
    for (const Fragment& f : chain) {
      if (KindOf(f.Id) != MoviChunkKind::Data) continue;
      const int stream = StreamOf(f.Id);
      if (previous >= 0) ++interleave.Follows[static_cast<size_t>(previous)][static_cast<size_t>(stream)];
      previous = stream;
    }
  }
  return pieces;
}

}  // namespace korvid
