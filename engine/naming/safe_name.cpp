#include "engine/naming/safe_name.h"

#include <cstring>

namespace korvid {

std::string SafeFileName(const std::string& name) {
  std::string safe;
  for (const char c : name) {
    const auto u = static_cast<unsigned char>(c);
    safe += u < 0x20 || u == 0x7F || std::strchr("/\\:*?\"<>|", c) != nullptr ? '_' : c;
  }
  for (size_t i = safe.size(); i > 0 && (safe[i - 1] == '.' || safe[i - 1] == ' '); --i) safe[i - 1] = '_';
  return safe;
}

std::string SourceNamedFile(size_t number, const std::string& sourceName, const std::string& kind) {
  const size_t dot = sourceName.rfind('.');
  const std::string stem = dot == std::string::npos || dot == 0 ? sourceName : sourceName.substr(0, dot);
  return std::to_string(number) + " " + SafeFileName(stem) + "." + kind;
}

}  // namespace korvid
