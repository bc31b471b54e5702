#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// The path rules of Windows sources: which path a Source text opens, and what a path names (a
// disk, a volume, or a file). Text only, so every platform builds and tests them.
namespace korvid::sources {

// The path opened for a Source text: "PhysicalDrive12" gives "\\.\PhysicalDrive12", "C:" and
// "C:\" give "\\.\C:", any other text (an image path such as "D:\a.img" or
// "\\server\share\disk.img", or a device path) is opened as it stands.
std::string WindowsSourcePath(const std::string& sourceText);

// What a path opens.
struct WindowsDevicePath {
  enum class Kind {
    File,    // an image file (also behind the "\\?\" long-path prefix)
    Disk,    // \\.\PhysicalDriveN
    Volume,  // \\.\C: or \\?\Volume{GUID}
    Device,  // some other device, such as \\.\CdRom0
  } kind = Kind::File;
  uint32_t DiskNumber = 0;  // Disk
  std::string RootPath;     // Volume: the root folder that the volume queries take, "C:\" or "\\?\Volume{GUID}\"
};
WindowsDevicePath ClassifyWindowsPath(std::string_view path);

// The volume list's two-letter kind for a GetDriveType value: "RD" removable (2) and RAM disk (6),
// "HD" fixed (3), "ND" network (4), "CD" optical (5); empty for unknown (0), no root folder (1)
// and anything else.
std::string DriveKindText(uint32_t driveType);

}  // namespace korvid::sources
