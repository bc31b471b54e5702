#pragma once

#include <cstdint>
#include <string>

namespace korvid::cli {

// 1536 -> "1.5 KiB"; bytes below 1 KiB as "512 B".
std::string FormatBytes(uint64_t bytes);
// Seconds as "m:ss", or "h:mm:ss" from an hour on.
std::string FormatDuration(double seconds);
// A JSON string literal, quotes included.
std::string JsonString(const std::string& text);

}  // namespace korvid::cli
