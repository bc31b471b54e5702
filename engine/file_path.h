#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

// Files named by std::filesystem::path whatever characters their names hold. Texts are UTF-8 in
// the whole program; on Windows a path holds UTF-16, and the C library's narrow calls and
// path::string() know only the local code page, so names pass through these instead.
namespace korvid {

// std::fopen for a path: by its wide name on Windows. Sets errno on failure as fopen does.
std::FILE* OpenFile(const std::filesystem::path& path, const char* mode);

// Positions `file` at a 64-bit offset from its start; 0 on success, as fseek.
int SeekFile(std::FILE* file, int64_t offset);

// The path as UTF-8 text, for messages and reports.
std::string PathText(const std::filesystem::path& path);

// The path that a UTF-8 text names.
std::filesystem::path PathFromText(const std::string& text);

}  // namespace korvid
