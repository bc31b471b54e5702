#include "cli/file_table.h"

#include "cli/format.h"
#include "engine/naming/civil_time.h"
#include "engine/report/file_report.h"

namespace korvid::cli {
namespace {

std::string JsonTime(const std::optional<int64_t>& seconds) {
  return seconds ? JsonString(IsoUtcText(*seconds)) : "null";
}

// "2026-12-08 15:00:00" for seconds since 1970 UTC.
std::string TableTime(int64_t seconds) {
  std::string text = IsoUtcText(seconds);
  text[10] = ' ';
  text.pop_back();
  return text;
}

}  // namespace

std::string SourceJsonMembers(const WrittenFile& file) {
  std::string text = ",\"source_name\":";
  if (file.Entry) {
    const SourceEntry& e = *file.Entry;
    text += JsonString(e.Name) + ",\"source_size\":" + std::to_string(e.Size) + ",\"source_times\":{\"modified\":" +
            JsonTime(e.Modified) + ",\"created\":" + JsonTime(e.Created) + ",\"accessed\":" + JsonTime(e.Accessed) +
            "}";
  } else {
    text += "null,\"source_size\":null,\"source_times\":null";
  }
  return text + ",\"recording_time\":" + JsonTime(file.RecordingTime);
}

void PrintFileTable(std::FILE* out, const WriteReport& report) {
  bool any = false;
  for (size_t i = 0; i < report.Files.size(); ++i) {
    const WrittenFile& f = report.Files[i];
    if (!f.Complete) continue;
    if (!any) std::fprintf(out, "  %-5s %-32s %-19s %8s  %s\n", "file", "recorded as", "time (UTC)", "length", "frames");
    any = true;
    std::string frames;
    for (uint64_t n : f.FramesPerStream) {
      if (!frames.empty()) frames += '+';
      frames += std::to_string(n);
    }
    const std::optional<int64_t> time = ShownTime(f);
    std::fprintf(out, "  %-5zu %-32s %-19s %8s  %s\n", i + 1, f.Entry ? f.Entry->Name.c_str() : "-",
                 time ? TableTime(*time).c_str() : "-", FormatDuration(f.DurationSeconds).c_str(),
                 frames.empty() ? "-" : frames.c_str());
  }
}

}  // namespace korvid::cli
