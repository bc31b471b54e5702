#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "engine/fragment.h"
#include "engine/reassembly/piece.h"
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
  // The pieces the records before them were taken into, as loaded; a save takes them apart.
  PieceCollection Pieces;
};

// One of the binary files a map names, "korvid-progress-N.<extension>": a magic line, then
// the items, appended to while the list only grows. A list that changed otherwise goes to a file
// of a new N, and the old one is removed only once the map names the new.
template <class T>
class ProgressItems {
 public:
  // `magic`: the file's first 16 bytes.
  ProgressItems(const char* extension, const char* magic) : extension_(extension), magic_(magic) {}

  // Writes `items` into the folder's file; returns the N of the file that holds them, for the
  // map to name.
  uint64_t Write(const std::filesystem::path& folder, const PackedArray<T>& items);
  // Once the map names the file Write wrote: the file it replaced goes.
  void Named(const std::filesystem::path& folder);
  // Reads the `count` items of file N; Write goes on with that file.
  PackedArray<T> Read(const std::filesystem::path& folder, uint64_t generation, size_t count);
  // Removes the file the map names.
  void Remove(const std::filesystem::path& folder);

 private:
  std::filesystem::path PathOf(const std::filesystem::path& folder, uint64_t generation) const;

  const char* extension_;
  const char* magic_;
  uint64_t named_ = 0;      // N of the file the map names; 0: none yet
  uint64_t written_ = 0;    // N of the file written last
  size_t saved_ = 0;        // items in it
  T lastSaved_{};           // its last item, to tell a list that only grew
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
  // Saves `scan` with `records` and the pieces taken so far; what was saved before is appended
  // to, not written again, while the lists only grew.
  void Save(const SavedScan& scan, const FragmentList& records, const PieceCollection* pieces = nullptr);
  // Raises KorvidError (ProgressUnusable) when the files are missing, cut short or damaged.
  // Saves after it go on with the records file loaded.
  SavedScan Load();
  // The size of the source the saved progress is for, read from the map alone; nothing when it
  // holds none that can be read.
  std::optional<int64_t> SavedSourceSize() const;
  // Removes both files: the run they served has ended.
  void Remove();

 private:
  std::filesystem::path folder_;
  std::filesystem::path map_;
  ProgressItems<Fragment> records_;
  ProgressItems<Piece> pieces_;
};

// A digest of the first sectors of a source, as SavedScan::FirstSectors holds it.
uint64_t DigestOf(const uint8_t* data, size_t length, uint64_t seed = 0xcbf29ce484222325ull);

// Reads a GNU ddrescue map file: its ranges and their states. Raises KorvidError
// (ProgressUnusable) when it is not one.
std::vector<std::pair<ByteRange, SectorState>> ReadDdrescueMap(const std::filesystem::path& path);

}  // namespace korvid
