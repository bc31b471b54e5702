#pragma once

#include <cstdio>
#include <string>

#include "engine/scan_driver.h"

namespace korvid::cli {

struct RunOutcome {
  std::string SourcePath;
  std::string Mode;
  std::string OutputFolder;
  double ElapsedSeconds = 0;
  std::string Error;  // empty when the run succeeded
  RecoveryReport Report;
};

void PrintSummaryText(std::FILE* out, const RunOutcome& outcome);
void PrintSummaryJson(std::FILE* out, const RunOutcome& outcome);

}  // namespace korvid::cli
