#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "candidate_filter.h"
#include "fragment.h"

namespace korvid {

// Container mode: the type fields of ISO media "mdat", "ftyp" (any brand) and "moov" boxes, and
// MXF pack keys.
extern const std::vector<std::string> ContainerPatterns;
// Whole-disk and free-space modes: the AVI video chunk ids "00db" and "00dc".
extern const std::vector<std::string> AviChunkPatterns;

// A pattern list decoded from its hexadecimal texts. Decoding stops at the first text that is
// empty, of odd length or not hexadecimal: that pattern and every one after it are dropped,
// the ones before it are kept.
class PatternList {
 public:
  explicit PatternList(const std::vector<std::string>& texts);

  // Patterns searched together in one pass over the bytes: [Begin, End) of Patterns().
  struct Group {
    size_t Begin = 0;
    size_t End = 0;
    size_t MinLength = 0;
    BytePairs Pairs;  // each pattern's first byte and its byte at Pairs.TailOffset
  };

  const std::vector<std::vector<uint8_t>>& Patterns() const { return patterns_; }
  const std::vector<Group>& Groups() const { return groups_; }
  // Bytes a hit needs beyond its first byte before it can be judged: the rest of the pattern
  // and the size word at +4..+7. A chunk's last Margin() bytes are carried into the next.
  size_t Margin() const { return margin_; }

 private:
  std::vector<std::vector<uint8_t>> patterns_;
  std::vector<Group> groups_;
  size_t margin_ = 7;
};

// Appends a record for every occurrence of each pattern, pattern after pattern in list order,
// ascending within a pattern, overlapping occurrences included. `bytes` starts at source
// offset `start`. Only occurrences starting before `searchEnd` are taken (the caller carries
// the rest into its next call); an occurrence whose size word does not lie wholly in `bytes`
// or is 0 yields no record.
void SearchChunk(const PatternList& patterns, std::span<const uint8_t> bytes, int64_t start,
                 FragmentList& out, size_t searchEnd = SIZE_MAX);

}  // namespace korvid
