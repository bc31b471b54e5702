#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "engine/fragment_writer.h"

namespace korvid {

// The list a run leaves in its output folder, one tab-separated line per file it wrote, so that
// the window (or a spreadsheet) can tell what each file is long after the run. Each run appends
// its lines; where a name occurs twice, the later line tells of the file now there.
inline constexpr const char* FileReportName = "korvid-files.tsv";

struct FileReportLine {
  std::string File;        // the file's name in the folder
  std::string RecordedAs;  // the source entry's name; empty when none matched
  std::optional<int64_t> Time;  // ShownTime, seconds since 1970 UTC
  double DurationSeconds = 0;
  uint64_t VideoFrames = 0;
  std::vector<uint64_t> FramesPerStream;
  int64_t SourceStart = 0;
  int64_t SourceEnd = 0;
  uint64_t Pieces = 1;
  std::string Kind;
};

// The time a file is shown with: the one the recording states, else its entry's modification.
std::optional<int64_t> ShownTime(const WrittenFile& file);

// Video frames in a file: chunks of its video streams, or of every stream when the streams are
// unknown. `sampleTypes` are the sample's stream types, for files that have none of their own.
uint64_t VideoFramesOf(const WrittenFile& file, const std::vector<uint32_t>& sampleTypes);

// Appends a line for each complete file of `files` to the folder's list, making it with a head
// line when it does not exist. A list that cannot be written raises KorvidError (WriteFailed).
void AppendFileReport(const std::filesystem::path& folder, const std::vector<WrittenFile>& files,
                      const std::vector<uint32_t>& sampleTypes);

// The folder's list, one line per file name (the last one told); empty when there is none.
// Lines that do not parse are passed over.
std::vector<FileReportLine> ReadFileReport(const std::filesystem::path& folder);

}  // namespace korvid
