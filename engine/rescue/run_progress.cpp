#include "engine/rescue/run_progress.h"

#include <algorithm>

#include "engine/errors.h"
#include "engine/file_path.h"
#include "engine/sector_reader.h"

namespace korvid {
namespace {

// How much of the source's start tells it from another.
constexpr size_t FirstSectorsBytes = 4096;

}  // namespace

RunProgress::RunProgress(const std::filesystem::path& folder, SourceDevice& source, std::vector<ByteRange> stretches,
                         uint64_t scope, RescueMap& map)
    : file_(folder), source_(source), stretches_(std::move(stretches)), scope_(scope), map_(map) {
  std::vector<uint8_t> first(static_cast<size_t>(std::min<int64_t>(FirstSectorsBytes, source.Size())));
  ReadSectors(source, 0, first.data(), first.size(), 0, 0);
  firstSectors_ = DigestOf(first.data(), first.size());
}

std::vector<ByteRange> RunProgress::Resume(FragmentList& records, PieceCollection* pieces, ScanStart& start,
                                           bool& scanEnded) {
  SavedScan saved = file_.Load();
  const std::string path = PathText(file_.MapPath());
  if (saved.SourceSize != source_.Size() || saved.FirstSectors != firstSectors_) {
    throw KorvidError(ErrorKind::ProgressUnusable, path,
                      "it was made for another source (" + std::to_string(saved.SourceSize) + " bytes; this one has " +
                          std::to_string(source_.Size()) + ", or other first sectors).");
  }
  if (saved.Scope != scope_) {
    throw KorvidError(ErrorKind::ProgressUnusable, path, "it was made by a run of another mode or of other stretches.");
  }
  // The states the earlier run left, within what this run scans.
  for (const auto& [run, state] : saved.Runs) map_.MarkWithin(run, state, stretches_);
  records = std::move(saved.Records);
  if (pieces != nullptr) {
    *pieces = std::move(saved.Pieces);
  } else if (!saved.Pieces.Pieces.empty() || saved.Pieces.DroppedRecords > 0) {
    throw KorvidError(ErrorKind::ProgressUnusable, path, "it was made by a run that joins pieces, and this one does not.");
  }
  scanEnded = saved.Complete;
  std::vector<ByteRange> left;
  if (scanEnded) return left;
  for (const ByteRange& s : stretches_) {
    const int64_t from = std::max(s.Offset, saved.Position), to = s.Offset + s.Length;
    if (from < to) left.push_back({from, to - from});
  }
  start.Carried = std::move(saved.Carried);
  start.End = saved.Position;
  return left;
}

void RunProgress::Save(const FragmentList& records, const PieceCollection* pieces, std::span<const uint8_t> carried,
                       int64_t position, bool complete) {
  SavedScan scan;
  scan.SourceSize = source_.Size();
  scan.FirstSectors = firstSectors_;
  scan.Scope = scope_;
  scan.Position = position;
  scan.Complete = complete;
  scan.Carried.assign(carried.begin(), carried.end());
  // The reading threads run ahead of the records: what lies past `position` is saved unread.
  for (auto [run, state] : map_.Runs()) {
    if (!complete && state != SectorState::Outside && run.Offset + run.Length > position) {
      if (run.Offset < position) {
        scan.Runs.push_back({{run.Offset, position - run.Offset}, state});
        run = {position, run.Offset + run.Length - position};
      }
      state = SectorState::NonTried;
    }
    if (!scan.Runs.empty() && scan.Runs.back().second == state) {
      scan.Runs.back().first.Length += run.Length;
    } else {
      scan.Runs.push_back({run, state});
    }
  }
  file_.Save(scan, records, pieces);
}

}  // namespace korvid
