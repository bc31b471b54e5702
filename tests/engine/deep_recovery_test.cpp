// Deep chunk following and repaired files: the recogniser, the chains, and what the writer puts
// into a file so that it describes itself.
#include <gtest/gtest.h>

#include <map>
#include <random>

#include "engine/avi/avi_layout.h"
#include "engine/avi/chain_finder.h"
#include "engine/fourcc.h"
#include "engine/fragment_writer.h"
#include "engine/memory_source.h"
#include "engine/avi/movi_chunks.h"
#include "engine/riff_builder.h"
#include "engine/scan_driver.h"
#include "engine/temp_folder.h"

namespace korvid {
namespace {

using namespace testing::riff;
using testing::MemorySource;
using testing::ReadFile;
using testing::TempFolder;

// Frame data: H.264 Annex B, an IDR slice or a non-IDR one, with a stray chunk id inside it.
Bytes Frame(size_t size, bool idr, uint8_t seed) {
  Bytes data(size);
  for (size_t i = 0; i < size; ++i) data[i] = static_cast<uint8_t>(seed + i * 7);
  const Bytes start = {0, 0, 0, 1, static_cast<uint8_t>(idr ? 0x65 : 0x41)};
  std::copy(start.begin(), start.end(), data.begin());
  if (size > 40) {
    const Bytes stray = Cat({Text("00dc"), U32(16)});
    std::copy(stray.begin(), stray.end(), data.begin() + 20);
  }
  return data;
}

// One movi chunk as laid out on the source, with the bytes a repaired file must hold for it.
struct Laid {
  std::string Id;
  korvid::testing::riff::Bytes Content;  // header, data, pad
};

// A recording's movi list: video frames (stream 0) interleaved with sound (stream 1), an
// odd-sized chunk, a rec list, an index and padding, as recorders write them.
struct Recording {
  korvid::testing::riff::Bytes Source;  // what lies on the source, from its "LIST" movi on
  std::vector<Laid> Data;  // its data chunks in order
  size_t Frames = 0;
  size_t SoundBytes = 0;

  void Add(const char* id, const korvid::testing::riff::Bytes& data) {
    const korvid::testing::riff::Bytes chunk = Chunk(id, data);
    Source.insert(Source.end(), chunk.begin(), chunk.end());
    if (KindOf(Get32(chunk, 0)) == MoviChunkKind::Data) Data.push_back({id, chunk});
    if (id[2] == 'd') ++Frames;
    if (id[2] == 'w') SoundBytes += data.size();
  }
};

Recording MakeRecording(int frames) {
  Recording r;
  r.Source = Cat({Text("LIST"), U32(0x100000), Text("movi")});
  for (int i = 0; i < frames; ++i) {
    if (i == 3) {
      // A rec list groups a frame with its sound; its header is stepped into.
      const Bytes rec = Cat({Text("LIST"), U32(4 + 8 + 300 + 8 + 44), Text("rec ")});
      r.Source.insert(r.Source.end(), rec.begin(), rec.end());
    }
    r.Add("00dc", Frame(300 + static_cast<size_t>(i % 3) * 101, i % 4 == 0, static_cast<uint8_t>(i)));
    r.Add("01wb", Bytes(44, static_cast<uint8_t>(i)));
    if (i == 5) r.Add("JUNK", Bytes(13));
    if (i == 6) r.Add("ix00", Bytes(32));
  }
  const Bytes size = U32(static_cast<uint32_t>(r.Source.size() - 8));
  std::copy(size.begin(), size.end(), r.Source.begin() + 4);
  return r;
}

FragmentList SearchAll(const Bytes& bytes, unsigned streams, int64_t start = 0, int64_t sourceSize = -1) {
  FragmentList found;
  SearchMoviChunks(bytes, start, sourceSize < 0 ? static_cast<int64_t>(bytes.size()) : sourceSize, streams, found);
  return found;
}

TEST(MoviChunks, RecognisesEveryIdAMoviListHoldsAndNothingElse) {
  const int64_t source = 1 << 20;
  auto accepts = [&](const Bytes& bytes, unsigned streams = 2, int64_t position = 0) {
    Fragment f{};
    return RecogniseMoviChunk(bytes, position, source, streams, f);
  };
  for (const char* id : {"00dc", "00db", "01wb", "00pc", "01tx", "ix01", "idx1", "JUNK"}) {
    EXPECT_TRUE(accepts(Cat({Text(id), U32(100)}))) << id;
  }
  for (const char* id : {"0xdc", "00dd", "00wc", "ixx1", "idx2", "junk", "abcd"}) {
    EXPECT_FALSE(accepts(Cat({Text(id), U32(100)}))) << id;
  }
  EXPECT_TRUE(accepts(Cat({Text("LIST"), U32(4), Text("rec ")})));
  EXPECT_TRUE(accepts(Cat({Text("LIST"), U32(500000), Text("movi")})));
  EXPECT_TRUE(accepts(Cat({Text("RIFF"), U32(500000), Text("AVIX")})));
  EXPECT_FALSE(accepts(Cat({Text("LIST"), U32(500), Text("hdrl")})));
  EXPECT_FALSE(accepts(Cat({Text("RIFF"), U32(500), Text("AVI ")})));
  EXPECT_FALSE(accepts(Cat({Text("LIST"), U32(2), Text("movi")})));
  EXPECT_FALSE(accepts(Cat({Text("LIST"), U32(500)})));  // its type lies beyond the bytes at hand

  // Streams the sample does not declare, and sizes no recording has.
  EXPECT_FALSE(accepts(Cat({Text("02wb"), U32(100)})));
  EXPECT_FALSE(accepts(Cat({Text("ix02"), U32(100)})));
  EXPECT_TRUE(accepts(Cat({Text("02wb"), U32(100)}), 3));
  EXPECT_FALSE(accepts(Cat({Text("00dc"), U32(MaxDataChunkSize + 1)}), 2, 0));
  EXPECT_FALSE(accepts(Cat({Text("00dc"), U32(100)}), 2, source - 107));
  EXPECT_TRUE(accepts(Cat({Text("00dc"), U32(100)}), 2, source - 108));
  EXPECT_FALSE(accepts(Cat({Text("LIST"), U32(source), Text("movi")})));
  EXPECT_FALSE(accepts(Text("00dc")));

  Fragment f{};
  ASSERT_TRUE(RecogniseMoviChunk(Cat({Text("01wb"), U32(7)}), 640, source, 2, f));
  EXPECT_EQ(f.Position, 640);
  EXPECT_EQ(f.Length, 15u);
  EXPECT_EQ(f.Id, FourCC("01wb"));
  EXPECT_EQ(StreamOf(f.Id), 1);
  EXPECT_EQ(StreamOf(FourCC("ix42")), 42);
  EXPECT_EQ(StreamOf(FourCC("idx1")), -1);
}

TEST(MoviChunks, SearchFindsWhatALookAtEveryOffsetFinds) {
  // Random bytes with ids planted at every alignment of a vector step, near the end included.
  std::mt19937 random(7);
  Bytes bytes(70000);
  for (uint8_t& b : bytes) b = static_cast<uint8_t>(random() % 8 == 0 ? "0dcwbpixJULISTRF"[random() % 16] : random());
  const char* ids[] = {"00dc", "01wb", "ix00", "JUNK", "LIST", "RIFF", "00tx", "idx1"};
  for (size_t at = 5, n = 0; at + 12 < bytes.size(); at += 37 + n % 33, ++n) {
    const Bytes chunk = Cat({Text(ids[n % 8]), U32(static_cast<uint32_t>(n % 5000) + 4), Text(n % 2 ? "movi" : "rec ")});
    std::copy(chunk.begin(), chunk.end(), bytes.begin() + static_cast<long>(at));
  }
  for (int64_t sourceSize : {int64_t{70000}, int64_t{40000}}) {
    const FragmentList found = SearchAll(bytes, 2, 0, sourceSize);
    std::vector<int64_t> expected;
    for (size_t p = 0; p < bytes.size(); ++p) {
      Fragment f{};
      if (RecogniseMoviChunk(std::span(bytes).subspan(p), static_cast<int64_t>(p), sourceSize, 2, f)) {
        expected.push_back(f.Position);
      }
    }
    std::vector<int64_t> positions;
    for (const Fragment& f : found) positions.push_back(f.Position);
    EXPECT_GT(expected.size(), 500u);
    EXPECT_EQ(positions, expected);
  }
}

TEST(MoviChunks, EveryCandidateFilterStopsWhereThePlainLookDoes) {
  std::mt19937 random(11);
  Bytes bytes(4099);
  // The letters of the ids, and some that the wide filters' tables take for them.
  const std::string letters = "0dcwbptxiJULRISBh\\";
  for (uint8_t& b : bytes) b = static_cast<uint8_t>(letters[random() % letters.size()]);
  const size_t last = bytes.size() - 3;
  const auto filters = MoviCandidateFilters();
  const MoviCandidateFilter plain = filters.back().Filter;
  for (const auto& [name, filter] : filters) {
    for (size_t from = 0; from < last; from += 1 + from % 5) {
      const size_t expected = plain(bytes.data(), from, last);
      ASSERT_EQ(filter(bytes.data(), from, last), expected) << name << " from " << from;
    }
  }
}

struct Quiet : RunObserver {};

std::vector<std::vector<int64_t>> Chains(const FragmentList& list, bool deep) {
  Quiet quiet;
  ChainFinder finder(list, deep, quiet);
  std::vector<std::vector<int64_t>> chains;
  for (auto chain = finder.Next(); !chain.empty(); chain = finder.Next()) {
    chains.emplace_back();
    for (const Fragment& f : chain) chains.back().push_back(f.Position);
  }
  return chains;
}

TEST(DeepChains, FollowEveryChunkOfARecordingAndSkipStrayIdsInsideFrames) {
  const Recording r = MakeRecording(12);
  const FragmentList found = SearchAll(r.Source, 2);
  const auto chains = Chains(found, true);
  ASSERT_EQ(chains.size(), 1u);
  // The movi list, the rec list, every data chunk, the JUNK and the ix00: nothing else.
  EXPECT_EQ(chains[0].size(), 1 + 1 + r.Data.size() + 2);
  EXPECT_EQ(chains[0].front(), 0);
  // The stray "00dc" inside each frame is a hit of its own, skipped by the chain.
  EXPECT_GT(found.size(), chains[0].size());

  // The plain rule chains only neighbours: the stray ids and the sound break it into pieces.
  for (const auto& chain : Chains(found, false)) EXPECT_LT(chain.size(), 4u);
}

TEST(DeepChains, AChunkThatSwallowsAnotherRecordingDoesNotHideIt) {
  // A lone chunk header whose size runs over the start of a recording: the recording's hits lie
  // inside it, yet they still form their chain once the lone one has found no continuation.
  const Recording r = MakeRecording(4);
  const Bytes bytes = Cat({Text("00dc"), U32(5000), Bytes(40, 0x11), r.Source, Bytes(5000, 0x22)});
  const auto chains = Chains(SearchAll(bytes, 2), true);
  ASSERT_EQ(chains.size(), 1u);
  EXPECT_EQ(chains[0].front(), 48);
}

TEST(DeepChains, NeedADataChunkAndForgiveAMissingPadByte) {
  const Bytes padding = Cat({Chunk("JUNK", Bytes(10)), Chunk("ix00", Bytes(24)), Bytes(30, 0x33)});
  EXPECT_TRUE(Chains(SearchAll(padding, 2), true).empty());
  // An odd-sized chunk written without its pad byte still leads to the next one.
  Bytes unpadded = Cat({Text("00dc"), U32(5), Bytes(5, 0x44), Chunk("01wb", Bytes(8, 0x55)), Bytes(20, 0x66)});
  const auto chains = Chains(SearchAll(unpadded, 2), true);
  ASSERT_EQ(chains.size(), 1u);
  EXPECT_EQ(chains[0], (std::vector<int64_t>{0, 13}));
}

// The chunks of a RIFF file: (id, offset of its header, size), lists stepped into.
struct RiffEntry {
  std::string Id;
  uint64_t Offset;
  uint32_t Size;
};
std::vector<RiffEntry> Walk(const Bytes& file, uint64_t from, uint64_t to) {
  std::vector<RiffEntry> entries;
  for (uint64_t at = from; at + 8 <= to;) {
    const std::string id(file.begin() + static_cast<long>(at), file.begin() + static_cast<long>(at) + 4);
    const uint32_t length = Get32(file, at + 4);
    entries.push_back({id, at, length});
    if (id == "RIFF" || id == "LIST") {
      const std::string type(file.begin() + static_cast<long>(at) + 8, file.begin() + static_cast<long>(at) + 12);
      entries.back().Id += ":" + type;
      const auto inner = Walk(file, at + 12, at + 8 + length);
      entries.insert(entries.end(), inner.begin(), inner.end());
    }
    at += 8 + uint64_t{length} + (length & 1);
  }
  return entries;
}

class RepairedFileTest : public ::testing::Test {
 protected:
  RepairedFileTest() {
    std::string problem;
    header = *ParseAviHeader(FfmpegLike(), problem);
  }

  // Writes the recording found on `source` and returns the file's bytes.
  Bytes WriteRecording(const Recording& r, uint64_t segmentBytes) {
    MemorySource source(Cat({Bytes(1000, 0x77), r.Source, Bytes(1000, 0x77)}));
    const FragmentList found = SearchAll(source.Bytes(), 2);
    WriteOptions options;
    options.Deep = true;
    options.Sample = &header;
    options.Repair = true;
    options.SegmentBytes = segmentBytes;
    Quiet quiet;
    WriteFragments(source, found, header.Bytes, folder.Path(), quiet, report, options);
    EXPECT_EQ(report.Files.size(), 1u);
    return ReadFile(folder / "1.AVI");
  }

  AviHeader header;
  WriteReport report;
  TempFolder folder;
};

TEST_F(RepairedFileTest, HoldsTheDataChunksBehindAHeaderThatCountsThemAndAnIndex) {
  const Recording r = MakeRecording(12);
  const Bytes file = WriteRecording(r, OpenDmlSegmentBytes);
  const WrittenFile& written = report.Files[0];
  EXPECT_TRUE(written.Repaired);
  EXPECT_EQ(written.FramesPerStream, (std::vector<uint64_t>{12, 12}));
  EXPECT_EQ(written.Bytes, file.size());
  // 12 frames at 30000/1001 frames per second.
  EXPECT_NEAR(written.DurationSeconds, 12 * 1001 / 30000.0, 1e-9);

  std::string problem;
  const auto reread = ParseAviHeader(Bytes(file.begin(), file.begin() + static_cast<long>(header.Bytes.size())), problem);
  ASSERT_TRUE(reread) << problem;
  EXPECT_EQ(Get32(file, 4), file.size() - 8);
  EXPECT_EQ(Get32(file, reread->Layout.AvihData + 16), 12u);
  EXPECT_EQ(Get32(file, reread->Layout.StrhData[0] + 32), 12u);
  EXPECT_EQ(Get32(file, reread->Layout.StrhData[1] + 32), r.SoundBytes / 2);  // 2-byte samples

  // The movi list holds the data chunks, byte for byte, and nothing else; idx1 follows it.
  const uint64_t movi = header.Bytes.size() - 12;
  const uint32_t moviSize = Get32(file, movi + 4);
  Bytes expected;
  for (const Laid& chunk : r.Data) expected.insert(expected.end(), chunk.Content.begin(), chunk.Content.end());
  EXPECT_EQ(Bytes(file.begin() + static_cast<long>(movi) + 12, file.begin() + static_cast<long>(movi + 8 + moviSize)),
            expected);
  const uint64_t idx1 = movi + 8 + moviSize;
  ASSERT_EQ(std::string(file.begin() + static_cast<long>(idx1), file.begin() + static_cast<long>(idx1) + 4), "idx1");
  ASSERT_EQ(Get32(file, idx1 + 4), 16 * r.Data.size());
  for (size_t i = 0; i < r.Data.size(); ++i) {
    const uint64_t entry = idx1 + 8 + 16 * i;
    const uint64_t chunk = movi + 8 + Get32(file, entry + 8);
    EXPECT_EQ(Get32(file, entry), Get32(r.Data[i].Content, 0));
    EXPECT_EQ(Bytes(file.begin() + static_cast<long>(chunk), file.begin() + static_cast<long>(chunk) + 8),
              Bytes(r.Data[i].Content.begin(), r.Data[i].Content.begin() + 8));
    // Every fourth frame is an IDR picture; sound is always a key.
    const bool key = r.Data[i].Id == "01wb" || i / 2 % 4 == 0;
    EXPECT_EQ(Get32(file, entry + 4), key ? 0x10u : 0u) << i;
  }
}

TEST_F(RepairedFileTest, LargeFilesAreSplitIntoOpenDmlSegmentsWithStandardAndSuperIndexes) {
  const Recording r = MakeRecording(40);
  const Bytes file = WriteRecording(r, 4096);
  const auto entries = Walk(file, 0, file.size());
  std::map<std::string, int> count;
  for (const RiffEntry& e : entries) ++count[e.Id];
  EXPECT_EQ(count["RIFF:AVI "], 1);
  EXPECT_GE(count["RIFF:AVIX"], 3);
  EXPECT_EQ(count["LIST:movi"], count["RIFF:AVIX"] + 1);
  EXPECT_EQ(count["00dc"], 40);
  EXPECT_EQ(count["01wb"], 40);
  EXPECT_EQ(count["ix00"], count["LIST:movi"]);
  EXPECT_EQ(count["idx1"], 1);
  // The walk ends exactly at the end of the file: every size word is right.
  EXPECT_EQ(entries.back().Offset + 8 + entries.back().Size + (entries.back().Size & 1), file.size());

  // Each super index entry points at an ix## chunk whose entries point at that stream's data.
  size_t indexed = 0;
  for (const RiffEntry& indx : entries) {
    if (indx.Id != "indx") continue;
    const uint64_t at = indx.Offset + 8;
    const uint32_t used = Get32(file, at + 4);
    for (uint32_t e = 0; e < used; ++e) {
      const uint64_t ix = Get32(file, at + 24 + 16 * e) | uint64_t{Get32(file, at + 28 + 16 * e)} << 32;
      ASSERT_EQ(file[ix], 'i');
      const uint32_t n = Get32(file, ix + 12);
      const uint64_t base = Get32(file, ix + 20) | uint64_t{Get32(file, ix + 24)} << 32;
      for (uint32_t k = 0; k < n; ++k) {
        const uint64_t data = base + Get32(file, ix + 32 + 8 * k);
        EXPECT_EQ(file[data - 8 + 2], file[ix + 16 + 2]);  // "dc" or "wb", as the index's own id
        EXPECT_EQ(Get32(file, data - 4), Get32(file, ix + 36 + 8 * k) & 0x7FFFFFFF);
        ++indexed;
      }
    }
  }
  EXPECT_EQ(indexed, r.Data.size());
}

TEST(DeepRecovery, RecoversInterleavedSoundAcrossScanChunksWhileThePlainModeCannot) {
  std::string problem;
  const Bytes sample = FfmpegLike();
  const Recording r = MakeRecording(200);
  // The recording straddles the border of the first two 256 KiB scan chunks.
  const Bytes image = Cat({Bytes(262144 - 20000, 0x5A), r.Source, Bytes(30000, 0x5A)});
  MemorySource source(image);
  TempFolder folder;

  auto run = [&](const Bytes& header, bool deep) {
    std::filesystem::remove_all(folder / "out");
    std::filesystem::create_directories(folder / "out");
    RecoveryRequest request;
    request.Source = &source;
    request.OutputFolder = folder / "out";
    request.Header = header;
    request.Deep = deep;
    request.RepairHeaders = deep;
    Quiet quiet;
    RecoveryReport report;
    RunRecovery(request, quiet, report);
    return report;
  };
  const RecoveryReport deep = run(sample, true);
  EXPECT_TRUE(deep.HeaderProblem.empty());
  ASSERT_EQ(deep.Write.Files.size(), 1u);
  EXPECT_EQ(deep.Write.Files[0].FramesPerStream, (std::vector<uint64_t>{200, 200}));
  EXPECT_EQ(VideoFramesWritten(deep), 200u);
  EXPECT_EQ(deep.StreamTypes, (std::vector<uint32_t>{FourCC("vids"), FourCC("auds")}));

  // Without deep, only neighbouring video chunks chain, and sound lies between them all.
  const RecoveryReport plain = run(sample, false);
  EXPECT_EQ(plain.Write.Files.size(), 0u);

  // A sample whose header cannot be read: said so, and the deep chain is copied as it lies.
  Bytes broken = sample;
  broken[8] = 'X';
  const RecoveryReport report = run(broken, true);
  EXPECT_FALSE(report.HeaderProblem.empty());
  ASSERT_EQ(report.Write.Files.size(), 1u);
  EXPECT_FALSE(report.Write.Files[0].Repaired);
  EXPECT_EQ(ReadFile(folder / "out" / "1.AVI"),
            Cat({broken, Bytes(image.begin() + 262144 - 20000, image.begin() + 262144 - 20000 + long(r.Source.size()))}));
}

}  // namespace
}  // namespace korvid
