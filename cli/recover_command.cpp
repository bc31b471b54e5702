#include "cli/recover_command.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <system_error>

#include "cli/progress_reporter.h"
#include "cli/summary.h"
#include "engine/errors.h"
#include "engine/sample_header.h"
#include "engine/scan_driver.h"
#include "sources/cache_folder.h"
#include "sources/open_source.h"

namespace korvid::cli {
namespace {

namespace fs = std::filesystem;

ScanMode ModeFromName(const std::string& name) {
  return name == "container" ? ScanMode::Container : ScanMode::WholeDisk;
}

// An empty text when the folder can take the output files, else why not.
std::string CheckOutputFolder(const fs::path& folder) {
  std::error_code error;
  const fs::file_status status = fs::status(folder, error);
  if (!fs::exists(status)) return "The output folder \"" + folder.string() + "\" does not exist.";
  if (!fs::is_directory(status)) return "The output folder \"" + folder.string() + "\" is not a folder.";
  if (::access(folder.c_str(), W_OK | X_OK) != 0) {
    return "The output folder \"" + folder.string() + "\" cannot be written. " + SystemErrorText(errno);
  }
  return {};
}

int UsageError(const std::string& message) {
  std::fprintf(stderr, "korvid-cli: %s\n", message.c_str());
  return ExitUsage;
}

}  // namespace

int RunRecoverCommand(const RecoverOptions& options) {
  const auto started = std::chrono::steady_clock::now();

  std::unique_ptr<SourceDevice> source;
  try {
    source = sources::OpenSource(options.Source);
  } catch (const KorvidError& e) {
    return UsageError(e.what());
  }
  if (std::string problem = CheckOutputFolder(options.Output); !problem.empty()) return UsageError(problem);
  if (!options.AllowSameDevice && sources::OutputOnSourceDevice(options.Source, options.Output)) {
    return UsageError("The output folder \"" + options.Output + "\" lies on the device being recovered (" +
                      options.Source + "): writing there would overwrite the recordings. "
                      "Choose a folder on another disk, or pass --allow-same-device.");
  }

  fs::path cacheFile;
  try {
    const uint32_t headerLength = FindHeaderLength(options.Sample);
    cacheFile = CacheSampleHeader(options.Sample, headerLength, sources::DefaultCacheFolder());
  } catch (const KorvidError& e) {
    return UsageError(e.what());
  }

  RunOutcome outcome;
  outcome.SourcePath = options.Source;
  outcome.Mode = options.Mode;
  outcome.OutputFolder = options.Output;

  RecoveryRequest request;
  request.Source = source.get();
  request.Mode = ModeFromName(options.Mode);
  request.OutputFolder = options.Output;
  request.SampleCachePath = cacheFile;

  InstallInterruptHandler();
  ProgressReporter progress(stderr, ::isatty(STDERR_FILENO) != 0, options.Quiet);
  try {
    RunRecovery(request, progress, outcome.Report);
  } catch (const std::exception& e) {
    outcome.Error = e.what();
  }
  progress.Finish();
  outcome.ElapsedSeconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

  if (!outcome.Error.empty()) std::fprintf(stderr, "korvid-cli: %s\n", outcome.Error.c_str());
  if (options.Json) {
    PrintSummaryJson(stdout, outcome);
  } else if (!options.Quiet) {
    PrintSummaryText(stdout, outcome);
  }
  if (!outcome.Error.empty()) return ExitFailed;
  return outcome.Report.Stopped ? ExitInterrupted : ExitDone;
}

}  // namespace korvid::cli
