#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "fragment_writer.h"
#include "engine/naming/source_entry.h"
#include "rescue/come_back.h"
#include "sample_header.h"
#include "scan_ranges.h"
#include "run_control.h"
#include "source_device.h"

namespace korvid {

// The source is read in chunks of this many bytes, at offsets that are multiples of it.
inline constexpr int64_t ScanChunkSize = 262144;

enum class ScanMode {
  Container,  // ISO media and MXF signatures
  WholeDisk,  // AVI video chunks over the whole source
  FreeSpace,  // AVI video chunks in the free space of a file system
};

// The signature texts that a mode searches for.
const std::vector<std::string>& PatternsFor(ScanMode mode);

// Whether a sample of this kind serves the mode: the AVI modes put an AVI sample's head in front
// of their files; container mode rebuilds with an MP4 or MOV sample's movie box (an MXF sample
// serves it too, for MXF recordings).
bool SampleServesMode(SampleKind kind, ScanMode mode);

struct RecoveryRequest {
  SourceDevice* Source = nullptr;
  ScanMode Mode = ScanMode::WholeDisk;
  std::filesystem::path OutputFolder;
  // The sample's cached head: an AVI header written in front of every chain, or what container
  // mode takes from an MP4, MOV or MXF sample.
  std::vector<uint8_t> Header;
  // The stretches to scan (the free space of the file system, in free-space mode), ascending and
  // disjoint; they are widened to whole 512-byte sectors. None: the whole source.
  std::optional<std::vector<ByteRange>> Ranges;
  // Whole-disk and free-space modes: follow every chunk an AVI movi list holds (sound, text,
  // indexes, padding, lists), not only video frames.
  bool Deep = false;
  // Give each file a header and an index that describe what it holds.
  bool RepairHeaders = false;
  // Deep repaired files: join the pieces of each recording into one file.
  bool Reassemble = false;
  // Reads the cluster grids of the source's file systems, after the scan and through what it
  // learnt of the source; none, or no grid: inferred from the pieces.
  std::function<ClusterGeometry(SourceDevice&)> LoadGeometry;
  // Reads the directory entries, live and deleted, of the source's file systems, after the
  // files are written; each file is matched to its entry and given its times (NameFiles).
  // None: the files keep their numbers and times.
  std::function<std::vector<SourceEntry>(SourceDevice&)> LoadEntries;
  // The files are named after their entries: "1 CH01_20261208_150000.AVI".
  bool NameFromSource = false;
  // Repaired files keep the video frames before their first keyframe.
  bool KeepUndecodable = false;
  // How long the scan may spend coming back for what its first pass could not read.
  RetryLimits Retry;
  // The run keeps its progress in this folder (korvid-progress.map and its records), saved every
  // 30 seconds (or hundredth of the source) while the first pass runs and when the scan ends, and removed once
  // the files are written; a stopped or failed run leaves it. None: it keeps none.
  std::optional<std::filesystem::path> ProgressFolder;
  // Goes on from the progress an earlier run of the same source and mode saved there: nothing
  // it scanned is read again. A progress file that does not fit raises KorvidError
  // (ProgressUnusable) before anything is read but the source's first sectors.
  bool Resume = false;
  // Ranges that imaging the source could not read (a GNU ddrescue map's): not tried at all.
  std::vector<ByteRange> KnownBad;
};

struct RecoveryReport {
  int64_t SourceSize = 0;
  int64_t BytesScanned = 0;
  uint64_t FragmentsFound = 0;
  uint64_t UnreadableScanBytes = 0;  // source bytes the scan could not read
  std::vector<ByteRange> UnreadableRanges;  // the same, as ascending ranges
  bool Stopped = false;              // the scan ended early at the user's request
  double ScanSeconds = 0;
  double WriteSeconds = 0;
  WriteReport Write;
  // Why the sample's header could not be read when it was needed (deep chains or repaired
  // headers): the files were then written behind a plain copy of it. Empty otherwise.
  std::string HeaderProblem;
  // The fccType of each stream the sample's header declares; empty when it cannot be read.
  std::vector<uint32_t> StreamTypes;
};

// Video frames in the files written: chunks of the video streams (samples of the video tracks),
// or of every stream when the streams are unknown.
uint64_t VideoFramesWritten(const RecoveryReport& report);

// The files written of each kind, in the order the kinds first occur.
struct KindCount {
  std::string Kind;  // "AVI", "MP4", "MOV", "3GP", "M4V", "MXF"
  uint64_t Files = 0;
  uint64_t Rebuilt = 0;  // of them, recordings cut off before their index and given a new one
  uint64_t BrokenOff = 0;  // of them, files whose structure broke off, written as they lay
};
std::vector<KindCount> FilesByKind(const WriteReport& report);

// One recovery: scans the source for the mode's signatures, then writes every chain of
// back-to-back chunks behind the sample's header, or in container mode every file found. A
// sample that does not serve the mode raises KorvidError (WrongSample) before anything is read. `report` holds what was done
// even when the run ends in a KorvidError, which is raised after the files found so far have
// been written (a failure of the scan) or with the files completed so far (a failure of the
// writer).
void RunRecovery(const RecoveryRequest& request, RunObserver& observer, RecoveryReport& report);

}  // namespace korvid
