#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

#include "engine/fragment_writer.h"

namespace korvid::cli {

// A file's "source_name", "source_size", "source_times" and "recording_time" JSON members,
// comma first.
std::string SourceJsonMembers(const WrittenFile& file);

// One line per complete file: its number, the name it was recorded as, its time (UTC), its
// length and its frames per stream.
void PrintFileTable(std::FILE* out, const WriteReport& report);

}  // namespace korvid::cli
