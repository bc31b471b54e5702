#include "sources/windows_device.h"

#include <winioctl.h>

namespace korvid::sources::win {
namespace {

// Extents a volume may have before the query is given up: a spanned or striped volume has one
// per disk, so this is far beyond any real one.
constexpr uint32_t kMostExtents = 4096;
// Room for ten extents, as the volume list has always asked for; more only when there are more.
constexpr size_t kExtentReplyBytes = 260;

}  // namespace

std::wstring Wide(const std::string& utf8) {
  if (utf8.empty()) return {};
  const int count = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(count), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(), count);
  return wide;
}

std::string Utf8(const std::wstring& wide) {
  if (wide.empty()) return {};
  const int count =
      WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr, nullptr);
  std::string utf8(static_cast<size_t>(count), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), utf8.data(), count, nullptr, nullptr);
  return utf8;
}

std::string SystemMessageText(DWORD code) {
  wchar_t* buffer = nullptr;
  const DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER |
                                          FORMAT_MESSAGE_IGNORE_INSERTS,
                                      nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                                      reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::wstring text(buffer != nullptr ? buffer : L"", length);
  LocalFree(buffer);
  while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' ')) text.pop_back();
  if (text.empty()) return "Error " + std::to_string(code);
  return Utf8(text);
}

Handle& Handle::operator=(Handle&& other) noexcept {
  if (this != &other) {
    if (*this) CloseHandle(handle_);
    handle_ = other.Release();
  }
  return *this;
}

Handle::~Handle() {
  if (*this) CloseHandle(handle_);
}

HANDLE Handle::Release() {
  const HANDLE handle = handle_;
  handle_ = INVALID_HANDLE_VALUE;
  return handle;
}

Handle OpenShared(const std::string& path, DWORD access, DWORD flags) {
  return Handle(CreateFileW(Wide(path).c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                            flags, nullptr));
}

std::optional<std::vector<uint8_t>> QueryDevice(HANDLE device, DWORD code, size_t replyBytes) {
  std::vector<uint8_t> reply(replyBytes);
  DWORD delivered = 0;
  if (!DeviceIoControl(device, code, nullptr, 0, reply.data(), static_cast<DWORD>(reply.size()), &delivered,
                       nullptr)) {
    return std::nullopt;
  }
  reply.resize(delivered);
  return reply;
}

std::optional<int64_t> QueryLength(HANDLE device) {
  const auto reply = QueryDevice(device, IOCTL_DISK_GET_LENGTH_INFO, LengthInformationBytes);
  if (!reply) return std::nullopt;
  return ParseLengthInformation(*reply);
}

std::optional<DiskGeometry> QueryGeometry(HANDLE device) {
  const auto reply = QueryDevice(device, IOCTL_DISK_GET_DRIVE_GEOMETRY, DiskGeometryBytes);
  if (!reply) return std::nullopt;
  return ParseDiskGeometry(*reply);
}

std::optional<std::vector<DiskExtent>> QueryDiskExtents(HANDLE volume) {
  std::vector<uint8_t> reply(kExtentReplyBytes);
  DWORD delivered = 0;
  if (DeviceIoControl(volume, IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS, nullptr, 0, reply.data(),
                      static_cast<DWORD>(reply.size()), &delivered, nullptr)) {
    reply.resize(delivered);
    return ParseVolumeDiskExtents(reply);
  }
  // More extents than the buffer holds: the reply still says how many there are.
  if (GetLastError() != ERROR_MORE_DATA) return std::nullopt;
  const std::optional<uint32_t> count = VolumeDiskExtentCount(reply);
  if (!count || *count > kMostExtents) return std::nullopt;
  const auto whole = QueryDevice(volume, IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS, VolumeDiskExtentsBytes(*count));
  if (!whole) return std::nullopt;
  return ParseVolumeDiskExtents(*whole);
}

}  // namespace korvid::sources::win
