#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <vector>

#include "engine/fragment.h"
#include "engine/rescue/progress_file.h"
#include "engine/rescue/rescue_map.h"
#include "engine/scan_ranges.h"
#include "engine/source_device.h"

namespace korvid {

// Where a first pass goes on: the bytes carried in from before `End`, whose hits need the bytes
// after it.
struct ScanStart {
  std::vector<uint8_t> Carried;
  int64_t End = 0;
};

// A run's progress file: what the run saves as it goes, and what a resumed run takes from it.
class RunProgress {
 public:
  // `scope`: a digest of what the run scans (mode and stretches), which a resumed run must share.
  RunProgress(const std::filesystem::path& folder, SourceDevice& source, std::vector<ByteRange> stretches,
              uint64_t scope, RescueMap& map);

  // Takes the earlier run's progress: the map's states, the records it found (and the pieces it
  // took records into, for a run that does), and where its first pass stands. Raises KorvidError
  // (ProgressUnusable) when it is damaged or was made for another source or scope. Returns the
  // stretches the first pass still has to scan (none once the scan had ended).
  std::vector<ByteRange> Resume(FragmentList& records, PieceCollection* pieces, ScanStart& start, bool& scanEnded);

  // Saves the records found, the pieces taken, and the map, the first pass having scanned the
  // stretches up to `position`; `complete`: the scan has ended.
  void Save(const FragmentList& records, const PieceCollection* pieces, std::span<const uint8_t> carried,
            int64_t position, bool complete);
  // The run has written its files: nothing is left to go on with.
  void Finish() { file_.Remove(); }

 private:
  ProgressFile file_;
  SourceDevice& source_;
  const std::vector<ByteRange> stretches_;
  const uint64_t scope_;
  RescueMap& map_;
  uint64_t firstSectors_ = 0;
};

}  // namespace korvid
