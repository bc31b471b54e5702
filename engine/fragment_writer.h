#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "avi/avi_header.h"
#include "avi/avi_layout.h"
#include "fragment.h"
#include "engine/naming/source_entry.h"
#include "reassembly/cluster_grid.h"
#include "reassembly/piece.h"
#include "run_control.h"
#include "scan_ranges.h"
#include "source_device.h"

namespace korvid {

// The writer copies a chain in pieces of this many bytes.
inline constexpr int64_t WritePieceSize = 262144;

struct WrittenFile {
  std::filesystem::path Path;
  int64_t SourceStart = 0;       // first source byte of the chain
  int64_t SourceEnd = 0;         // one past its last byte
  uint64_t Records = 0;          // chunks in the chain
  uint64_t Bytes = 0;            // bytes in the file, header included
  uint64_t UnreadableBytes = 0;  // source bytes that could not be read and were written as zeros
  bool Complete = false;         // false only for the file a failure interrupted
  bool Repaired = false;         // its header and index describe what it holds
  std::vector<uint64_t> FramesPerStream;  // data chunks of each stream ("00..", "01..", ...), or samples of each track
  // The AVI stream type ("vids", "auds", ...) of each, where it is the file's own (container
  // mode's tracks); empty when the sample's streams are the file's.
  std::vector<uint32_t> StreamTypes;
  double DurationSeconds = 0;             // of its longest stream; 0 when the rates are unknown
  uint64_t Pieces = 1;                    // pieces of the source it was joined from
  std::vector<ByteRange> Extents;         // the source stretches copied into it, in file order
  // Video chunks before the first keyframe, which no player can decode, left out per stream.
  std::vector<uint64_t> FramesLeftOut;
  std::string Kind = "AVI";  // what it is, its name's extension: "AVI", "MP4", "MOV", "3GP", "M4V", "MXF"
  // Container mode: its structure is whole (every box or partition its index needs is in it),
  // or it was rebuilt so; false for a file that broke off and is written as it lay.
  bool Intact = true;
  bool Rebuilt = false;  // a recording cut off before its index, given a new one
  // The directory entry it was recorded as, where the source's file systems still hold one.
  std::optional<SourceEntry> Entry;
  // The time the recording states in its own header (IDIT, ICRD), seconds since 1970 UTC.
  std::optional<int64_t> RecordingTime;
};

struct WriteReport {
  std::vector<WrittenFile> Files;
  uint64_t Chains = 0;  // chains of two or more records found in the list
  uint64_t BytesWritten = 0;
  uint64_t UnreadableBytes = 0;
  // With reassembly: the grid the pieces were joined on, and what was joined.
  bool Reassembled = false;
  GeometrySource Geometry = GeometrySource::None;
  int64_t ClusterSize = 0;           // of the first grid
  uint64_t JoinedRecordings = 0;     // files joined from two or more pieces
  uint64_t PiecesInJoined = 0;       // the pieces they were joined from
  uint64_t FramesLeftOut = 0;        // undecodable video chunks left out, in all
  uint64_t SoundOnlyLeftOut = 0;     // pieces of sound alone, their pictures lost: not written
  double ReassemblySeconds = 0;      // collecting the pieces and joining them, before any file
};

struct WriteOptions {
  bool Deep = false;  // chains follow every movi chunk (the list holds movi chunk records)
  // The sample's parsed header, when it could be parsed: it gives the streams' rates, and with
  // Repair each file is written with a header and index of its own.
  const AviHeader* Sample = nullptr;
  bool Repair = false;
  uint64_t SegmentBytes = OpenDmlSegmentBytes;  // chunk data per RIFF of a repaired file
  // Deep repaired files: join the pieces of each recording into one file, on the cluster grids
  // of `Geometry` (from the file systems), or on grids inferred from the pieces when it has none.
  bool Reassemble = false;
  ClusterGeometry Geometry;
  // The stretches the scan searched (the free space): a chain's chunks lie in them, and joins take
  // clusters only from them; none: the whole source.
  std::optional<std::vector<ByteRange>> Usable;
  // Repaired files keep the video chunks before their first keyframe.
  bool KeepUndecodable = false;
  // With reassembly: the pieces collected while the scan ran, of the records before those
  // given; none: every piece is collected from the records given.
  PieceCollection* Collected = nullptr;
};

// Finds the chains of `fragments` (ascending Position) and writes each as "<n>.AVI" in
// `outputFolder`. A plain copy is `header`, then the source bytes from the chain's first record
// to the end of its last chunk (pad byte included, cut at the end of the source). A repaired
// file holds the chain's data chunks behind a header that describes them, with an index; with
// reassembly, one file holds the chains of one recording, each split chunk joined from its parts.
// Fills `report` as it goes; a failure raises KorvidError, and the files completed before it
// stay.
void WriteFragments(SourceDevice& source, const FragmentList& fragments,
                    const std::vector<uint8_t>& header, const std::filesystem::path& outputFolder,
                    RunObserver& observer, WriteReport& report, const WriteOptions& options = {});

}  // namespace korvid
