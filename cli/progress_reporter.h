#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

#include "cli/console.h"
#include "engine/run_control.h"

namespace korvid::cli {

// Reports a run on stderr: a redrawn bar on a terminal, a line now and then otherwise.
class ProgressReporter : public RunObserver {
 public:
  ProgressReporter(std::FILE* out, bool terminal, bool quiet);

  bool StopRequested() override { return InterruptRequested(); }
  void ScanProgress(int64_t scanned, int64_t total) override;
  void FragmentsFound(uint64_t count) override { fragments_ = count; }
  void WriteProgress(uint64_t record, uint64_t records) override;
  void JoinProgress(uint64_t piece, uint64_t pieces) override;
  void RetryProgress(uint64_t tried, uint64_t total) override;
  // Ends the bar's line so that what follows starts on a fresh one.
  void Finish();

 private:
  bool Due(std::chrono::steady_clock::time_point now, int percent);
  // A line for a stage that counts things (records written, pieces joined): `stage` names it.
  void Counted(const char* stage, const char* unit, uint64_t index, uint64_t count);
  // A line of a stage after the scan: its percentage and what it has done.
  void Staged(const char* stage, int percent, const std::string& detail);
  void Emit(const char* line);

  std::FILE* out_;
  bool terminal_;
  bool quiet_;
  std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point lastShown_{};
  int lastPercent_ = -1;
  uint64_t fragments_ = 0;
  bool lineOpen_ = false;
  const char* stage_ = nullptr;  // the counting stage shown last
};

}  // namespace korvid::cli
