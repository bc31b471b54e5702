#include "engine/reassembly/piece.h"

#include <algorithm>

#include "engine/avi/chain_finder.h"

namespace korvid {

uint32_t StreamInterleave::Count(int from, int to) const {
  if (from < 0 || to < 0 || static_cast<size_t>(from) >= Follows.size() || to >= static_cast<int>(MaxStreams)) return 0;
  return Follows[static_cast<size_t>(from)][static_cast<size_t>(to)];
}

void StreamInterleave::Add(int from, int to) {
  if (from < 0 || to < 0 || from >= static_cast<int>(MaxStreams) || to >= static_cast<int>(MaxStreams)) return;
  if (static_cast<size_t>(from) >= Follows.size()) Follows.resize(static_cast<size_t>(from) + 1, {});
  ++Follows[static_cast<size_t>(from)][static_cast<size_t>(to)];
}

namespace {

size_t IndexOf(const FragmentList& fragments, int64_t position, size_t from) {
  return static_cast<size_t>(std::lower_bound(fragments.begin() + from, fragments.end(), position,
                                              [](const Fragment& f, int64_t p) { return f.Position < p; }) -
                             fragments.begin());
}

// Whether the chain of chunks from record `from` lands on `target` (a position past it).
bool Reaches(const FragmentList& fragments, size_t from, int64_t target) {
  size_t at = from;
  while (at < fragments.size() && fragments[at].Position < target) {
    const int64_t end = MemberEnd(fragments[at]);
    if (end >= target) return end == target;
    at = IndexOf(fragments, end, at + 1);
    if (at == fragments.size() || fragments[at].Position != end) return false;
  }
  return false;
}

class PieceCollector {
 public:
  PieceCollector(const FragmentList& fragments, RunObserver& observer, StreamInterleave& interleave,
                 PieceList& pieces)
      : fragments_(fragments), finder_(fragments, true, observer, true), interleave_(interleave), pieces_(pieces) {}

  // Collects the pieces of the chains settled before `settled`; returns the index of the first
  // record that the chains still to come need.
  size_t Run(int64_t settled) {
    finder_.SettledBefore(settled);
    for (;;) {
      const std::span<const Fragment> chain = finder_.Next();
      if (chain.empty()) break;
      Add(chain, finder_.ChainStart());
    }
    return finder_.Cursor();
  }

 private:
  // Adds the pieces of the chain `members` that starts at record `first`.
  void Add(std::span<const Fragment> members, uint64_t first) {
    std::vector<Fragment> chain(members.begin(), members.end());
    for (;;) {
      size_t member = 0, hidden = 0;
      if (!FindFalseLanding(chain, first, member, hidden)) {
        Emit(chain);
        return;
      }
      chain.resize(member + 1);
      Emit(chain);
      const std::span<const Fragment> rest = finder_.DeepChainFrom(hidden);
      chain.assign(rest.begin(), rest.end());
      first = hidden;
    }
  }

  // Finds a member whose successor is also reached by a chain starting inside its data.
  bool FindFalseLanding(const std::vector<Fragment>& chain, uint64_t first, size_t& member, size_t& hidden) const {
    size_t at = first;
    for (size_t k = 0; k + 1 < chain.size(); ++k) {
      const size_t next = IndexOf(fragments_, chain[k + 1].Position, at + 1);
      if (KindOf(chain[k].Id) == MoviChunkKind::Data) {
        for (size_t r = at + 1; r < next; ++r) {
          if (fragments_[r].Position >= chain[k].Position + 8 && Reaches(fragments_, r, chain[k + 1].Position)) {
            member = k;
            hidden = r;
            return true;
          }
        }
      }
      at = next;
    }
    return false;
  }

  void Emit(std::span<const Fragment> chain) {
    if (chain.empty()) return;
    // A recording's header ends in padding right before its movi list, and its chain starts
    // there: the piece starts at the list, with nothing of the recording before it.
    size_t lead = 0;
    while (lead < chain.size() && KindOf(chain[lead].Id) == MoviChunkKind::Junk) ++lead;
    if (lead > 0 && lead + 1 < chain.size() && KindOf(chain[lead].Id) == MoviChunkKind::List) {
      chain = chain.subspan(lead);
    }
    bool holdsData = false;
    for (const Fragment& f : chain) holdsData |= KindOf(f.Id) == MoviChunkKind::Data;
    if (!holdsData) return;
    Piece& piece = pieces_.emplace_back();
    piece.Start = chain.front().Position;
    piece.LastMember = chain.back().Position;
    piece.LastLength = chain.back().Length;
    piece.FirstId = chain.front().Id;
    piece.LastId = chain.back().Id;
    piece.Members = static_cast<uint32_t>(chain.size());
    int previous = -1;
    for (const Fragment& f : chain) {
      if (KindOf(f.Id) != MoviChunkKind::Data) continue;
      const int stream = StreamOf(f.Id);
      if (previous >= 0) interleave_.Add(previous, stream);
      previous = stream;
    }
  }

  const FragmentList& fragments_;
  ChainFinder finder_;
  StreamInterleave& interleave_;
  PieceList& pieces_;
};

}  // namespace

void PieceCollection::Settle(FragmentList& records, int64_t settled) {
  // Progress counts the bytes scanned meanwhile, not the records walked.
  RunObserver quiet;
  const size_t done = PieceCollector(records, quiet, Interleave, Pieces).Run(settled);
  records.erase_front(done);
  DroppedRecords += done;
}

void PieceCollection::Finish(const FragmentList& records, RunObserver& observer) {
  PieceCollector(records, observer, Interleave, Pieces).Run(INT64_MAX);
}

PieceList CollectPieces(const FragmentList& fragments, RunObserver& observer, StreamInterleave& interleave) {
  PieceCollection collection;
  collection.Finish(fragments, observer);
  interleave = std::move(collection.Interleave);
  return std::move(collection.Pieces);
}

}  // namespace korvid
