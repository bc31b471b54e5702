#include "fragment_writer.h"

#include <algorithm>
#include <chrono>
#include <string>

#include "avi/avi_layout.h"
#include "avi/chain_finder.h"
#include "avi/member_walk.h"
#include "fourcc.h"
#include "keyframe.h"
#include "avi/movi_chunks.h"
#include "output_file.h"
#include "reassembly/join_check.h"
#include "reassembly/piece.h"
#include "reassembly/picture_check.h"
#include "file_copier.h"
#include "reassembly/piece_joiner.h"
#include "reassembly/source_windows.h"
#include "sector_reader.h"

namespace korvid {
namespace {

class ChainWriter {
 public:
  ChainWriter(SourceDevice& source, const std::vector<uint8_t>& header, const std::filesystem::path& folder,
              const WriteOptions& options, RunObserver& observer, WriteReport& report)
      : copier_(source, observer, report), sourceSize_(source.Size()), header_(header), folder_(folder), options_(options),
        observer_(observer), report_(report) {}

  void Write(std::span<const Fragment> chain) { Write(chain, {}, 1, {}); }

  // Writes one recording joined from `pieces` pieces: `chain` with its split chunks, less the
  // undecodable frames `leftOut` counts per stream.
  void Write(std::span<const Fragment> chain, std::span<const SplitChunk> splits, uint64_t pieces,
             std::vector<uint64_t> leftOut) {
    std::optional<AviLayout> layout;
    if (options_.Repair && options_.Sample != nullptr) {
      layout = LayOutRepairedAvi(*options_.Sample, chain, sourceSize_, options_.SegmentBytes, splits);
    }
    // A joined recording that holds no frame a player can show is no file.
    if (!layout && !splits.empty()) return;
    splits_ = splits;
    WrittenFile& file = report_.Files.emplace_back();
    file.Path = folder_ / (std::to_string(report_.Files.size()) + ".AVI");
    file.SourceStart = chain.front().Position;
    file.SourceEnd = std::min(MemberEnd(chain.back()), sourceSize_);
    for (const SplitChunk& split : splits) {
      file.SourceEnd = std::max(file.SourceEnd, split.Extents.back().Offset + split.Extents.back().Length);
    }
    file.Records = chain.size();
    file.Pieces = pieces;
    file.FramesLeftOut = std::move(leftOut);

    OutputFile out(file.Path);
    if (layout) {
      WriteRepaired(out, file, *layout);
    } else {
      WritePlain(out, file, chain);
    }
    out.Close();
    file.Complete = true;
  }

 private:
  void WritePlain(OutputFile& out, WrittenFile& file, std::span<const Fragment> chain) {
    std::vector<uint64_t> bytes;
    for (const Fragment& f : chain) {
      const int stream = StreamOf(f.Id);
      if (KindOf(f.Id) != MoviChunkKind::Data || f.Length < 8) continue;  // not a frame, or a size that wrapped
      if (file.FramesPerStream.size() <= static_cast<size_t>(stream)) {
        file.FramesPerStream.resize(static_cast<size_t>(stream) + 1);
        bytes.resize(static_cast<size_t>(stream) + 1);
      }
      ++file.FramesPerStream[static_cast<size_t>(stream)];
      bytes[static_cast<size_t>(stream)] += f.Length - 8u;
    }
    if (options_.Sample != nullptr) file.DurationSeconds = DurationSeconds(*options_.Sample, file.FramesPerStream, bytes);

    Put(out, file, header_.data(), header_.size());
    Copy(out, file, file.SourceStart, file.SourceEnd, {});
  }

  void WriteRepaired(OutputFile& out, WrittenFile& file, AviLayout& layout) {
    file.Repaired = true;
    file.FramesPerStream = layout.ChunksPerStream;
    file.DurationSeconds = layout.DurationSeconds;
    Put(out, file, layout.Header);
    for (size_t k = 0; k < layout.Segments.size(); ++k) {
      const AviSegment& segment = layout.Segments[k];
      if (k > 0) Put(out, file, SegmentStart(segment));
      std::span<LaidChunk> chunks(layout.Chunks.data() + segment.FirstChunk, segment.EndChunk - segment.FirstChunk);
      // Chunks that lie back to back on the source are copied in one stretch.
      while (!chunks.empty()) {
        if (chunks[0].Split >= 0) {
          CopySplit(out, file, chunks[0]);
          chunks = chunks.subspan(1);
          continue;
        }
        size_t run = 1;
        int64_t end = chunks[0].Source + static_cast<int64_t>(chunks[0].Span());
        while (run < chunks.size() && chunks[run].Split < 0 && chunks[run].Source == end) end += static_cast<int64_t>(chunks[run++].Span());
        Copy(out, file, chunks[0].Source, end, chunks.first(run));
        chunks = chunks.subspan(run);
      }
      for (const StreamIndexPlace& place : segment.Indexes) Put(out, file, StandardIndexChunk(layout, segment, place));
      if (k == 0) Put(out, file, Idx1Chunk(layout));
    }
  }

  // Copies a chunk that lies in several stretches, and tells whether it is a keyframe.
  void CopySplit(OutputFile& out, WrittenFile& file, LaidChunk& chunk) {
    const std::span<const ByteRange> extents = splits_[static_cast<size_t>(chunk.Split)].Extents;
    for (const ByteRange& extent : extents) Copy(out, file, extent.Offset, extent.Offset + extent.Length, {});
    const AviStream& stream = options_.Sample->Streams[chunk.Stream];
    if (stream.Type == FourCC("vids")) {
      ReadStretches(extents, 8, std::min<size_t>(chunk.Size, KeyFrameProbeBytes), probe_);
      chunk.KeyFrame = IsKeyFrame(stream, probe_);
    }
  }

 public:
  // Reads `count` bytes from `offset` on of the bytes that `extents` hold in turn into `out`.
  void ReadStretches(std::span<const ByteRange> extents, uint64_t offset, size_t count, std::vector<uint8_t>& out) {
    out.clear();
    ForEachPartOf(extents, offset, count, [&](int64_t position, size_t length) {
      copier_.Reader().ReadAligned(static_cast<int64_t>(length), scratch_, position);
      out.insert(out.end(), scratch_.begin(), scratch_.end());
    });
  }

  // Whether the video chunk headed by `f` starts a picture that decodes on its own.
  bool KeyFrameAt(const Fragment& f, const AviStream& stream) {
    const ByteRange whole{f.Position, 8 + static_cast<int64_t>(f.Length)};
    ReadStretches(std::span(&whole, 1), 8, std::min<size_t>(f.Length - 8u, KeyFrameProbeBytes), probe_);
    return IsKeyFrame(stream, probe_);
  }

 private:
  // Copies source bytes [start, end) to the file, and on the way tells the keyframes among
  // `chunks`, the video chunks that lie in that stretch, from the first bytes of their data.
  void Copy(OutputFile& out, WrittenFile& file, int64_t start, int64_t end, std::span<LaidChunk> chunks) {
    if (end > start) {
      if (!file.Extents.empty() && file.Extents.back().Offset + file.Extents.back().Length == start) {
        file.Extents.back().Length += end - start;
      } else {
        file.Extents.push_back({start, end - start});
      }
    }
    size_t probed = 0;
    probe_.clear();
    copier_.Copy(out, file, start, end, [&](int64_t at, std::span<const uint8_t> piece) {
      const int64_t length = static_cast<int64_t>(piece.size());
      for (; probed < chunks.size(); ++probed) {
        LaidChunk& chunk = chunks[probed];
        const AviStream& stream = options_.Sample->Streams[chunk.Stream];
        if (stream.Type != FourCC("vids")) continue;
        const int64_t from = chunk.Source + 8;
        const int64_t to = from + std::min<int64_t>(chunk.Size, KeyFrameProbeBytes);
        const int64_t lo = std::max(from, at);
        const int64_t hi = std::min(to, at + length);
        if (hi > lo) probe_.insert(probe_.end(), piece.begin() + (lo - at), piece.begin() + (hi - at));
        if (to > at + length) break;
        chunk.KeyFrame = IsKeyFrame(stream, probe_);
        probe_.clear();
      }
    });
  }

  void Put(OutputFile& out, WrittenFile& file, const std::vector<uint8_t>& bytes) { copier_.Put(out, file, bytes); }
  void Put(OutputFile& out, WrittenFile& file, const uint8_t* data, size_t length) {
    copier_.Put(out, file, data, length);
  }

  FileCopier copier_;
  const int64_t sourceSize_;
  const std::vector<uint8_t>& header_;
  const std::filesystem::path& folder_;
  const WriteOptions& options_;
  RunObserver& observer_;
  WriteReport& report_;
  std::vector<uint8_t> probe_;
  std::vector<uint8_t> scratch_;
  std::span<const SplitChunk> splits_;
};

// The size word of the chunk whose bytes `extents` hold, header first.
std::optional<uint32_t> DeclaredSize(SourceWindows& source, std::span<const ByteRange> extents) {
  thread_local std::vector<uint8_t> header;
  source.Read(extents, 0, 8, header);
  if (header.size() < 8) return std::nullopt;
  return header[4] | header[5] << 8 | header[6] << 16 | uint32_t{header[7]} << 24;
}

// Whether the content of a chunk with this id can tell a join: only pictures of a codec the
// engine knows have markers to look at or decode.
bool ContentJudged(const AviHeader& sample, uint32_t id) {
  const int stream = StreamOf(id);
  return KindOf(id) == MoviChunkKind::Data && stream >= 0 && static_cast<size_t>(stream) < sample.Streams.size() &&
         sample.Streams[static_cast<size_t>(stream)].Type == FourCC("vids") &&
         CodecOfStream(sample.Streams[static_cast<size_t>(stream)]) != VideoCodec::Unknown;
}

// What the content of a joined chunk says of a join: the codec's markers at its ends first, then
// the picture decoded whole.
JoinVerdict CheckJoin(SourceWindows& source, PictureCheck& pictures, const AviHeader& sample, uint32_t id,
                      std::span<const ByteRange> extents) {
  if (!ContentJudged(sample, id)) return JoinVerdict::Unknown;
  const std::optional<uint32_t> declared = DeclaredSize(source, extents);
  if (!declared) return JoinVerdict::Fails;
  const uint32_t size = *declared;
  const size_t probe = std::min<size_t>(size, JoinCheckBytes);
  std::vector<uint8_t> head, tail;
  source.Read(extents, 8, probe, head);
  source.Read(extents, 8 + uint64_t{size} - probe, probe, tail);
  const JoinVerdict markers = JudgeJoinedChunk(sample, id, head, tail);
  if (markers == JoinVerdict::Fails) return markers;
  // The whole picture is read only where the decoder can judge it.
  source.Read(extents, 8, std::min<size_t>(size, KeyFrameProbeBytes), head);
  if (!pictures.Judges(id, head)) return markers;
  std::vector<uint8_t> data;
  source.Read(extents, 8, size, data);
  const JoinVerdict decoded = pictures.Judge(id, data);
  // A keyframe too large to lie whole in one piece shows only once joined.
  if (decoded == JoinVerdict::Fits) pictures.Learn(id, data);
  return decoded == JoinVerdict::Unknown ? markers : decoded;
}

// Shows `pictures` the first keyframes that the pieces hold, for the stream headers and the
// keyframe that judging predicted pictures needs: recorders repeat their headers before every
// keyframe.
void LearnFromKeyframes(SourceWindows& source, MemberWalk& walk, std::span<const Piece> pieces,
                        const AviHeader& sample, PictureCheck& pictures) {
  constexpr size_t MostChunks = 4096;  // a keyframe shows within a few groups of pictures
  constexpr uint32_t LargestKeyframe = 8u << 20;
  size_t looked = 0;
  std::vector<uint8_t> data;
  for (const Piece& piece : pieces) {
    if (piece.Lone()) continue;
    for (const Fragment& f : walk.Walk(piece.Start, piece.Members, piece.End())) {
      if (++looked > MostChunks) return;
      if (f.Length <= 8 || f.Length > LargestKeyframe || !pictures.Wants(f.Id)) continue;
      const ByteRange whole{f.Position, f.Length};
      source.Read(std::span(&whole, 1), 8, std::min<size_t>(f.Length - 8u, KeyFrameProbeBytes), data);
      if (!IsKeyFrame(sample.Streams[static_cast<size_t>(StreamOf(f.Id))], data)) continue;
      source.Read(std::span(&whole, 1), 8, f.Length - 8u, data);
      pictures.Learn(f.Id, data);
    }
  }
}

// Writes the recordings that the deep chains of `fragments` make once their pieces are joined.
// `walk` walks the pieces on `source`; `writer` copies through what it keeps.
void WriteReassembled(ChainWriter& writer, MemberWalk& walk, SourceDevice& source, const FragmentList& fragments,
                      const WriteOptions& options, RunObserver& observer, WriteReport& report) {
  const AviHeader& sample = *options.Sample;
  const auto started = std::chrono::steady_clock::now();
  PieceCollection own;
  PieceCollection& collection = options.Collected != nullptr ? *options.Collected : own;
  collection.Finish(fragments, observer);
  const PieceList& pieces = collection.Pieces;
  StreamInterleave& interleave = collection.Interleave;
  // Lone chunks are counted only where they continue a piece.
  report.Chains = static_cast<uint64_t>(std::count_if(pieces.begin(), pieces.end(), [](const Piece& p) { return !p.Lone(); }));
  report.Reassembled = true;
  const ClusterGeometry geometry =
      options.Geometry.Grids.empty() ? InferClusterGeometry(pieces, source.Size()) : options.Geometry;
  report.Geometry = geometry.From;
  report.ClusterSize = geometry.Grids.empty() ? 0 : geometry.Grids.front().ClusterSize;

  JoinEvidence evidence;
  evidence.Observer = &observer;
  evidence.Geometry = &geometry;
  evidence.Interleave = &interleave;
  PictureCheck pictures(sample);
  SourceWindows windows(source);
  LearnFromKeyframes(windows, walk, pieces, sample, pictures);
  // Reused from one layout weighed to the next: a piece's joins weigh many.
  std::vector<uint8_t> data;
  std::vector<size_t> seams;
  evidence.Cost = [&](uint32_t id, std::span<const ByteRange> extents) {
    const std::optional<uint32_t> size = DeclaredSize(windows, extents);
    if (!size) return 0.0;
    windows.Read(extents, 8, *size, data);
    // Seams where the parts meet, and at every sector boundary within a part: a part may hold
    // clusters of another file after its first, and its own start is no seam then.
    seams.clear();
    int64_t offset = -8;  // data offsets count from past the chunk's header
    for (const ByteRange& extent : extents) {
      for (int64_t p = SectorBase(extent.Offset + SectorSize - 1); p < extent.Offset + extent.Length; p += SectorSize) {
        const int64_t at = offset + (p - extent.Offset);
        if (at > 0) seams.push_back(static_cast<size_t>(at));
      }
      if (offset > 0 && extent.Offset % SectorSize != 0) seams.push_back(static_cast<size_t>(offset));
      offset += extent.Length;
    }
    std::sort(seams.begin(), seams.end());
    return SeamCost(sample, id, data, seams);
  };
  evidence.Check = [&](uint32_t id, std::span<const ByteRange> extents) {
    return CheckJoin(windows, pictures, sample, id, extents);
  };
  evidence.MayFit = [&](uint32_t id) { return ContentJudged(sample, id); };
  if (options.Usable) evidence.Usable = std::span<const ByteRange>(*options.Usable);
  // The sample's header ends with its movi list's id; the list's header starts 8 bytes before.
  evidence.HeaderBytes = static_cast<int64_t>(sample.Bytes.size()) - 12;
  ReassemblyTotals totals;
  const Reassembly recordings = ReassemblePieces(pieces, evidence, totals);
  report.ReassemblySeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

  const bool hasVideo = std::any_of(sample.Streams.begin(), sample.Streams.end(),
                                    [](const AviStream& stream) { return stream.Type == FourCC("vids"); });
  std::vector<Fragment> members;
  std::vector<SplitChunk> splits;
  for (size_t r = 0; r < recordings.Recordings(); ++r) {
    const std::span<const uint32_t> joined = recordings.PiecesOf(r);
    observer.Yield();
    observer.WriteProgress(r, recordings.Recordings());
    members.clear();
    splits.clear();
    // The splits refer to these: laid out for this recording only.
    std::vector<std::vector<ByteRange>> extents;
    extents.reserve(joined.size());
    // What the walks read of the recording serves its copy.
    walk.Keep(true);
    for (size_t i = 0; i < joined.size(); ++i) {
      const Piece& piece = pieces[joined[i]];
      const std::span<const Fragment> chain = walk.Walk(piece.Start, piece.Members, piece.End());
      members.insert(members.end(), chain.begin(), chain.end());
      if (i + 1 < joined.size()) splits.push_back({members.size() - 1, extents.emplace_back(recordings.JoinExtents(joined[i]))});
    }
    if (recordings.LastChunkForeign(r)) members.pop_back();

    // Frames before the first keyframe cannot be decoded: their keyframe is lost.
    std::vector<uint64_t> leftOut(sample.Streams.size(), 0);
    if (!options.KeepUndecodable) {
      std::vector<Fragment> kept;
      std::vector<SplitChunk> keptSplits;
      bool keyFound = false;
      size_t split = 0;
      for (size_t m = 0; m < members.size(); ++m) {
        const Fragment& f = members[m];
        const bool isSplit = split < splits.size() && splits[split].Member == m;
        const int stream = StreamOf(f.Id);
        const bool video = KindOf(f.Id) == MoviChunkKind::Data && stream >= 0 &&
                           static_cast<size_t>(stream) < sample.Streams.size() &&
                           sample.Streams[static_cast<size_t>(stream)].Type == FourCC("vids") && f.Length >= 8;
        if (video && !keyFound) {
          if (isSplit) {
            std::vector<uint8_t> probe;
            writer.ReadStretches(splits[split].Extents, 8, std::min<size_t>(f.Length - 8u, KeyFrameProbeBytes), probe);
            keyFound = IsKeyFrame(sample.Streams[static_cast<size_t>(stream)], probe);
          } else {
            keyFound = writer.KeyFrameAt(f, sample.Streams[static_cast<size_t>(stream)]);
          }
          if (!keyFound) {
            ++leftOut[static_cast<size_t>(stream)];
            ++report.FramesLeftOut;
            if (isSplit) ++split;
            continue;
          }
        }
        if (isSplit) keptSplits.push_back({kept.size(), splits[split++].Extents});
        kept.push_back(f);
      }
      members = std::move(kept);
      splits = std::move(keptSplits);
    }
    if (members.empty()) continue;
    // A stretch of sound whose pictures are lost is no recording a player can open.
    const bool holdsVideo = !hasVideo || std::any_of(members.begin(), members.end(), [&](const Fragment& f) {
      const int stream = StreamOf(f.Id);
      return KindOf(f.Id) == MoviChunkKind::Data && stream >= 0 && static_cast<size_t>(stream) < sample.Streams.size() &&
             sample.Streams[static_cast<size_t>(stream)].Type == FourCC("vids");
    });
    if (!holdsVideo) {
      ++report.SoundOnlyLeftOut;
      continue;
    }
    const size_t filesBefore = report.Files.size();
    writer.Write(members, splits, joined.size(), std::move(leftOut));
    if (report.Files.size() > filesBefore && joined.size() > 1) {
      ++report.JoinedRecordings;
      report.PiecesInJoined += joined.size();
    }
  }
  walk.Keep(false);
}

}  // namespace

void WriteFragments(SourceDevice& source, const FragmentList& fragments,
                    const std::vector<uint8_t>& header, const std::filesystem::path& outputFolder,
                    RunObserver& observer, WriteReport& report, const WriteOptions& options) {
  if (options.Deep && options.Repair && options.Reassemble && options.Sample != nullptr) {
    // The pieces' chunks are walked again on the source, for the keyframes learnt before
    // joining and for the writing.
    MemberWalk walk(source, options.Usable.value_or(std::vector<ByteRange>{}),
                    static_cast<unsigned>(options.Sample->Streams.size()));
    ChainWriter writer(walk.Kept(), header, outputFolder, options, observer, report);
    WriteReassembled(writer, walk, source, fragments, options, observer, report);
    return;
  }
  ChainWriter writer(source, header, outputFolder, options, observer, report);
  ChainFinder finder(fragments, options.Deep, observer);
  for (;;) {
    const std::span<const Fragment> chain = finder.Next();
    if (chain.empty()) break;
    ++report.Chains;
    writer.Write(chain);
  }
}

}  // namespace korvid
