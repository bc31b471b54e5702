#pragma once

#include <optional>
#include <string>

namespace korvid::cli {

// Exit codes of korvid-cli.
inline constexpr int ExitDone = 0;
inline constexpr int ExitFailed = 1;
inline constexpr int ExitUsage = 2;
inline constexpr int ExitInterrupted = 130;

struct RecoverOptions {
  std::string Source;
  std::string Sample;
  std::string Output;
  std::string Mode = "whole-disk";
  bool Json = false;
  bool Quiet = false;
  bool AllowSameDevice = false;
  bool Overwrite = false;
  bool Deep = false;   // --deep: what the AVI modes do unless Plain
  bool Plain = false;  // plain copies of the video chunk chains, as recorders' own tools make
  // Unset: on with deep chunk following, off otherwise.
  std::optional<bool> RepairHeaders;
  bool NoReassemble = false;
  bool KeepUndecodable = false;
  // How often and how long the scan comes back for what its first pass could not read.
  unsigned RetryPasses = 1;
  std::optional<double> MaxBadSeconds;
  bool Resume = false;      // go on from the progress file in the output folder
  std::string KnownMap;     // a GNU ddrescue map of the source: its bad areas are not tried
  bool NameFromSource = false;  // "1 CH01_20261208_150000.AVI": named after the directory entry
};

// Checks the inputs, caches the sample header, runs the recovery and prints its summary.
// Returns the exit code.
int RunRecoverCommand(const RecoverOptions& options);

}  // namespace korvid::cli
