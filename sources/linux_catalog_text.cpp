#include "sources/linux_catalog_text.h"

#include <algorithm>
#include <charconv>
#include <vector>

namespace korvid::sources {
namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsOctal(char c) { return c >= '0' && c <= '7'; }

bool AllDigits(std::string_view text) { return !text.empty() && std::all_of(text.begin(), text.end(), IsDigit); }

// `name` is `prefix` followed by a decimal number: "loop12" for "loop".
bool PrefixThenNumber(std::string_view name, std::string_view prefix) {
  return name.starts_with(prefix) && AllDigits(name.substr(prefix.size()));
}

// A maximal run of digits or of non-digits starting at `pos`.
std::string_view RunAt(std::string_view text, size_t pos) {
  const bool digits = IsDigit(text[pos]);
  size_t end = pos;
  while (end < text.size() && IsDigit(text[end]) == digits) ++end;
  return text.substr(pos, end - pos);
}

int CompareRuns(std::string_view a, std::string_view b) {
  const bool aDigits = IsDigit(a.front());
  const bool bDigits = IsDigit(b.front());
  if (aDigits != bDigits) return aDigits ? -1 : 1;
  if (aDigits) {
    // By value without parsing, so that no length of number overflows.
    a.remove_prefix(std::min(a.find_first_not_of('0'), a.size()));
    b.remove_prefix(std::min(b.find_first_not_of('0'), b.size()));
  }
  if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
  const int order = a.compare(b);
  return order < 0 ? -1 : (order > 0 ? 1 : 0);
}

std::vector<std::string_view> SplitFields(std::string_view line) {
  std::vector<std::string_view> fields;
  size_t start = 0;
  while (true) {
    const size_t space = line.find(' ', start);
    fields.push_back(line.substr(start, space - start));
    if (space == std::string_view::npos) break;
    start = space + 1;
  }
  return fields;
}

template <typename Number>
bool ParseNumber(std::string_view text, Number& value) {
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size() && !text.empty();
}

}  // namespace

BlockNameKind ClassifyBlockName(std::string_view name) {
  if (PrefixThenNumber(name, "loop")) return BlockNameKind::Loop;
  if (PrefixThenNumber(name, "sr")) return BlockNameKind::Optical;
  for (std::string_view prefix : {"ram", "zram", "dm-", "fd", "md", "md_d"}) {
    if (PrefixThenNumber(name, prefix)) return BlockNameKind::Other;
  }
  // The boot and replay-protected areas of an eMMC are separate block devices beside the user area.
  if (name.starts_with("mmcblk") && (name.find("boot") != std::string_view::npos || name.ends_with("rpmb"))) {
    return BlockNameKind::Other;
  }
  return BlockNameKind::Disk;
}

bool DeviceNameLess(std::string_view a, std::string_view b) {
  const bool aLoop = ClassifyBlockName(a) == BlockNameKind::Loop;
  const bool bLoop = ClassifyBlockName(b) == BlockNameKind::Loop;
  if (aLoop != bLoop) return bLoop;
  size_t ia = 0, ib = 0;
  while (ia < a.size() && ib < b.size()) {
    const std::string_view runA = RunAt(a, ia);
    const std::string_view runB = RunAt(b, ib);
    if (const int order = CompareRuns(runA, runB); order != 0) return order < 0;
    ia += runA.size();
    ib += runB.size();
  }
  if ((ia < a.size()) != (ib < b.size())) return ib < b.size();
  // Equal by value ("sd01" and "sd1"): plain text order keeps the order strict.
  return a < b;
}

std::string DevicePathForBlockName(std::string_view name) {
  std::string path = "/dev/";
  path += name;
  std::replace(path.begin(), path.end(), '!', '/');
  return path;
}

std::optional<MountEntry> ParseMountInfoLine(std::string_view line) {
  if (line.ends_with('\n')) line.remove_suffix(1);
  const std::vector<std::string_view> fields = SplitFields(line);
  // id, parent, major:minor, root, mount point, options, optional fields..., "-", type, source, ...
  size_t separator = 6;
  while (separator < fields.size() && fields[separator] != "-") ++separator;
  if (separator + 2 >= fields.size()) return std::nullopt;

  MountEntry entry;
  const std::string_view device = fields[2];
  const size_t colon = device.find(':');
  if (colon == std::string_view::npos || !ParseNumber(device.substr(0, colon), entry.Major) ||
      !ParseNumber(device.substr(colon + 1), entry.Minor)) {
    return std::nullopt;
  }
  entry.MountPoint = UnescapeMountField(fields[4]);
  entry.FileSystemType = UnescapeMountField(fields[separator + 1]);
  entry.Source = UnescapeMountField(fields[separator + 2]);
  if (entry.MountPoint.empty()) return std::nullopt;
  return entry;
}

std::string UnescapeMountField(std::string_view field) {
  std::string text;
  text.reserve(field.size());
  for (size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size() && field[i + 1] >= '0' && field[i + 1] <= '3' &&
        IsOctal(field[i + 2]) && IsOctal(field[i + 3])) {
      text += static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0'));
      i += 3;
    } else {
      text += field[i];
    }
  }
  return text;
}

std::string VolumeSerialFromBlkid(std::string_view type, std::string_view uuid) {
  std::string digits;
  for (char c : uuid) {
    if (c == '-') continue;
    const bool hex = IsDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    if (!hex) return {};
    digits += (c >= 'a' && c <= 'f') ? static_cast<char>(c - 'a' + 'A') : c;
  }
  if (type == "ntfs") return digits.size() == 16 ? digits.substr(8) : std::string();
  return digits.size() == 8 ? digits : std::string();
}

bool IsExtendedPartitionEntry(std::string_view scheme, std::string_view type) {
  return scheme == "dos" && (type == "0x5" || type == "0xf" || type == "0x85");
}

}  // namespace korvid::sources
