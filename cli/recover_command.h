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
  bool Deep = false;
  // Unset: on with Deep, off otherwise.
  std::optional<bool> RepairHeaders;
};

// Checks the inputs, caches the sample header, runs the recovery and prints its summary.
// Returns the exit code.
int RunRecoverCommand(const RecoverOptions& options);

}  // namespace korvid::cli
