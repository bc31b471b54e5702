#include "engine/naming/recording_time.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "engine/little_endian.h"
#include "engine/naming/civil_time.h"

namespace korvid {
namespace {

// 1..12 for an English month name or its first three letters, any case; 0 otherwise.
int MonthNumber(const std::string& word) {
  static const char* Months[] = {"jan", "feb", "mar", "apr", "may", "jun", "jul", "aug", "sep", "oct", "nov", "dec"};
  if (word.size() < 3) return 0;
  for (int m = 0; m < 12; ++m) {
    if (word.compare(0, 3, Months[m]) == 0) return m + 1;
  }
  return 0;
}

bool IsWeekday(const std::string& word) {
  static const char* Days[] = {"mon", "tue", "wed", "thu", "fri", "sat", "sun"};
  return word.size() >= 3 && std::any_of(std::begin(Days), std::end(Days),
                                         [&](const char* d) { return word.compare(0, 3, d) == 0; });
}

bool Is(const uint8_t* p, const char* id) { return std::memcmp(p, id, 4) == 0; }

// The chunks of a list's body [begin, end): id and data span, each bounded by `end`.
struct Chunk {
  const uint8_t* Id;
  std::span<const uint8_t> Data;
};
std::vector<Chunk> ChunksOf(std::span<const uint8_t> body) {
  std::vector<Chunk> chunks;
  size_t at = 0;
  while (at + 8 <= body.size()) {
    const uint64_t size = LittleEndian32(body.data() + at + 4);
    const size_t data = at + 8;
    const size_t length = static_cast<size_t>(std::min<uint64_t>(size, body.size() - data));
    chunks.push_back({body.data() + at, body.subspan(data, length)});
    if (size > body.size() - data) break;
    at = data + static_cast<size_t>(size) + (size & 1);
  }
  return chunks;
}

std::optional<int64_t> DateOf(std::span<const uint8_t> data) {
  std::string text(data.begin(), data.end());
  text = text.substr(0, text.find('\0'));
  return ParseRecordingDate(text);
}

// The ICRD of an INFO list's body.
std::optional<int64_t> InfoDate(std::span<const uint8_t> info) {
  for (const Chunk& c : ChunksOf(info)) {
    if (Is(c.Id, "ICRD")) return DateOf(c.Data);
  }
  return std::nullopt;
}

bool IsList(const Chunk& c, const char* type) { return Is(c.Id, "LIST") && c.Data.size() >= 4 && Is(c.Data.data(), type); }

}  // namespace

std::optional<int64_t> ParseRecordingDate(std::string_view text) {
  std::vector<std::string> words;
  std::vector<std::string> numbers;
  for (size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    size_t j = i;
    if (std::isdigit(c)) {
      while (j < text.size() && std::isdigit(static_cast<unsigned char>(text[j]))) ++j;
      numbers.emplace_back(text.substr(i, j - i));
    } else if (std::isalpha(c)) {
      std::string word;
      while (j < text.size() && std::isalpha(static_cast<unsigned char>(text[j]))) {
        word += static_cast<char>(std::tolower(static_cast<unsigned char>(text[j])));
        ++j;
      }
      words.push_back(word);
    } else {
      ++j;
      if (c != ' ' && c != ':' && c != '-' && c != '/' && c != '\n' && c != '\r' && c != '\t') return std::nullopt;
    }
    i = j;
  }
  CivilTime t;
  std::vector<int> fields;
  for (const std::string& n : numbers) {
    if (n.size() > 4) return std::nullopt;
    fields.push_back(std::stoi(n));
  }
  if (words.empty() || (words.size() == 1 && (words[0] == "t" || words[0] == "z")) ||
      (words.size() == 2 && words[0] == "t" && words[1] == "z")) {
    // Numeric: year, month, day, then optionally hour, minute, second.
    if ((fields.size() != 3 && fields.size() != 6) || numbers[0].size() != 4) return std::nullopt;
    t = {fields[0], fields[1], fields[2]};
    if (fields.size() == 6) std::tie(t.Hour, t.Minute, t.Second) = std::tie(fields[3], fields[4], fields[5]);
    return SecondsSinceEpoch(t);
  }
  // asctime: [weekday] month day hh:mm:ss year.
  const bool weekday = words.size() == 2 && IsWeekday(words[0]);
  if (words.size() != (weekday ? 2u : 1u) || fields.size() != 5 || numbers[4].size() != 4) return std::nullopt;
  t.Month = MonthNumber(words.back());
  if (t.Month == 0) return std::nullopt;
  t.Day = fields[0];
  t.Hour = fields[1];
  t.Minute = fields[2];
  t.Second = fields[3];
  t.Year = fields[4];
  return SecondsSinceEpoch(t);
}

std::optional<int64_t> RecordingTimeInHeader(std::span<const uint8_t> bytes) {
  if (bytes.size() < 12 || !Is(bytes.data(), "RIFF") || !Is(bytes.data() + 8, "AVI ")) return std::nullopt;
  const uint64_t riffSize = LittleEndian32(bytes.data() + 4);
  if (riffSize < 4) return std::nullopt;
  const std::span<const uint8_t> form = bytes.subspan(12, std::min<uint64_t>(riffSize - 4, bytes.size() - 12));
  std::optional<int64_t> idit;
  std::optional<int64_t> icrd;
  for (const Chunk& top : ChunksOf(form)) {
    if (IsList(top, "hdrl")) {
      for (const Chunk& c : ChunksOf(top.Data.subspan(4))) {
        if (Is(c.Id, "IDIT") && !idit) idit = DateOf(c.Data);
        if (IsList(c, "INFO") && !icrd) icrd = InfoDate(c.Data.subspan(4));
      }
    } else if (IsList(top, "INFO") && !icrd) {
      icrd = InfoDate(top.Data.subspan(4));
    } else if (IsList(top, "movi")) {
      break;  // the header ends here
    }
  }
  return idit ? idit : icrd;
}

std::optional<int64_t> RecordingTimeAt(SourceDevice& source, int64_t firstDataByte) {
  const int64_t start = std::max<int64_t>(0, firstDataByte - HeaderSearchBytes);
  // Up to the byte itself and the 12 bytes of a RIFF that begins there, and a header's worth
  // past it for the chunks that follow.
  const int64_t end = std::min(source.Size(), firstDataByte + HeaderSearchBytes);
  if (end - start < 12) return std::nullopt;
  std::vector<uint8_t> bytes(static_cast<size_t>(end - start));
  const ReadResult read = source.ReadAt(start, bytes.data(), bytes.size());
  bytes.resize(read.Bytes);
  const size_t last = static_cast<size_t>(firstDataByte - start);
  if (bytes.size() < 12) return std::nullopt;
  for (size_t at = std::min(last, bytes.size() - 12) + 1; at-- > 0;) {
    if (Is(bytes.data() + at, "RIFF") && Is(bytes.data() + at + 8, "AVI ")) {
      return RecordingTimeInHeader(std::span<const uint8_t>(bytes).subspan(at));
    }
  }
  return std::nullopt;
}

}  // namespace korvid
