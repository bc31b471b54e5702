#include "sources/source_text.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace korvid::sources {

std::string FormatByteSize(uint64_t bytes) {
  static const char* const kSuffixes[] = {" B", " KB", " MB", " GB", " TB"};
  int unit = 0;
  uint64_t rest = 0;
  uint64_t n = bytes;
  while (n != 0 && unit < 4 && n >= 1024) {
    rest = n % 1024;
    n /= 1024;
    ++unit;
  }
  std::string text = std::to_string(n);
  const uint64_t hundredths = rest * 100 / 1024;
  if (hundredths > 0) {
    char digits[8];
    std::snprintf(digits, sizeof digits, ".%02u", static_cast<unsigned>(hundredths));
    text += digits;
  }
  return text + kSuffixes[unit];
}

std::string FormatSpace(double bytes) {
  char text[64];
  if (bytes >= 1048576) {
    std::snprintf(text, sizeof text, "%.2f GB", bytes / 1024 / 1024 / 1024);
  } else {
    std::snprintf(text, sizeof text, "%.2f MB", bytes / 1024 / 1024);
  }
  return text;
}

std::string MediaTypeText(uint32_t mediaType) {
  if (mediaType == 0) return "Unknown Media Type";
  if (mediaType <= 10) return "Floppy Disk";
  if (mediaType == 11) return "Removable Drive";
  if (mediaType == 12) return "Fixed Drive";
  if (mediaType <= 25) return "Zip / Other";
  return "UNKNOWN";
}

std::string DiskCaption(uint32_t number, uint32_t mediaType, uint64_t sizeBytes) {
  return "HD" + std::to_string(number) + ", " + MediaTypeText(mediaType) + ", [" + FormatByteSize(sizeBytes) + "]";
}

std::string VolumeCaption(const TNTVolumeInfo& volume, const std::string& drive) {
  const bool letter = drive.size() == 1 && std::isalpha(static_cast<unsigned char>(drive[0]));
  return volume.VolumeLabel + " (" + drive + (letter ? ":" : "") + "), " + volume.DriveKind +
         std::to_string(volume.DiskNumber) + ", " + volume.FileSystemName + ", [" +
         FormatSpace(static_cast<double>(volume.FreeBytes)) + "/" +
         FormatSpace(static_cast<double>(volume.TotalBytes)) + "]";
}

bool KeepVolume(const TNTVolumeInfo& volume) { return volume.DiskNumber != 255 || !volume.VolumeLabel.empty(); }

SourceText ClassifySourceText(const std::string& text) {
  static const std::string kDisk = "PhysicalDrive";
  SourceText result;
  if (text.compare(0, kDisk.size(), kDisk) == 0) {
    result.kind = SourceText::Kind::Disk;
    const std::string digits = text.substr(kDisk.size());
    const bool numeric = !digits.empty() && digits.size() <= 9 &&
                         digits.find_first_not_of("0123456789") == std::string::npos;
    result.DiskNumber = numeric ? static_cast<uint32_t>(std::stoul(digits)) : UINT32_MAX;
  } else if (text.size() >= 2 && text.size() < 4 && text[1] == ':') {
    result.kind = SourceText::Kind::Volume;
    result.Letter = text[0];
  }
  return result;
}

std::vector<std::string> FreeExtentEntries(const std::vector<std::pair<int64_t, int64_t>>& runs) {
  std::vector<std::string> entries;
  for (auto [start, length] : runs) {
    while (length > 0) {
      const int64_t pieceEnd = (start / BitmapPieceClusters + 1) * BitmapPieceClusters;
      const int64_t part = std::min(length, pieceEnd - start);
      entries.push_back(std::to_string(start) + " - " + std::to_string(part));
      start += part;
      length -= part;
    }
  }
  return entries;
}

}  // namespace korvid::sources
