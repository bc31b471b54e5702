#include "cli/progress_reporter.h"

#include <string>

#include "cli/format.h"

namespace korvid::cli {
namespace {

constexpr int kBarWidth = 30;

}  // namespace

ProgressReporter::ProgressReporter(std::FILE* out, bool terminal, bool quiet)
    : out_(out), terminal_(terminal), quiet_(quiet), start_(std::chrono::steady_clock::now()) {}

bool ProgressReporter::Due(std::chrono::steady_clock::time_point now, int percent) {
  const bool first = lastPercent_ < 0;
  const bool show = terminal_ ? first || now - lastShown_ >= std::chrono::milliseconds(100)
                              : first || percent / 10 != lastPercent_ / 10;
  if (!show) return false;
  lastShown_ = now;
  lastPercent_ = percent;
  return true;
}

void ProgressReporter::Emit(const char* line) {
  if (terminal_) {
    std::fprintf(out_, "\r%s\033[K", line);
    lineOpen_ = true;
  } else {
    std::fprintf(out_, "%s\n", line);
  }
  std::fflush(out_);
}

void ProgressReporter::ScanProgress(int64_t scanned, int64_t total) {
  if (quiet_) return;
  const auto now = std::chrono::steady_clock::now();
  const int percent = total > 0 ? static_cast<int>(scanned * 100 / total) : 100;
  if (!Due(now, percent)) return;
  const double seconds = std::chrono::duration<double>(now - start_).count();
  const double rate = seconds > 0 ? static_cast<double>(scanned) / seconds : 0;
  const std::string remaining =
      rate > 0 ? FormatDuration(static_cast<double>(total - scanned) / rate) : "--:--";
  std::string bar(kBarWidth, '.');
  const size_t done = static_cast<size_t>(percent * kBarWidth / 100);
  bar.replace(0, done, done, '#');
  char line[256];
  std::snprintf(line, sizeof line, "scan  [%s] %3d%%  %s/s  remaining %s  fragments %llu",
                bar.c_str(), percent, FormatBytes(static_cast<uint64_t>(rate)).c_str(),
                remaining.c_str(), static_cast<unsigned long long>(fragments_));
  Emit(line);
}

void ProgressReporter::WriteProgress(uint64_t record, uint64_t records) { Counted("write", "record", record, records); }

void ProgressReporter::JoinProgress(uint64_t piece, uint64_t pieces) { Counted("join ", "piece", piece, pieces); }

void ProgressReporter::RetryProgress(uint64_t tried, uint64_t total) {
  const int percent = total > 0 ? static_cast<int>(tried * 100 / total) : 100;
  Staged("retry", percent, FormatBytes(tried) + " of the " + FormatBytes(total) + " the first pass could not read");
}

void ProgressReporter::Counted(const char* stage, const char* unit, uint64_t index, uint64_t count) {
  // Called once per record: the text is made only when the percentage moves.
  const int percent = count > 1 ? static_cast<int>(index * 100 / (count - 1)) : 100;
  if (quiet_ || (stage_ == stage && percent == lastPercent_)) return;
  Staged(stage, percent, std::string(unit) + " " + std::to_string(index + 1) + " of " + std::to_string(count));
}

void ProgressReporter::Staged(const char* stage, int percent, const std::string& detail) {
  if (quiet_) return;
  if (stage_ != stage) {
    stage_ = stage;
    lastPercent_ = -1;
    Finish();
  }
  if (percent == lastPercent_ || !Due(std::chrono::steady_clock::now(), percent)) return;
  char line[256];
  std::snprintf(line, sizeof line, "%s %3d%%  %s", stage, percent, detail.c_str());
  Emit(line);
}

void ProgressReporter::Finish() {
  if (lineOpen_) {
    std::fputc('\n', out_);
    std::fflush(out_);
    lineOpen_ = false;
  }
}

}  // namespace korvid::cli
