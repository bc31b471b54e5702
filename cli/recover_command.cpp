#include "cli/recover_command.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <system_error>

#include "cli/console.h"
#include "cli/format.h"
#include "cli/progress_reporter.h"
#include "cli/summary.h"
#include "engine/errors.h"
#include "engine/file_path.h"
#include "engine/rescue/progress_file.h"
#include "engine/sample_header.h"
#include "engine/scan_driver.h"
#include "sources/cache_folder.h"
#include "sources/open_source.h"
#include "sources/source_catalog.h"

namespace korvid::cli {
namespace {

namespace fs = std::filesystem;

ScanMode ModeFromName(const std::string& name) {
  if (name == "container") return ScanMode::Container;
  return name == "free-space" ? ScanMode::FreeSpace : ScanMode::WholeDisk;
}

// The free space of the source's file system(s), or none (the whole source) when its
// allocation data cannot be read; says which on stderr.
std::optional<std::vector<ByteRange>> FreeSpaceOf(const std::string& sourcePath, bool quiet) {
  try {
    sources::FreeExtents extents = sources::LoadFreeExtents(sourcePath);
    int64_t bytes = 0;
    for (const ByteRange& range : extents.Ranges) bytes += range.Length;
    if (!quiet) {
      std::fprintf(stderr, "free space: %s in %zu extents (clusters of %u bytes, %u of %u free)\n",
                   FormatBytes(static_cast<uint64_t>(bytes)).c_str(), extents.Ranges.size(),
                   extents.SectorsPerCluster * extents.BytesPerSector, extents.FreeClusters, extents.TotalClusters);
    }
    return std::move(extents.Ranges);
  } catch (const KorvidError& e) {
    std::fprintf(stderr, "korvid-cli: %s\nThe free space cannot be told apart: scanning the whole source.\n", e.what());
    return std::nullopt;
  }
}

// An empty text when the folder can take the output files, else why not.
std::string CheckOutputFolder(const fs::path& folder) {
  std::error_code error;
  const fs::file_status status = fs::status(folder, error);
  const std::string name = PathText(folder);
  if (!fs::exists(status)) return "The output folder \"" + name + "\" does not exist.";
  if (!fs::is_directory(status)) return "The output folder \"" + name + "\" is not a folder.";
  if (const std::string problem = sources::FolderWriteProblem(folder); !problem.empty()) {
    return "The output folder \"" + name + "\" cannot be written. " + problem;
  }
  return {};
}

// The name of a file an earlier run wrote into `folder` ("1.AVI", "2.MP4", "3 CH01_0001.AVI",
// ...), or "".
std::string EarlierOutput(const fs::path& folder) {
  static const std::string Kinds[] = {".AVI", ".MP4", ".MOV", ".3GP", ".M4V", ".MXF"};
  std::error_code error;
  for (const fs::directory_entry& entry : fs::directory_iterator(folder, error)) {
    const std::string name = PathText(entry.path().filename());
    const size_t digits = name.find_first_not_of("0123456789");
    const size_t dot = name.rfind('.');
    if (digits > 0 && digits != std::string::npos && dot != std::string::npos &&
        std::find(std::begin(Kinds), std::end(Kinds), name.substr(dot)) != std::end(Kinds) &&
        (digits == dot || name[digits] == ' ')) {
      return name;
    }
  }
  return {};
}

// Why the sample cannot serve the mode, or "".
std::string SampleMismatch(SampleKind kind, ScanMode mode, const std::string& sample) {
  if (SampleServesMode(kind, mode)) return {};
  if (kind == SampleKind::Avi) {
    return "The sample \"" + sample + "\" is an AVI file; container mode recovers MP4, MOV, 3GP and MXF files and "
           "needs an MP4, MOV or MXF sample from the same camera. For AVI recordings use --mode whole-disk or "
           "free-space.";
  }
  return "The sample \"" + sample + "\" is an " + (kind == SampleKind::Mxf ? "MXF" : "MP4/MOV") +
         " file; the whole-disk and free-space modes recover AVI recordings and need an AVI sample from the same "
         "device. For MP4, MOV and MXF recordings use --mode container.";
}

// The ranges a GNU ddrescue map of the source did not rescue; raises KorvidError when the file
// is no such map or describes a source of another size.
std::vector<ByteRange> KnownBadRanges(const fs::path& path, int64_t sourceSize) {
  std::vector<ByteRange> bad;
  int64_t covered = 0;
  for (const auto& [range, state] : ReadDdrescueMap(path)) {
    covered = std::max(covered, range.Offset + range.Length);
    if (state != SectorState::Finished) bad.push_back(range);
  }
  if (covered != sourceSize) {
    throw KorvidError(ErrorKind::ProgressUnusable, PathText(path),
                      "it maps " + std::to_string(covered) + " bytes; the source has " + std::to_string(sourceSize) + ".");
  }
  return bad;
}

int UsageError(const std::string& message) {
  std::fprintf(stderr, "korvid-cli: %s\n", message.c_str());
  return ExitUsage;
}

}  // namespace

int RunRecoverCommand(const RecoverOptions& options) {
  const auto started = std::chrono::steady_clock::now();
  const bool container = ModeFromName(options.Mode) == ScanMode::Container;
  if (container && (options.Deep || options.RepairHeaders.value_or(false) || options.NoReassemble ||
                    options.KeepUndecodable)) {
    const char* flag = options.Deep ? "--deep"
                       : options.RepairHeaders.value_or(false) ? "--repair-headers"
                       : options.NoReassemble ? "--no-reassemble"
                                              : "--keep-undecodable";
    return UsageError(std::string(flag) +
                      " works on AVI chunks: use it with the whole-disk or free-space mode, not container.");
  }
  const bool deep = !container && !options.Plain;

  std::string sourcePath;
  std::unique_ptr<SourceDevice> source;
  try {
    sourcePath = sources::SourcePathFor(options.Source);
    source = sources::OpenSource(sourcePath);
  } catch (const KorvidError& e) {
    return UsageError(e.what());
  }
  std::vector<ByteRange> knownBad;
  if (!options.KnownMap.empty()) {
    try {
      knownBad = KnownBadRanges(PathFromText(options.KnownMap), source->Size());
    } catch (const KorvidError& e) {
      return UsageError(e.what());
    }
  }
  // The texts of the command line are UTF-8; the paths hold whatever the system's names need.
  const fs::path outputFolder = PathFromText(options.Output);
  const fs::path sample = PathFromText(options.Sample);
  // A folder to be made is judged by the folder it would be made in: making it on the device
  // being recovered would already write there.
  fs::path existing = outputFolder.empty() ? fs::path(".") : outputFolder;
  std::error_code error;
  while (!fs::exists(existing, error) && existing.has_parent_path() && existing.parent_path() != existing) {
    existing = existing.parent_path();
  }
  if (!options.AllowSameDevice && sources::OutputOnSourceDevice(sourcePath, existing)) {
    return UsageError("The output folder \"" + options.Output + "\" lies on the device being recovered (" +
                      options.Source + "): writing there would overwrite the recordings. "
                      "Choose a folder on another disk, or pass --allow-same-device.");
  }
  SampleHeader header;
  try {
    header = CacheSample(sample, sources::DefaultCacheFolder());
  } catch (const KorvidError& e) {
    return UsageError(e.what());
  }
  if (const std::string mismatch = SampleMismatch(header.Kind, ModeFromName(options.Mode), options.Sample);
      !mismatch.empty()) {
    return UsageError(mismatch);
  }

  if (options.Resume && !ProgressFile(outputFolder).Exists()) {
    return UsageError("The output folder \"" + options.Output + "\" holds no progress file (" +
                      PathText(ProgressFile(outputFolder).MapPath().filename()) + ") to go on from.");
  }
  // Made last, once every input is known to be good, so that a refused run leaves nothing.
  if (!outputFolder.empty() && !fs::exists(outputFolder, error)) {
    fs::create_directories(outputFolder, error);
    if (error) {
      return UsageError("The output folder \"" + options.Output + "\" cannot be made. " + error.message());
    }
  }
  if (std::string problem = CheckOutputFolder(outputFolder); !problem.empty()) return UsageError(problem);
  // The progress of an interrupted run is not thrown away unasked.
  if (!options.Overwrite && !options.Resume && ProgressFile(outputFolder).Exists()) {
    return UsageError("The output folder \"" + options.Output + "\" holds the progress of an interrupted run (" +
                      PathText(ProgressFile(outputFolder).MapPath().filename()) +
                      "): pass --resume to go on with it, or --overwrite to start again.");
  }
  // A resumed run writes the files of the run it goes on with.
  if (!options.Overwrite && !options.Resume) {
    if (const std::string earlier = EarlierOutput(outputFolder); !earlier.empty()) {
      return UsageError("The output folder \"" + options.Output + "\" already holds recovered files (" + earlier +
                        "); a new run would replace them. Choose an empty folder, or pass --overwrite.");
    }
  }

  RunOutcome outcome;
  outcome.SourcePath = options.Source;
  outcome.Mode = options.Mode;
  outcome.OutputFolder = options.Output;

  RecoveryRequest request;
  request.Source = source.get();
  request.Mode = ModeFromName(options.Mode);
  request.OutputFolder = outputFolder;
  request.Header = std::move(header.Bytes);
  request.Deep = deep;
  request.RepairHeaders = options.RepairHeaders.value_or(deep);
  request.Reassemble = deep && request.RepairHeaders && !options.NoReassemble;
  request.KeepUndecodable = options.KeepUndecodable;
  request.ProgressFolder = outputFolder;
  request.Resume = options.Resume;
  request.KnownBad = std::move(knownBad);
  request.Retry.Passes = options.RetryPasses;
  if (options.MaxBadSeconds) request.Retry.MaxSeconds = *options.MaxBadSeconds;
  if (request.Mode == ScanMode::FreeSpace) request.Ranges = FreeSpaceOf(sourcePath, options.Quiet);
  request.LoadGeometry = [](SourceDevice& source) { return sources::LoadClusterGeometry(source); };
  request.LoadEntries = [](SourceDevice& source) { return sources::LoadSourceEntries(source); };
  request.NameFromSource = options.NameFromSource;

  InstallInterruptHandler();
  ProgressReporter progress(stderr, IsInteractiveTerminal(stderr), options.Quiet);
  try {
    RunRecovery(request, progress, outcome.Report);
  } catch (const std::exception& e) {
    outcome.Error = e.what();
  }
  progress.Finish();
  if (!outcome.Report.HeaderProblem.empty()) {
    std::fprintf(stderr,
                 "korvid-cli: warning: the sample's header cannot be read (%s); the files are written behind a "
                 "plain copy of it, without repair.\n",
                 outcome.Report.HeaderProblem.c_str());
  }
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
