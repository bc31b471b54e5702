#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "engine/source_device.h"

namespace korvid {

// The time a date text of an AVI header states, read as UTC: IDIT's "THU DEC 08 15:00:00 2026"
// (C's asctime, the weekday optional), "2026:12:08 15:00:00" (EXIF), or ICRD's "2026-12-08",
// "2026-12-08 15:00:00", "2026/12/08T15:00:00". None for any other text.
std::optional<int64_t> ParseRecordingDate(std::string_view text);

// The time a recording states about itself in the RIFF "AVI " form that `bytes` begins with:
// an IDIT chunk in its hdrl list first, else the ICRD of an INFO list (top level or in hdrl).
// Only what lies in `bytes` is read; none when it states no time that parses.
std::optional<int64_t> RecordingTimeInHeader(std::span<const uint8_t> bytes);

// How far before a recording's first data byte its header is looked for.
inline constexpr int64_t HeaderSearchBytes = 65536;

// The time stated by the recording whose data begins at `firstDataByte`: its RIFF "AVI " header
// is the last one that begins at most HeaderSearchBytes before that byte (or at it). None when
// there is none, it states no time, or the bytes cannot be read.
std::optional<int64_t> RecordingTimeAt(SourceDevice& source, int64_t firstDataByte);

}  // namespace korvid
