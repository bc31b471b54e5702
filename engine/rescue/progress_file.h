#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "engine/fragment.h"
#include "engine/rescue/rescue_map.h"
#include "engine/scan_ranges.h"

namespace korvid {

// What a run has done so far, kept so that another run goes on from it.
struct SavedScan {
  int64_t SourceSize = 0;
  uint64_t FirstSectors = 0;  // a digest of the source's first sectors, to know it again
  uint64_t Scope = 0;         // a digest of the mode and the stretches scanned
  int64_t Position = 0;       // the first pass has scanned the stretches up to here
  bool Complete = false;      // the scan has ended: its records are final
  std::vector<std::pair<ByteRange, SectorState>> Runs;  // the state of every byte, from 0 to the source's end
  std::vector<uint8_t> Carried;  // the last bytes before Position, whose hits need the bytes after it
  FragmentList Records;          // as loaded; a save takes them apart
};

// The progress file of a run in its output folder: "korvid-progress.map", the ranges in GNU
// ddrescue's map file format (so that the user's own tools read them) with what korvid needs to
// go on in a comment line, beside "korvid-progress-N.records", the records found, 16 bytes
// each, which the map names. The map is replaced in one step, after the records it counts are on
// disk; records that are not merely appended to go to a file of a new N, and the old one is
// removed only after the map names the new: a run killed at any moment leaves a whole save.
class ProgressFile {
 public:
  explicit ProgressFile(const std::filesystem::path& folder);

  const std::filesystem::path& MapPath() const { return map_; }
  bool Exists() const;
  // Saves `scan` with `records`; the records saved before are appended to, not written again,
  // while the list only grew.
  void Save(const SavedScan& scan, const FragmentList& records);
  // Raises KorvidError (ProgressUnusable) when the files are missing, cut short or damaged.
  // Saves after it go on with the records file loaded.
  SavedScan Load();
  // The size of the source the saved progress is for, read from the map alone; nothing when it
  // holds none that can be read.
  std::optional<int64_t> SavedSourceSize() const;
  // Removes both files: the run they served has ended.
  void Remove();

 private:
  std::filesystem::path RecordsPath(uint64_t generation) const;

  std::filesystem::path folder_;
  std::filesystem::path map_;
  uint64_t generation_ = 0;  // of the records file the map names; 0: none yet
  size_t savedRecords_ = 0;
  Fragment lastSaved_{};  // the last record saved, to tell a list that only grew
};

// A digest of the first sectors of a source, as SavedScan::FirstSectors holds it.
uint64_t DigestOf(const uint8_t* data, size_t length, uint64_t seed = 0xcbf29ce484222325ull);

// Reads a GNU ddrescue map file: its ranges and their states. Raises KorvidError
// (ProgressUnusable) when it is not one.
std::vector<std::pair<ByteRange, SectorState>> ReadDdrescueMap(const std::filesystem::path& path);

}  // namespace korvid
