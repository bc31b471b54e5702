// Joining the pieces of fragmented recordings: the cluster grid, the pieces, the joins, and the
// files written from them, on recordings laid out in cluster runs the way file systems lay out
// files that are written at the same time.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <set>
#include <utility>

#include "engine/avi/avi_header.h"
#include "engine/fragment_writer.h"
#include "engine/memory_source.h"
#include "engine/avi/movi_chunks.h"
#include "engine/reassembly/cluster_grid.h"
#include "engine/reassembly/join_check.h"
#include "engine/reassembly/piece.h"
#include "engine/reassembly/piece_joiner.h"
#include "engine/riff_builder.h"
#include "engine/temp_folder.h"

namespace korvid {
namespace {

using namespace testing::riff;
using testing::MemorySource;
using testing::ReadFile;
using testing::TempFolder;

struct Quiet : RunObserver {};

constexpr int64_t Cluster = 4096;
constexpr int64_t Origin = 3072;  // cluster boundaries lie 3072 bytes past multiples of 4096

// A recording as a recorder writes it: the sample's kind of header with its movi list, then
// H.264 frames (an IDR picture every fifth) and sound chunks in turn.
struct Recording {
  Bytes File;
  std::vector<Bytes> Chunks;  // its data chunks, header and pad byte included, in order
};

Recording MakeRecording(int frames, uint32_t seed, int firstFrame = 0) {
  std::mt19937 random(seed);
  Recording r;
  Bytes movi;
  for (int i = firstFrame; i < firstFrame + frames; ++i) {
    Bytes frame(2500 + random() % 7000);
    for (uint8_t& b : frame) b = static_cast<uint8_t>(random() % 251);
    const Bytes start = {0, 0, 0, 1, static_cast<uint8_t>(i % 5 == 0 ? 0x65 : 0x41)};
    std::copy(start.begin(), start.end(), frame.begin());
    // Sound that runs on smoothly, marked as this recording's own by its first two bytes.
    Bytes sound(882 + i % 2, static_cast<uint8_t>(seed + i));
    sound[0] = static_cast<uint8_t>(seed);
    sound[1] = static_cast<uint8_t>(i);
    for (const Bytes& chunk : {Chunk("00dc", frame), Chunk("01wb", sound)}) {
      r.Chunks.push_back(chunk);
      movi.insert(movi.end(), chunk.begin(), chunk.end());
    }
  }
  r.File = FfmpegLike();
  const Bytes moviSize = U32(static_cast<uint32_t>(movi.size() + 4));
  std::copy(moviSize.begin(), moviSize.end(), r.File.end() - 8);
  r.File.insert(r.File.end(), movi.begin(), movi.end());
  return r;
}

// A card that the recordings were written to at the same time: each file takes runs of
// `shortest` to `longest` clusters in turn, from the first cluster on; the rest is filler.
struct Card {
  Bytes Source;
  std::vector<std::vector<ByteRange>> Runs;  // per recording, where its runs lie
};

Card LayOut(const std::vector<const Recording*>& recordings, uint32_t seed, int shortest = 4, int longest = 64) {
  std::mt19937 random(seed);
  Card card;
  card.Source = testing::Filler(static_cast<size_t>(Origin));
  card.Runs.resize(recordings.size());
  std::vector<size_t> written(recordings.size(), 0);
  for (bool more = true; more;) {
    more = false;
    for (size_t k = 0; k < recordings.size(); ++k) {
      const Bytes& file = recordings[k]->File;
      if (written[k] >= file.size()) continue;
      const size_t length = Cluster * static_cast<size_t>(shortest + static_cast<int>(random() % (longest - shortest + 1)));
      const size_t take = std::min(length, file.size() - written[k]);
      card.Runs[k].push_back({static_cast<int64_t>(card.Source.size()), static_cast<int64_t>(take)});
      card.Source.insert(card.Source.end(), file.begin() + static_cast<long>(written[k]),
                         file.begin() + static_cast<long>(written[k] + take));
      const Bytes rest = testing::Filler(length - take);
      card.Source.insert(card.Source.end(), rest.begin(), rest.end());
      written[k] += take;
      more = true;
    }
  }
  const Bytes end = testing::Filler(4 * Cluster);
  card.Source.insert(card.Source.end(), end.begin(), end.end());
  return card;
}

// The data chunks of a written file's movi list, header and pad byte included.
std::vector<Bytes> DataChunksOf(const Bytes& file, size_t headerSize) {
  std::vector<Bytes> chunks;
  for (size_t at = headerSize; at + 8 <= file.size();) {
    const uint32_t size = Get32(file, at + 4);
    const size_t span = 8 + size + (size & 1u);
    if (KindOf(Get32(file, at)) != MoviChunkKind::Data) break;
    chunks.emplace_back(file.begin() + static_cast<long>(at), file.begin() + static_cast<long>(at + span));
    at += span;
  }
  return chunks;
}

// "same" when `got` holds `want`'s chunks in order, else where they first differ.
std::string Compare(const std::vector<Bytes>& got, const std::vector<Bytes>& want) {
  size_t i = 0;
  while (i < got.size() && i < want.size() && got[i] == want[i]) ++i;
  if (i == got.size() && i == want.size()) return "same";
  return "chunk " + std::to_string(i) + " of " + std::to_string(got.size()) + " written, " +
         std::to_string(want.size()) + " recorded";
}

struct Outcome {
  WriteReport Report;
  std::vector<std::vector<Bytes>> Files;  // the data chunks of each file written
};

// The sample's header, of a codec the engine cannot decode unless `h264`: the test's frames
// are noise behind H.264 start codes, which a decoder would refuse.
AviHeader SampleHeader(bool h264) {
  Bytes bytes = FfmpegLike();
  if (!h264) {
    for (size_t at = 0; at + 4 <= bytes.size(); ++at) {
      if (Get32(bytes, at) == FourCC("H264")) std::copy_n(Text("TEST").begin(), 4, bytes.begin() + static_cast<long>(at));
    }
  }
  std::string problem;
  return *ParseAviHeader(bytes, problem);
}

// Recovers `source` as the free-space mode does when `options.Usable` is given: only those
// stretches are searched.
Outcome Recover(const Bytes& source, const WriteOptions& base, const std::optional<ClusterGeometry>& geometry = {},
                bool h264 = false, RunObserver* observer = nullptr) {
  MemorySource device(source);
  FragmentList found;
  if (base.Usable) {
    for (const ByteRange& range : *base.Usable) {
      const Bytes part(source.begin() + range.Offset, source.begin() + range.Offset + range.Length);
      SearchMoviChunks(part, range.Offset, static_cast<int64_t>(source.size()), 2, found);
    }
  } else {
    SearchMoviChunks(source, 0, static_cast<int64_t>(source.size()), 2, found);
  }
  const AviHeader header = SampleHeader(h264);
  WriteOptions options = base;
  options.Deep = true;
  options.Repair = true;
  options.Reassemble = true;
  options.Sample = &header;
  if (geometry) options.Geometry = *geometry;
  TempFolder folder;
  Quiet quiet;
  Outcome run;
  WriteFragments(device, found, header.Bytes, folder.Path(), observer != nullptr ? *observer : quiet, run.Report,
                 options);
  for (const WrittenFile& file : run.Report.Files) run.Files.push_back(DataChunksOf(ReadFile(file.Path), header.Bytes.size()));
  return run;
}

ClusterGeometry FileSystemGrid(int64_t size) {
  ClusterGeometry geometry;
  geometry.From = GeometrySource::FileSystem;
  geometry.Grids.push_back({0, size, Cluster, Origin});
  return geometry;
}

TEST(ClusterGrid, BoundariesLieWholeClustersFromTheOrigin) {
  const ClusterGrid grid{1 << 20, 2 << 20, Cluster, Origin};
  EXPECT_EQ(grid.Floor(Origin), Origin);
  EXPECT_EQ(grid.Floor(Origin - 1), Origin - Cluster);
  EXPECT_EQ(grid.Floor(Origin + 5 * Cluster + 7), Origin + 5 * Cluster);
  EXPECT_EQ(grid.Ceil(Origin + 1), Origin + Cluster);
  EXPECT_EQ(grid.Ceil(Origin + Cluster), Origin + Cluster);

  ClusterGeometry geometry;
  geometry.Grids = {{0, 100, 512, 0}, grid};
  EXPECT_EQ(geometry.GridAt(50), &geometry.Grids[0]);
  EXPECT_EQ(geometry.GridAt(100), nullptr);
  EXPECT_EQ(geometry.GridAt((1 << 20) + 10), &geometry.Grids[1]);
  EXPECT_EQ(geometry.GridAt(2 << 20), nullptr);
}

TEST(Reassembly, RecordingsWrittenAtOnceComeBackWholeOneFileEach) {
  const Recording a = MakeRecording(200, 1), b = MakeRecording(150, 2), c = MakeRecording(250, 3);
  const Card card = LayOut({&a, &b, &c}, 7);
  ASSERT_GT(card.Runs[0].size() + card.Runs[1].size() + card.Runs[2].size(), 30u);

  // With the file system's grid, and with one inferred from where the pieces break.
  for (const std::optional<ClusterGeometry>& geometry :
       {std::optional<ClusterGeometry>(FileSystemGrid(static_cast<int64_t>(card.Source.size()))),
        std::optional<ClusterGeometry>()}) {
    const Outcome run = Recover(card.Source, {}, geometry);
    EXPECT_EQ(run.Report.Geometry, geometry ? GeometrySource::FileSystem : GeometrySource::Inferred);
    EXPECT_EQ(run.Report.ClusterSize, Cluster);
    ASSERT_EQ(run.Files.size(), 3u);
    EXPECT_EQ(Compare(run.Files[0], a.Chunks), "same");
    EXPECT_EQ(Compare(run.Files[1], b.Chunks), "same");
    EXPECT_EQ(Compare(run.Files[2], c.Chunks), "same");
    EXPECT_EQ(run.Report.JoinedRecordings, 3u);
    for (const WrittenFile& file : run.Report.Files) {
      EXPECT_GT(file.Pieces, 5u);
      EXPECT_TRUE(file.Repaired);
      // What the file was copied from: its own runs only, byte for byte.
      const auto& runs = card.Runs[static_cast<size_t>(&file - run.Report.Files.data())];
      for (const ByteRange& extent : file.Extents) {
        for (int64_t at = extent.Offset; at < extent.Offset + extent.Length; at += 512) {
          ASSERT_TRUE(std::any_of(runs.begin(), runs.end(),
                                  [&](const ByteRange& r) { return at >= r.Offset && at < r.Offset + r.Length; }))
              << at;
        }
      }
    }
  }
}

// Recorders that take runs of one length each turn: with three at once, every piece's
// continuation lies an even number of clusters on, so the breaks alone would fit clusters of
// twice the size as well. The chunks that cross a boundary tell the true size.
TEST(Reassembly, RunsAllOfOneOddLengthAreJoinedOnTheTrueInferredGrid) {
  const Recording a = MakeRecording(200, 1), b = MakeRecording(150, 2), c = MakeRecording(250, 3);
  const Card card = LayOut({&a, &b, &c}, 7, 5, 5);
  const Outcome run = Recover(card.Source, {});
  EXPECT_EQ(run.Report.Geometry, GeometrySource::Inferred);
  EXPECT_EQ(run.Report.ClusterSize, Cluster);
  ASSERT_EQ(run.Files.size(), 3u);
  EXPECT_EQ(Compare(run.Files[0], a.Chunks), "same");
  EXPECT_EQ(Compare(run.Files[1], b.Chunks), "same");
  EXPECT_EQ(Compare(run.Files[2], c.Chunks), "same");
}

TEST(Reassembly, JoiningTellsItsProgressBetweenCollectingThePiecesAndWriting) {
  const Recording a = MakeRecording(200, 1), b = MakeRecording(150, 2);
  const Card card = LayOut({&a, &b}, 7, 1, 4);
  struct Steps : RunObserver {
    std::string Order;  // w: a record or recording written, j: a join step, y: a yield
    uint64_t LastPiece = 0, Pieces = 0;
    void Yield() override { Order += 'y'; }
    void WriteProgress(uint64_t, uint64_t) override { Order += 'w'; }
    void JoinProgress(uint64_t piece, uint64_t pieces) override {
      EXPECT_TRUE(Order.find('j') == std::string::npos || piece > LastPiece);
      EXPECT_LT(piece, pieces);
      Order += 'j';
      LastPiece = piece;
      Pieces = pieces;
    }
  } steps;
  const Outcome run = Recover(card.Source, {}, FileSystemGrid(static_cast<int64_t>(card.Source.size())), false, &steps);
  ASSERT_FALSE(run.Files.empty());
  // Collecting the pieces counts records; joining them counts pieces, every 64th, with a
  // yield before each; then the recordings are written.
  const size_t firstJoin = steps.Order.find('j'), lastJoin = steps.Order.rfind('j');
  ASSERT_NE(firstJoin, std::string::npos);
  EXPECT_GT(steps.Pieces, 64u * 2);
  EXPECT_GE(std::count(steps.Order.begin(), steps.Order.end(), 'j'), static_cast<long>(steps.Pieces / 64));
  EXPECT_NE(steps.Order.find('w'), std::string::npos);
  EXPECT_LT(steps.Order.find('w'), firstJoin);
  EXPECT_EQ(steps.Order.substr(lastJoin + 1).find('j'), std::string::npos);
  EXPECT_NE(steps.Order.find('w', lastJoin), std::string::npos);
  EXPECT_EQ(steps.Order[firstJoin - 1], 'y');
}

TEST(Reassembly, AFrameOverSeveralRunsIsJoinedThroughTheRunWithoutAHeader) {
  // Runs of one cluster and frames of up to 9.5 KiB: some frames span three runs, and the
  // middle one holds no chunk header.
  const Recording a = MakeRecording(30, 4), b = MakeRecording(30, 5);
  const Card card = LayOut({&a, &b}, 3, 1);
  const Outcome run = Recover(card.Source, {}, FileSystemGrid(static_cast<int64_t>(card.Source.size())));
  size_t joined = 0;
  for (const auto& file : run.Files) {
    for (const Bytes& chunk : file) {
      // Every chunk written is one of the recordings' own, whole.
      const bool known = std::find(a.Chunks.begin(), a.Chunks.end(), chunk) != a.Chunks.end() ||
                         std::find(b.Chunks.begin(), b.Chunks.end(), chunk) != b.Chunks.end();
      EXPECT_TRUE(known);
    }
    joined += file.size();
  }
  EXPECT_GT(joined, (a.Chunks.size() + b.Chunks.size()) * 3 / 4);
}

TEST(Reassembly, FramesOverRunsAmongOtherRecordingsPiecesAreJoinedOnceThosePiecesAreSettled) {
  // Three recordings in runs of one to a few clusters: most frames span runs whose neighbours
  // are other recordings' pieces, and many runs hold a single chunk header.
  const Recording a = MakeRecording(60, 4), b = MakeRecording(60, 5), c = MakeRecording(60, 6);
  const std::vector<const Recording*> recordings = {&a, &b, &c};
  size_t files = 0;
  for (int longest : {2, 3, 4, 6}) {
    const Card card = LayOut(recordings, 3, 1, longest);
    const Outcome run = Recover(card.Source, {}, FileSystemGrid(static_cast<int64_t>(card.Source.size())));
    size_t written = 0, known = 0;
    for (const std::vector<Bytes>& file : run.Files) {
      std::set<const Recording*> owners;
      for (const Bytes& chunk : file) {
        for (const Recording* r : recordings) {
          if (std::find(r->Chunks.begin(), r->Chunks.end(), chunk) != r->Chunks.end()) owners.insert(r);
        }
      }
      EXPECT_LE(owners.size(), 1u) << "a file mixes recordings, runs of 1 to " << longest << " clusters";
      written += file.size();
      known += std::count_if(file.begin(), file.end(), [&](const Bytes& chunk) {
        return !owners.empty() && std::find((*owners.begin())->Chunks.begin(), (*owners.begin())->Chunks.end(),
                                            chunk) != (*owners.begin())->Chunks.end();
      });
    }
    // The sound and most frames come back whole; a split frame that nothing in its content
    // judges may take a wrong cluster, but only from the clusters the layout leaves it.
    EXPECT_GE(written, 360u * 95 / 100) << longest;
    EXPECT_GE(known, written * 90 / 100) << longest;
    files += run.Files.size();
  }
  // The four cards hold 614 runs of the three recordings.
  EXPECT_LE(files, 40u);
}

TEST(Reassembly, FreeSpaceJoinsOnlyFreeClusters) {
  const Recording a = MakeRecording(150, 6), b = MakeRecording(150, 8);
  const Card card = LayOut({&a, &b}, 11);
  // b is a live file: its clusters are not free, and a's second run neither.
  std::vector<ByteRange> free;
  int64_t at = 0;
  std::vector<ByteRange> taken = card.Runs[1];
  taken.push_back(card.Runs[0][1]);
  std::sort(taken.begin(), taken.end(), [](const ByteRange& x, const ByteRange& y) { return x.Offset < y.Offset; });
  for (const ByteRange& r : taken) {
    if (r.Offset > at) free.push_back({at, r.Offset - at});
    at = Cluster * ((r.Offset + r.Length - Origin + Cluster - 1) / Cluster) + Origin;
  }
  free.push_back({at, static_cast<int64_t>(card.Source.size()) - at});
  WriteOptions options;
  options.Usable = free;
  const Outcome run = Recover(card.Source, options, FileSystemGrid(static_cast<int64_t>(card.Source.size())));
  for (const WrittenFile& file : run.Report.Files) {
    for (const ByteRange& extent : file.Extents) {
      for (const ByteRange& r : taken) {
        EXPECT_FALSE(extent.Offset < r.Offset + r.Length && r.Offset < extent.Offset + extent.Length)
            << "bytes of a live cluster at " << r.Offset;
      }
    }
  }
  // a's pieces before and after its second run are not joined across it.
  EXPECT_GE(run.Report.Files.size(), 2u);
}

TEST(Reassembly, FreeClustersOnBothSidesOfALiveFileServeTwoJoins) {
  // b is live and lies between the runs of a and c: the free clusters before one of its runs
  // finish a chunk of one recording, those after it start a chunk of the other, and the two
  // joins do not compete for them.
  const Recording a = MakeRecording(150, 6), b = MakeRecording(150, 8), c = MakeRecording(150, 10);
  const Card card = LayOut({&a, &b, &c}, 11);
  std::vector<ByteRange> free;
  int64_t at = 0;
  for (const ByteRange& r : card.Runs[1]) {
    free.push_back({at, r.Offset - at});
    at = Cluster * ((r.Offset + r.Length - Origin + Cluster - 1) / Cluster) + Origin;
  }
  free.push_back({at, static_cast<int64_t>(card.Source.size()) - at});
  WriteOptions options;
  options.Usable = free;
  const Outcome run = Recover(card.Source, options, FileSystemGrid(static_cast<int64_t>(card.Source.size())));
  ASSERT_EQ(run.Files.size(), 2u);
  EXPECT_EQ(Compare(run.Files[0], a.Chunks), "same");
  EXPECT_EQ(Compare(run.Files[1], c.Chunks), "same");
}

TEST(Reassembly, TheMiddlesOfTwoFramesCutOffSideBySideAreFoundByTheirContent) {
  // Clusters, by number: B1 0-3 | C 4-5 | A1 6 | B's middle 7-8 | C 9 | A's middle 10-11 | B2 12 |
  // A2 13. Each of A and B has a frame from its first piece to its second through a middle of
  // two clusters that holds no chunk header; the layouts through whole free stretches are wrong
  // (B's would take A's middle, A's would take B's), and only the content tells the right ones.
  constexpr int64_t C = Cluster;
  const uint32_t video = FourCC("00dc"), sound = FourCC("01wb");
  auto piece = [&](int64_t start, int64_t last, int64_t end, uint32_t lastId) {
    return Piece{start, last, static_cast<uint32_t>(end - last), 3, video, lastId};
  };
  const int64_t bLast = 3 * C + 2000, aLast = 6 * C + 1000;
  const std::vector<Piece> pieces = {
      piece(16, bLast, 4 * C + 2 * C + 300, video),       // B1: rest of cluster 3, 2 clusters, 300 bytes
      piece(4 * C + 8, 5 * C + 100, 5 * C + 900, sound),  // C, whole
      piece(6 * C + 16, aLast, 7 * C + 2 * C + 700, video),  // A1: rest of cluster 6, 2 clusters, 700 bytes
      piece(9 * C + 8, 9 * C + 100, 9 * C + 900, sound),  // C, whole
      piece(12 * C + 300, 12 * C + 2000, 12 * C + 3000, sound),  // B2
      piece(13 * C + 700, 13 * C + 2000, 13 * C + 3000, sound),  // A2
  };
  const std::vector<ByteRange> bTruth = {{bLast, 4 * C - bLast}, {7 * C, 2 * C}, {12 * C, 300}};
  const std::vector<ByteRange> aTruth = {{aLast, 7 * C - aLast}, {10 * C, 2 * C}, {13 * C, 700}};
  // The content check knows the recordings: a frame fits only where it is laid out as recorded.
  auto merged = [](std::span<const ByteRange> extents) {
    std::vector<ByteRange> out;
    for (const ByteRange& e : extents) {
      if (!out.empty() && out.back().Offset + out.back().Length == e.Offset) {
        out.back().Length += e.Length;
      } else if (e.Length > 0) {
        out.push_back(e);
      }
    }
    return out;
  };
  int checks = 0;
  JoinEvidence evidence;
  ClusterGeometry geometry;
  geometry.From = GeometrySource::FileSystem;
  geometry.Grids.push_back({0, 20 * C, C, 0});
  evidence.Geometry = &geometry;
  evidence.Check = [&](uint32_t, std::span<const ByteRange> extents) {
    ++checks;
    const std::vector<ByteRange> laid = merged(extents);
    return laid == bTruth || laid == aTruth ? JoinVerdict::Fits : JoinVerdict::Fails;
  };
  ReassemblyTotals totals;
  const Reassembly recordings = ReassemblePieces(pieces, evidence, totals);
  std::vector<std::vector<uint32_t>> order;
  for (size_t r = 0; r < recordings.Recordings(); ++r) {
    const std::span<const uint32_t> joined = recordings.PiecesOf(r);
    order.emplace_back(joined.begin(), joined.end());
    if (joined.size() == 2) {
      EXPECT_EQ(merged(recordings.JoinExtents(joined[0])), joined[0] == 0 ? bTruth : aTruth);
    }
  }
  EXPECT_EQ(order, (std::vector<std::vector<uint32_t>>{{0, 4}, {1}, {2, 5}, {3}}));
  EXPECT_LT(checks, 200);
}

TEST(Reassembly, WeighingStopsAtTheNearestContinuationThatNoOtherCouldBeat) {
  // Six recordings at once in short runs: each piece has many continuations to weigh.
  std::vector<Recording> recordings;
  for (uint32_t k = 0; k < 6; ++k) recordings.push_back(MakeRecording(60, 20 + k));
  std::vector<const Recording*> all;
  for (const Recording& r : recordings) all.push_back(&r);
  const Card card = LayOut(all, 9, 1, 3);
  FragmentList found;
  SearchMoviChunks(card.Source, 0, static_cast<int64_t>(card.Source.size()), 2, found);
  Quiet quiet;
  StreamInterleave interleave;
  const PieceList pieces = CollectPieces(found, quiet, interleave);
  ASSERT_GT(pieces.size(), 200u);
  const ClusterGeometry geometry = FileSystemGrid(static_cast<int64_t>(card.Source.size()));

  // The content tells nothing; the seams' cost is some fixed function of the layout, so that
  // layouts differ, and counted.
  int weighed = 0;
  JoinEvidence evidence;
  evidence.Geometry = &geometry;
  evidence.Interleave = &interleave;
  evidence.Check = [&](uint32_t, std::span<const ByteRange>) {
    ++weighed;
    return JoinVerdict::Unknown;
  };
  evidence.Cost = [&](uint32_t, std::span<const ByteRange> extents) {
    ++weighed;
    int64_t sum = 0;
    for (const ByteRange& e : extents) sum += e.Offset / Cluster * 7 + e.Length / Cluster;
    return static_cast<double>(sum % 5);
  };
  auto joins = [&] {
    ReassemblyTotals totals;
    std::vector<std::pair<std::vector<uint32_t>, std::vector<std::vector<ByteRange>>>> out;
    const Reassembly recordings = ReassemblePieces(pieces, evidence, totals);
    for (size_t r = 0; r < recordings.Recordings(); ++r) {
      const std::span<const uint32_t> joined = recordings.PiecesOf(r);
      std::vector<std::vector<ByteRange>> extents;
      for (size_t i = 0; i + 1 < joined.size(); ++i) extents.push_back(recordings.JoinExtents(joined[i]));
      out.emplace_back(std::vector<uint32_t>(joined.begin(), joined.end()), extents);
    }
    return out;
  };
  const auto everyOne = joins();
  const int everyOneWeighed = std::exchange(weighed, 0);
  evidence.MayFit = [](uint32_t) { return false; };
  const auto nearest = joins();
  EXPECT_EQ(nearest, everyOne);
  EXPECT_LT(weighed, everyOneWeighed);
  EXPECT_LT(everyOne.size(), pieces.size() / 3);  // most pieces were joined
}

TEST(Reassembly, FramesBeforeTheFirstKeyframeAreLeftOutAndCounted) {
  // The start of the recording is lost: it begins two frames before an IDR picture.
  const Recording a = MakeRecording(20, 9, 3);
  Bytes source = testing::Filler(static_cast<size_t>(Origin));
  for (const Bytes& chunk : a.Chunks) source.insert(source.end(), chunk.begin(), chunk.end());
  const Bytes end = testing::Filler(2 * Cluster);
  source.insert(source.end(), end.begin(), end.end());

  const Outcome run = Recover(source, {}, FileSystemGrid(static_cast<int64_t>(source.size())), true);
  ASSERT_EQ(run.Files.size(), 1u);
  EXPECT_EQ(run.Report.FramesLeftOut, 2u);
  EXPECT_EQ(run.Report.Files[0].FramesLeftOut, (std::vector<uint64_t>{2, 0}));
  // The sound of those frames stays; the file starts at the IDR picture's chunk otherwise.
  std::vector<Bytes> expected = a.Chunks;
  expected.erase(expected.begin() + 2);
  expected.erase(expected.begin());
  EXPECT_EQ(Compare(run.Files[0], expected), "same");

  WriteOptions keep;
  keep.KeepUndecodable = true;
  const Outcome kept = Recover(source, keep, FileSystemGrid(static_cast<int64_t>(source.size())), true);
  ASSERT_EQ(kept.Files.size(), 1u);
  EXPECT_EQ(Compare(kept.Files[0], a.Chunks), "same");
  EXPECT_EQ(kept.Report.FramesLeftOut, 0u);
}

TEST(Pieces, AChainIsCutWhereAChunkEndLandsOnAnotherRecordingByChance) {
  // a's last chunk breaks off at a boundary; b's data follows, and the chunk's declared end lands
  // exactly on one of b's chunks, which b's own chain, starting inside that chunk, also reaches.
  const Bytes first = Chunk("00dc", Bytes(100, 1));
  const Bytes broken = Cat({Text("00dc"), U32(400), Bytes(50, 2)});
  const Bytes b1 = Chunk("01wb", Bytes(100, 3)), b2 = Chunk("01wb", Bytes(200, 4)), b3 = Chunk("00dc", Bytes(30, 5));
  const Bytes lead(408 - 58 - b1.size() - b2.size(), 6);
  const Bytes source = Cat({first, broken, lead, b1, b2, b3, b3});
  FragmentList found;
  SearchMoviChunks(source, 0, static_cast<int64_t>(source.size()), 2, found);
  Quiet quiet;
  StreamInterleave interleave;
  const PieceList pieces = CollectPieces(found, quiet, interleave);
  ASSERT_EQ(pieces.size(), 2u);
  EXPECT_EQ(pieces[0].Start, 0);
  EXPECT_EQ(pieces[0].Members, 2u);
  EXPECT_EQ(pieces[0].LastMember, static_cast<int64_t>(first.size()));
  EXPECT_EQ(pieces[1].Start, static_cast<int64_t>(first.size() + 58 + lead.size()));
  EXPECT_EQ(pieces[1].Members, 4u);
}

TEST(Pieces, TakenBatchByBatchAsAScanFindsTheRecordsTheyAreThoseOfAllTheRecordsAtOnce) {
  std::vector<Recording> recordings;
  for (uint32_t k = 0; k < 4; ++k) recordings.push_back(MakeRecording(50, 40 + k));
  std::vector<const Recording*> all;
  for (const Recording& r : recordings) all.push_back(&r);
  Bytes source = LayOut(all, 3, 1, 4).Source;
  // A chunk end that lands on another recording by chance, so that a chain is cut.
  const Bytes lead(408 - 58 - 108 - 208, 6);
  source = Cat({source, Chunk("00dc", Bytes(100, 1)), Text("00dc"), U32(400), Bytes(50, 2), lead,
                Chunk("01wb", Bytes(100, 3)), Chunk("01wb", Bytes(200, 4)), Chunk("00dc", Bytes(30, 5))});
  FragmentList found;
  SearchMoviChunks(source, 0, static_cast<int64_t>(source.size()), 2, found);
  Quiet quiet;
  StreamInterleave interleave;
  const PieceList want = CollectPieces(found, quiet, interleave);
  ASSERT_GT(want.size(), 80u);

  for (uint32_t seed : {1u, 2u, 3u}) {
    std::mt19937 random(seed);
    PieceCollection collection;
    FragmentList held;
    size_t next = 0, mostHeld = 0;
    for (int64_t known = 0; next < found.size();) {
      known += 1 + static_cast<int64_t>(random() % 20000);
      for (; next < found.size() && found[next].Position < known; ++next) held.push_back(found[next]);
      mostHeld = std::max(mostHeld, held.size());
      collection.Settle(held, known);
    }
    collection.Finish(held, quiet);
    ASSERT_EQ(collection.Pieces.size(), want.size()) << "seed " << seed;
    for (size_t p = 0; p < want.size(); ++p) {
      const Piece& got = collection.Pieces[p];
      ASSERT_TRUE(got.Start == want[p].Start && got.Members == want[p].Members && got.LastMember == want[p].LastMember &&
                  got.LastLength == want[p].LastLength && got.FirstId == want[p].FirstId && got.LastId == want[p].LastId)
          << "piece " << p << " of seed " << seed;
    }
    EXPECT_EQ(collection.Interleave.Follows, interleave.Follows);
    // The records behind the settled pieces were let go.
    EXPECT_EQ(collection.DroppedRecords + held.size(), found.size());
    EXPECT_LT(mostHeld, found.size() / 4);
  }
}

TEST(JoinCheck, AJoinedJpegPictureMustEndWithItsEndMarker) {
  std::string problem;
  Bytes head = FfmpegLike();
  AviHeader sample = *ParseAviHeader(head, problem);
  sample.Streams[0].Compression = FourCC("MJPG");
  const Bytes soi = {0xFF, 0xD8, 0xFF, 0xE0}, eoi = {0x12, 0x34, 0xFF, 0xD9};
  const Bytes padded = {0xFF, 0xD9, 0, 0, 0}, cut = {0x12, 0xFF, 0xD9, 0x45, 0x67};
  EXPECT_EQ(JudgeJoinedChunk(sample, FourCC("00dc"), soi, eoi), JoinVerdict::Fits);
  EXPECT_EQ(JudgeJoinedChunk(sample, FourCC("00dc"), soi, padded), JoinVerdict::Fits);
  EXPECT_EQ(JudgeJoinedChunk(sample, FourCC("00dc"), soi, cut), JoinVerdict::Fails);
  EXPECT_EQ(JudgeJoinedChunk(sample, FourCC("00dc"), eoi, eoi), JoinVerdict::Fails);
  // Sound, and video of a codec whose frames have no end marker, tell nothing.
  EXPECT_EQ(JudgeJoinedChunk(sample, FourCC("01wb"), eoi, cut), JoinVerdict::Unknown);
  sample.Streams[0].Compression = FourCC("H264");
  EXPECT_EQ(JudgeJoinedChunk(sample, FourCC("00dc"), eoi, cut), JoinVerdict::Unknown);
}

TEST(JoinCheck, PcmSoundRunsOnSmoothlyAcrossTheRightSeamOnly) {
  std::string problem;
  AviHeader sample = *ParseAviHeader(FfmpegLike(), problem);
  sample.Streams[1].Compression = 1;
  sample.Streams[1].BlockAlign = 2;
  Bytes tone;
  for (int i = 0; i < 1024; ++i) {
    const Bytes word = U32(static_cast<uint32_t>(static_cast<int16_t>(8000 * std::sin(i * 0.125))));
    tone.insert(tone.end(), word.begin(), word.begin() + 2);
  }
  const size_t seam[] = {1000};
  EXPECT_LT(SeamCost(sample, FourCC("01wb"), tone, seam), 2.0);
  // The same seam with silence or another tone after it.
  Bytes wrong = tone;
  std::fill(wrong.begin() + 1000, wrong.begin() + 1512, 0);
  EXPECT_GT(SeamCost(sample, FourCC("01wb"), wrong, seam), 5.0);
  // A picture holding a sector of zeros costs it; sound and unknown ids never do.
  Bytes picture(2048, 0x5A);
  std::fill(picture.begin() + 512, picture.begin() + 1024, 0);
  EXPECT_EQ(SeamCost(sample, FourCC("00dc"), picture, seam), 1.0);
  EXPECT_EQ(SeamCost(sample, FourCC("JUNK"), picture, seam), 0.0);
  // Runs of zeros anywhere, the last one at the picture's end; one a byte short costs nothing.
  Bytes runs(3001, 0x5A);
  std::fill(runs.begin() + 3, runs.begin() + 1033, 0);
  std::fill(runs.begin() + 1100, runs.begin() + 1611, 0);
  std::fill(runs.begin() + 2401, runs.end(), 0);
  EXPECT_DOUBLE_EQ(SeamCost(sample, FourCC("00dc"), runs, seam), (1030.0 + 600.0) / 512);
}

}  // namespace
}  // namespace korvid
