#pragma once

// The Windows calls that the sources share: texts between UTF-8 and the wide-character forms of
// the system calls, the system's error texts, device handles and their queries. Windows only.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sources/windows_layouts.h"

namespace korvid::sources::win {

// Every text of the program is UTF-8; the system takes and gives UTF-16.
std::wstring Wide(const std::string& utf8);
std::string Utf8(const std::wstring& wide);

// The system's text for an error code (FormatMessageW in the user's language), without the line
// break that the system puts at its end; "Error N" for a code the system has no text for.
std::string SystemMessageText(DWORD code);

// An open handle, closed when it goes.
class Handle {
 public:
  Handle() = default;
  explicit Handle(HANDLE handle) : handle_(handle) {}
  Handle(Handle&& other) noexcept : handle_(other.Release()) {}
  Handle& operator=(Handle&& other) noexcept;
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  ~Handle();

  HANDLE Get() const { return handle_; }
  explicit operator bool() const { return handle_ != INVALID_HANDLE_VALUE; }
  HANDLE Release();

 private:
  HANDLE handle_ = INVALID_HANDLE_VALUE;
};

// Opens an existing file or device, letting others read and write it meanwhile. `access` 0 asks
// for no data access: enough for the queries that need none (geometry, disk extents), and
// granted without administrator rights. On failure the handle is invalid and GetLastError tells why.
Handle OpenShared(const std::string& path, DWORD access, DWORD flags = FILE_ATTRIBUTE_NORMAL);

// The bytes that a DeviceIoControl without input delivers into a buffer of `replyBytes`; nullopt
// when it fails (GetLastError tells why).
std::optional<std::vector<uint8_t>> QueryDevice(HANDLE device, DWORD code, size_t replyBytes);

// IOCTL_DISK_GET_LENGTH_INFO: the exact length of a disk, partition or volume (needs read access).
std::optional<int64_t> QueryLength(HANDLE device);
// IOCTL_DISK_GET_DRIVE_GEOMETRY.
std::optional<DiskGeometry> QueryGeometry(HANDLE device);
// IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS, every extent however many there are.
std::optional<std::vector<DiskExtent>> QueryDiskExtents(HANDLE volume);

}  // namespace korvid::sources::win
