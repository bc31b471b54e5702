#include "cli/summary.h"

#include <algorithm>
#include <string>

#include "cli/file_table.h"
#include "cli/format.h"
#include "engine/file_path.h"

namespace korvid::cli {
namespace {

double Rate(double bytes, double seconds) { return seconds > 0 ? bytes / seconds : 0; }

const char* GeometryText(GeometrySource from) {
  switch (from) {
    case GeometrySource::FileSystem: return "file system";
    case GeometrySource::Inferred: return "inferred";
    case GeometrySource::None: break;
  }
  return "none";
}

std::string Numbers(const std::vector<uint64_t>& values) {
  std::string text;
  for (uint64_t n : values) {
    if (!text.empty()) text += ',';
    text += std::to_string(n);
  }
  return text;
}

// Ranges as JSON pairs [start, end].
std::string Ranges(const std::vector<ByteRange>& ranges) {
  std::string text;
  for (const ByteRange& r : ranges) {
    if (!text.empty()) text += ',';
    text += "[" + std::to_string(r.Offset) + "," + std::to_string(r.Offset + r.Length) + "]";
  }
  return text;
}

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
  const bool container = outcome.Mode == "container";
  std::fprintf(out, "  %s  %llu\n", container ? "signatures found" : "fragments found ", U(r.FragmentsFound));
  if (!container) std::fprintf(out, "  chains           %llu\n", U(w.Chains));
  std::fprintf(out, "  files written    %zu in %s\n", complete, outcome.OutputFolder.c_str());
  if (container && complete > 0) {
    std::string kinds;
    uint64_t rebuilt = 0, brokenOff = 0;
    for (const KindCount& k : FilesByKind(w)) {
      kinds += (kinds.empty() ? "" : ", ") + std::to_string(k.Files) + " " + k.Kind;
      rebuilt += k.Rebuilt;
      brokenOff += k.BrokenOff;
    }
    std::fprintf(out, "  by kind          %s\n", kinds.c_str());
    if (rebuilt > 0) std::fprintf(out, "  rebuilt          %llu cut off before their index, given a new one\n", U(rebuilt));
    if (brokenOff > 0) {
      std::fprintf(out, "  broken off       %llu written as they lay (%s)\n", U(brokenOff),
                   "their index is lost or points past them; an MP4 sample of the same camera rebuilds cut-off MP4s");
    }
  }
  std::fprintf(out, "  bytes written    %s (%llu bytes)\n", FormatBytes(w.BytesWritten).c_str(), U(w.BytesWritten));
  std::fprintf(out, "  unreadable bytes %llu while scanning, %llu in written files\n",
               U(r.UnreadableScanBytes), U(w.UnreadableBytes));
  if (!r.UnreadableRanges.empty()) {
    // The first few, as byte offsets [start, end); --json lists them all.
    constexpr size_t Shown = 6;
    std::string ranges;
    for (size_t i = 0; i < std::min(Shown, r.UnreadableRanges.size()); ++i) {
      const ByteRange& u = r.UnreadableRanges[i];
      ranges += (i == 0 ? "" : ", ") + std::to_string(u.Offset) + "-" + std::to_string(u.Offset + u.Length);
    }
    if (r.UnreadableRanges.size() > Shown) ranges += ", and " + std::to_string(r.UnreadableRanges.size() - Shown) + " more";
    std::fprintf(out, "  unreadable at    %s (%zu ranges, zeros in the files)\n", ranges.c_str(), r.UnreadableRanges.size());
  }
  std::fprintf(out, "  elapsed          %.2f s (scan %.2f s, write %.2f s)\n", outcome.ElapsedSeconds,
               r.ScanSeconds, r.WriteSeconds);
  std::fprintf(out, "  throughput       scan %s/s, write %s/s\n",
               FormatBytes(U(Rate(static_cast<double>(r.BytesScanned), r.ScanSeconds))).c_str(),
               FormatBytes(U(Rate(static_cast<double>(w.BytesWritten), r.WriteSeconds))).c_str());
  uint64_t frames = 0;
  for (const WrittenFile& f : w.Files) {
    for (uint64_t n : f.FramesPerStream) frames += n;
  }
  std::fprintf(out, "  frames written   %llu video frames, %llu %s in all\n", U(VideoFramesWritten(r)), U(frames),
               container ? "samples" : "chunks");
  if (w.Reassembled) {
    std::fprintf(out, "  recordings       %llu joined from %llu pieces; %llu pieces found\n", U(w.JoinedRecordings),
                 U(w.PiecesInJoined), U(w.Chains));
    if (w.Geometry == GeometrySource::None) {
      std::fprintf(out, "  clusters         unknown: no file system found and too few pieces break to tell\n");
    } else {
      std::fprintf(out, "  clusters         %lld bytes, %s\n", S(w.ClusterSize),
                   w.Geometry == GeometrySource::FileSystem ? "from the file system" : "inferred from the pieces");
    }
    if (w.SoundOnlyLeftOut > 0) {
      std::fprintf(out, "  left out         %llu stretches of sound whose pictures are lost\n", U(w.SoundOnlyLeftOut));
    }
    if (w.FramesLeftOut > 0) {
      std::fprintf(out, "  left out         %llu video frames before a keyframe (--keep-undecodable keeps them)\n",
                   U(w.FramesLeftOut));
    }
  }
  if (complete == 0 && outcome.Error.empty()) {
    std::fprintf(out, container ? "No MP4, MOV, 3GP or MXF file was found: nothing was written.\n"
                                : "No chain of video chunks was found: nothing was written.\n");
  }
  for (const WrittenFile& f : w.Files) {
    if (!f.Complete) {
      std::fprintf(out, "  incomplete: %s (%s)\n", PathText(f.Path).c_str(), FormatBytes(f.Bytes).c_str());
    }
  }
  PrintFileTable(out, w);
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
  std::string kinds;
  for (const KindCount& k : FilesByKind(w)) {
    kinds += (kinds.empty() ? "" : ",") + JsonString(k.Kind) + ":{\"files\":" + std::to_string(k.Files) +
             ",\"rebuilt\":" + std::to_string(k.Rebuilt) + ",\"broken_off\":" + std::to_string(k.BrokenOff) + "}";
  }
  std::fprintf(out, "\"kinds\":{%s},", kinds.c_str());
  std::fprintf(out, "\"unreadable_scan_bytes\":%llu,\"unreadable_written_bytes\":%llu,",
               U(r.UnreadableScanBytes), U(w.UnreadableBytes));
  std::fprintf(out, "\"unreadable_ranges\":[%s],", Ranges(r.UnreadableRanges).c_str());
  std::fprintf(out, "\"elapsed_seconds\":%.3f,\"scan_seconds\":%.3f,\"write_seconds\":%.3f,",
               outcome.ElapsedSeconds, r.ScanSeconds, r.WriteSeconds);
  std::fprintf(out, "\"scan_bytes_per_second\":%.0f,\"write_bytes_per_second\":%.0f,",
               Rate(static_cast<double>(r.BytesScanned), r.ScanSeconds),
               Rate(static_cast<double>(w.BytesWritten), r.WriteSeconds));
  if (w.Reassembled) {
    std::fprintf(out,
                 "\"reassembly\":{\"geometry\":%s,\"cluster_size\":%lld,\"pieces\":%llu,"
                 "\"joined_recordings\":%llu,\"pieces_joined\":%llu,\"frames_left_out\":%llu,"
                 "\"sound_only_left_out\":%llu,\"seconds\":%.3f},",
                 JsonString(GeometryText(w.Geometry)).c_str(), S(w.ClusterSize), U(w.Chains), U(w.JoinedRecordings),
                 U(w.PiecesInJoined), U(w.FramesLeftOut), U(w.SoundOnlyLeftOut), w.ReassemblySeconds);
  } else {
    std::fprintf(out, "\"reassembly\":null,");
  }
  std::fprintf(out, "\"stopped\":%s,\"error\":%s,\"header_problem\":%s,\"files\":[", r.Stopped ? "true" : "false",
               outcome.Error.empty() ? "null" : JsonString(outcome.Error).c_str(),
               r.HeaderProblem.empty() ? "null" : JsonString(r.HeaderProblem).c_str());
  for (size_t i = 0; i < w.Files.size(); ++i) {
    const WrittenFile& f = w.Files[i];
    const std::string extents = Ranges(f.Extents);
    std::fprintf(out,
                 "%s{\"path\":%s,\"source_start\":%lld,\"source_end\":%lld,\"records\":%llu,"
                 "\"bytes\":%llu,\"unreadable_bytes\":%llu,\"complete\":%s,\"repaired\":%s,"
                 "\"frames\":[%s],\"duration_seconds\":%.3f,\"pieces\":%llu,\"extents\":[%s],"
                 "\"frames_left_out\":[%s],\"kind\":%s,\"intact\":%s,\"rebuilt\":%s%s}",
                 i == 0 ? "" : ",", JsonString(PathText(f.Path)).c_str(), S(f.SourceStart), S(f.SourceEnd),
                 U(f.Records), U(f.Bytes), U(f.UnreadableBytes), f.Complete ? "true" : "false",
                 f.Repaired ? "true" : "false", Numbers(f.FramesPerStream).c_str(), f.DurationSeconds, U(f.Pieces),
                 extents.c_str(), Numbers(f.FramesLeftOut).c_str(), JsonString(f.Kind).c_str(),
                 f.Intact ? "true" : "false", f.Rebuilt ? "true" : "false", SourceJsonMembers(f).c_str());
  }
  std::fprintf(out, "]}\n");
}

}  // namespace korvid::cli
