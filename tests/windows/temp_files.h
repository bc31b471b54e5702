#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "engine/temp_folder.h"
#include "sources/windows_device.h"

namespace korvid::testing {

// Writes `bytes` to `path` through the wide-character call, so that any name works.
inline void WriteWideFile(const std::filesystem::path& path, const std::vector<uint8_t>& bytes) {
  const sources::win::Handle file(
      CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) throw std::runtime_error("cannot create a test file");
  DWORD written = 0;
  ::WriteFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  if (written != bytes.size()) throw std::runtime_error("cannot write a test file");
}

// A path as the UTF-8 text that the sources take.
inline std::string Utf8Path(const std::filesystem::path& path) { return sources::win::Utf8(path.wstring()); }

// Bytes that tell their own offset apart: no two nearby offsets hold the same pattern.
inline std::vector<uint8_t> Numbered(size_t size) {
  std::vector<uint8_t> bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>((i * 7 + i / 251) & 0xFF);
  return bytes;
}

}  // namespace korvid::testing
