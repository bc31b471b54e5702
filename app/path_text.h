#pragma once

#include <QString>
#include <filesystem>

namespace korvid::app {

// Paths cross between Qt and the engine through UTF-16, which both sides convert exactly on
// every platform.
inline std::filesystem::path ToPath(const QString& text) {
  return std::filesystem::path(text.toStdU16String());
}

inline QString FromPath(const std::filesystem::path& path) {
  return QString::fromStdU16String(path.u16string());
}

}  // namespace korvid::app
