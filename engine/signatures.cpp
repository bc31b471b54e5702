#include "signatures.h"

#include <algorithm>
#include <cstring>

#include "candidate_filter.h"
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


// Calls hit(p) for every p < last at which `pattern` occurs in data[0, size), ascending.
template <typename Hit>
void FindAll(const uint8_t* data, size_t size, size_t last, const std::vector<uint8_t>& pattern,
             Hit&& hit) {
  const size_t length = pattern.size();
  if (size < length) return;
  last = std::min(last, size - length + 1);
  static const CandidateFilter filter = CandidateFilters().front().Filter;
  for (size_t p = 0;; ++p) {
    p = filter(data, size, p, last, pattern.front(), pattern.back(), length - 1);
    if (p >= last) return;
    if (std::memcmp(data + p, pattern.data(), length) == 0) hit(p);
  }
}

}  // namespace

PatternList::PatternList(const std::vector<std::string>& texts) {
  std::vector<uint8_t> bytes;
  for (const std::string& text : texts) {
    if (!Decode(text, bytes)) break;
    margin_ = std::max(margin_, bytes.size() - 1);
    patterns_.push_back(bytes);
  }
}

void SearchChunk(const PatternList& patterns, std::span<const uint8_t> bytes, int64_t start,
                 FragmentList& out, size_t searchEnd) {
  const uint8_t* data = bytes.data();
  const size_t size = bytes.size();
  for (const std::vector<uint8_t>& pattern : patterns.Patterns()) {
    FindAll(data, size, searchEnd, pattern, [&](size_t p) {
      if (p + 8 > size) return;
      const uint32_t word = LittleEndian32(data + p + 4);
      if (word == 0) return;
      out.push_back(Fragment{start + static_cast<int64_t>(p), word + 8u, LittleEndian32(data + p)});
    });
  }
}

}  // namespace korvid
