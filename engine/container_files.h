#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "fragment.h"
#include "iso_media/movie_box.h"
#include "run_control.h"
#include "source_bytes.h"

namespace korvid {

// An ISO media file that holds media data but lost its movie box (the camera stopped before it
// wrote it): what a rebuild needs to know of it.
struct CutOffMediaData {
  int64_t MdatStart = 0;        // source offset of the mdat box
  uint32_t MdatHeaderSize = 8;  // 8, or 16 with a largesize
  uint64_t DeclaredSize = 0;    // its size as found: 0 for "to the end", often stale
  int64_t Limit = 0;            // where the next file found begins, or the source's end
};

// One file that container mode found on the source.
struct ContainerFile {
  int64_t Start = 0;
  int64_t End = 0;        // one past its last byte
  std::string Extension;  // "MP4", "MOV", "3GP", "M4V" or "MXF"
  // Its structure is whole: an ISO media file whose movie box points only into media data it
  // holds, an MXF file that reaches its footer.
  bool Complete = false;
  bool CutOff = false;    // ISO media data with no movie box
  CutOffMediaData MediaData;  // when CutOff
  // From its movie box, when it has one; an MXF file's essence elements per track.
  std::vector<uint64_t> SamplesPerTrack;
  std::vector<uint32_t> StreamTypes;      // of each track, as AVI names them: "vids", "auds", ...
  double DurationSeconds = 0;
};

// The AVI stream types ("vids", "auds", or the handler itself) of a movie's tracks.
std::vector<uint32_t> StreamTypesOf(const iso::Movie& movie);

// Finds the files that container mode's signature hits (ascending Position) head: ISO media
// files from their ftyp box, older QuickTime files without one from a movie box next to the
// media data it points into, and MXF files from their header partition. A file whose structure
// is whole keeps every hit inside it to itself; one that is not ends where the next file begins.
// In source order, none overlapping.
std::vector<ContainerFile> FindContainerFiles(SourceBytes& source, const FragmentList& hits, RunObserver& observer);

}  // namespace korvid
