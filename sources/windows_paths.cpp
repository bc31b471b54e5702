#include "sources/windows_paths.h"

#include <algorithm>

#include "sources/source_text.h"

namespace korvid::sources {
namespace {

constexpr std::string_view kDevicePrefix = "\\\\.\\";
constexpr std::string_view kLongPathPrefix = "\\\\?\\";
constexpr std::string_view kDiskName = "PhysicalDrive";
constexpr std::string_view kVolumeName = "Volume{";

bool IsLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// Windows compares device names without regard to case.
bool StartsWithName(std::string_view text, std::string_view name) {
  return text.size() >= name.size() &&
         std::equal(name.begin(), name.end(), text.begin(), [](char a, char b) { return Lower(a) == Lower(b); });
}

bool IsDecimal(std::string_view digits) {
  return !digits.empty() && digits.size() <= 9 && digits.find_first_not_of("0123456789") == std::string_view::npos;
}

}  // namespace

std::string WindowsSourcePath(const std::string& sourceText) {
  const SourceText source = ClassifySourceText(sourceText);
  switch (source.kind) {
    case SourceText::Kind::Disk:
      return std::string(kDevicePrefix) + sourceText;
    case SourceText::Kind::Volume:
      return std::string(kDevicePrefix) + source.Letter + ":";
    case SourceText::Kind::Image:
      break;
  }
  return sourceText;
}

WindowsDevicePath ClassifyWindowsPath(std::string_view path) {
  WindowsDevicePath result;
  if (!path.starts_with(kDevicePrefix) && !path.starts_with(kLongPathPrefix)) return result;
  const std::string_view rest = path.substr(kDevicePrefix.size());
  // "\\?\C:\folder\a.img" and "\\?\UNC\server\share\a.img" are files behind the long-path prefix.
  if ((rest.size() > 2 && IsLetter(rest[0]) && rest[1] == ':') || StartsWithName(rest, "UNC\\")) return result;
  if (rest.size() == 2 && IsLetter(rest[0]) && rest[1] == ':') {
    result.kind = WindowsDevicePath::Kind::Volume;
    result.RootPath = std::string(rest) + "\\";
  } else if (StartsWithName(rest, kDiskName) && IsDecimal(rest.substr(kDiskName.size()))) {
    result.kind = WindowsDevicePath::Kind::Disk;
    result.DiskNumber = static_cast<uint32_t>(std::stoul(std::string(rest.substr(kDiskName.size()))));
  } else if (StartsWithName(rest, kVolumeName) && rest.back() == '}') {
    result.kind = WindowsDevicePath::Kind::Volume;
    result.RootPath = std::string(kLongPathPrefix) + std::string(rest) + "\\";
  } else {
    result.kind = WindowsDevicePath::Kind::Device;
  }
  return result;
}

std::string DriveKindText(uint32_t driveType) {
  switch (driveType) {
    case 2:
    case 6:
      return "RD";
    case 3:
      return "HD";
    case 4:
      return "ND";
    case 5:
      return "CD";
  }
  return {};
}

}  // namespace korvid::sources
