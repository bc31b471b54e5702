#include "signatures.h"

#include <algorithm>
#include <cstring>

#include "little_endian.h"

namespace korvid {

const std::vector<std::string> ContainerPatterns = {
    "6D646174",
    "66747970",
    "060E2B34020501010D01020101020400",
    "060E2B3402050101",
    "6D6F6F76",
};

const std::vector<std::string> AviChunkPatterns = {
    "30306462",
    "30306463",
};

namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool Decode(const std::string& text, std::vector<uint8_t>& bytes) {
  if (text.empty() || text.size() % 2 != 0) return false;
  bytes.clear();
  for (size_t i = 0; i < text.size(); i += 2) {
    const int high = HexDigit(text[i]);
    const int low = HexDigit(text[i + 1]);
    if (high < 0 || low < 0) return false;
    bytes.push_back(static_cast<uint8_t>(high << 4 | low));
  }
  return true;
}

}  // namespace

PatternList::PatternList(const std::vector<std::string>& texts) {
  std::vector<uint8_t> bytes;
  for (const std::string& text : texts) {
    if (!Decode(text, bytes)) break;
    margin_ = std::max(margin_, bytes.size() - 1);
    patterns_.push_back(bytes);
  }
  // Consecutive patterns share a pass while their pairs of bytes fit in one filter.
  for (size_t k = 0; k < patterns_.size();) {
    Group group;
    group.Begin = k;
    group.MinLength = patterns_[k].size();
    for (size_t end = k + 1; end <= patterns_.size() && end - k <= BytePairs::MaxPairs; ++end) {
      group.End = end;
      group.MinLength = std::min(group.MinLength, patterns_[end - 1].size());
    }
    group.Pairs.TailOffset = group.MinLength - 1;
    for (size_t i = group.Begin; i < group.End; ++i) {
      const uint8_t first = patterns_[i].front(), final = patterns_[i][group.Pairs.TailOffset];
      bool known = false;
      for (size_t j = 0; j < group.Pairs.Count; ++j) known = known || (group.Pairs.First[j] == first && group.Pairs.Final[j] == final);
      if (known) continue;
      group.Pairs.First[group.Pairs.Count] = first;
      group.Pairs.Final[group.Pairs.Count++] = final;
    }
    groups_.push_back(group);
    k = group.End;
  }
}

void SearchChunk(const PatternList& patterns, std::span<const uint8_t> bytes, int64_t start,
                 FragmentList& out, size_t searchEnd) {
  static const CandidateFilter filter = CandidateFilters().front().Filter;
  // The hits of a group's later patterns wait here, so that the records still come pattern by
  // pattern, each pattern's ascending. (Not kept from call to call: MinGW's thread_local of
  // such types crashes.)
  std::vector<std::vector<Fragment>> later;
  const uint8_t* data = bytes.data();
  const size_t size = bytes.size();
  for (const PatternList::Group& group : patterns.Groups()) {
    if (size < group.MinLength) continue;
    later.assign(group.End - group.Begin, {});
    const size_t last = std::min(searchEnd, size - group.MinLength + 1);
    for (size_t p = filter(data, size, 0, last, group.Pairs); p < last; p = filter(data, size, p + 1, last, group.Pairs)) {
      if (p + 8 > size) break;  // no size word for this hit or any after it
      const uint32_t word = LittleEndian32(data + p + 4);
      if (word == 0) continue;
      for (size_t k = group.Begin; k < group.End; ++k) {
        const std::vector<uint8_t>& pattern = patterns.Patterns()[k];
        if (p + pattern.size() > size || std::memcmp(data + p, pattern.data(), pattern.size()) != 0) continue;
        const Fragment hit{start + static_cast<int64_t>(p), word + 8u, LittleEndian32(data + p)};
        if (k == group.Begin) {
          out.push_back(hit);
        } else {
          later[k - group.Begin].push_back(hit);
        }
      }
    }
    for (size_t i = 1; i < later.size(); ++i) {
      for (const Fragment& hit : later[i]) out.push_back(hit);
    }
  }
}

}  // namespace korvid
