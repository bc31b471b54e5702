#include "cli/summary.h"

#include <string>

#include "cli/format.h"
#include "engine/file_path.h"

namespace korvid::cli {
namespace {

double Rate(double bytes, double seconds) { return seconds > 0 ? bytes / seconds : 0; }

unsigned long long U(uint64_t v) { return static_cast<unsigned long long>(v); }
long long S(int64_t v) { return static_cast<long long>(v); }

}  // namespace

void PrintSummaryText(std::FILE* out, const RunOutcome& outcome) {
  const RecoveryReport& r = outcome.Report;
  const WriteReport& w = r.Write;
  size_t complete = 0;
  for (const WrittenFile& f : w.Files) complete += f.Complete ? 1 : 0;

  if (r.SourceSize == 0) std::fprintf(out, "The source is empty (0 bytes): nothing to scan.\n");
  std::fprintf(out, "%s: %s, %s mode\n", r.Stopped ? "Stopped" : (outcome.Error.empty() ? "Done" : "Failed"),
               outcome.SourcePath.c_str(), outcome.Mode.c_str());
  std::fprintf(out, "  scanned          %s of %s (%lld bytes)\n", FormatBytes(U(r.BytesScanned)).c_str(),
               FormatBytes(U(r.SourceSize)).c_str(), S(r.BytesScanned));
  std::fprintf(out, "  fragments found  %llu\n", U(r.FragmentsFound));
  std::fprintf(out, "  chains           %llu\n", U(w.Chains));
  std::fprintf(out, "  files written    %zu in %s\n", complete, outcome.OutputFolder.c_str());
  std::fprintf(out, "  bytes written    %s (%llu bytes)\n", FormatBytes(w.BytesWritten).c_str(), U(w.BytesWritten));
  std::fprintf(out, "  unreadable bytes %llu while scanning, %llu in written files\n",
               U(r.UnreadableScanBytes), U(w.UnreadableBytes));
  std::fprintf(out, "  elapsed          %.2f s (scan %.2f s, write %.2f s)\n", outcome.ElapsedSeconds,
               r.ScanSeconds, r.WriteSeconds);
  std::fprintf(out, "  throughput       scan %s/s, write %s/s\n",
               FormatBytes(U(Rate(static_cast<double>(r.BytesScanned), r.ScanSeconds))).c_str(),
               FormatBytes(U(Rate(static_cast<double>(w.BytesWritten), r.WriteSeconds))).c_str());
  uint64_t frames = 0;
  for (const WrittenFile& f : w.Files) {
    for (uint64_t n : f.FramesPerStream) frames += n;
  }
  std::fprintf(out, "  frames written   %llu video frames, %llu chunks in all\n", U(VideoFramesWritten(r)), U(frames));
  if (complete == 0 && outcome.Error.empty()) {
    std::fprintf(out, "No chain of video chunks was found: nothing was written.\n");
  }
  for (const WrittenFile& f : w.Files) {
    if (!f.Complete) {
      std::fprintf(out, "  incomplete: %s (%s)\n", PathText(f.Path).c_str(), FormatBytes(f.Bytes).c_str());
    }
  }
}

void PrintSummaryJson(std::FILE* out, const RunOutcome& outcome) {
  const RecoveryReport& r = outcome.Report;
  const WriteReport& w = r.Write;
  size_t complete = 0;
  for (const WrittenFile& f : w.Files) complete += f.Complete ? 1 : 0;

  std::fprintf(out, "{\"source\":%s,\"mode\":%s,\"output\":%s,", JsonString(outcome.SourcePath).c_str(),
               JsonString(outcome.Mode).c_str(), JsonString(outcome.OutputFolder).c_str());
  std::fprintf(out, "\"source_size\":%lld,\"bytes_scanned\":%lld,\"fragments_found\":%llu,\"chains\":%llu,",
               S(r.SourceSize), S(r.BytesScanned), U(r.FragmentsFound), U(w.Chains));
  std::fprintf(out, "\"files_written\":%zu,\"bytes_written\":%llu,", complete, U(w.BytesWritten));
  std::fprintf(out, "\"unreadable_scan_bytes\":%llu,\"unreadable_written_bytes\":%llu,",
               U(r.UnreadableScanBytes), U(w.UnreadableBytes));
  std::fprintf(out, "\"elapsed_seconds\":%.3f,\"scan_seconds\":%.3f,\"write_seconds\":%.3f,",
               outcome.ElapsedSeconds, r.ScanSeconds, r.WriteSeconds);
  std::fprintf(out, "\"scan_bytes_per_second\":%.0f,\"write_bytes_per_second\":%.0f,",
               Rate(static_cast<double>(r.BytesScanned), r.ScanSeconds),
               Rate(static_cast<double>(w.BytesWritten), r.WriteSeconds));
  std::fprintf(out, "\"stopped\":%s,\"error\":%s,\"header_problem\":%s,\"files\":[", r.Stopped ? "true" : "false",
               outcome.Error.empty() ? "null" : JsonString(outcome.Error).c_str(),
               r.HeaderProblem.empty() ? "null" : JsonString(r.HeaderProblem).c_str());
  for (size_t i = 0; i < w.Files.size(); ++i) {
    const WrittenFile& f = w.Files[i];
    std::string frames;
    for (uint64_t n : f.FramesPerStream) {
      if (!frames.empty()) frames += ',';
      frames += std::to_string(n);
    }
    std::fprintf(out,
                 "%s{\"path\":%s,\"source_start\":%lld,\"source_end\":%lld,\"records\":%llu,"
                 "\"bytes\":%llu,\"unreadable_bytes\":%llu,\"complete\":%s,\"repaired\":%s,"
                 "\"frames\":[%s],\"duration_seconds\":%.3f}",
                 i == 0 ? "" : ",", JsonString(PathText(f.Path)).c_str(), S(f.SourceStart), S(f.SourceEnd),
                 U(f.Records), U(f.Bytes), U(f.UnreadableBytes), f.Complete ? "true" : "false",
                 f.Repaired ? "true" : "false", frames.c_str(), f.DurationSeconds);
  }
  std::fprintf(out, "]}\n");
}

}  // namespace korvid::cli
