#include "engine/avi/avi_header.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <tuple>

#include "engine/fourcc.h"
#include "engine/riff_builder.h"

namespace korvid {
namespace {

using namespace testing::riff;

// A head of `count` video streams.
Bytes WithStreams(size_t count) {
  std::vector<Bytes> hdrl(count, VideoStrl());
  hdrl.insert(hdrl.begin(), Avih());
  return Sample(hdrl);
}

Bytes Indx(uint32_t entries) {
  return Chunk("indx", Cat({Words(24, {{0, 4}, {4, entries}}), Bytes(16 * entries)}));
}
Bytes Odml() { return List("odml", {Chunk("dmlh", Words(248, {{0, 9}}))}); }

std::optional<AviHeader> Parse(const Bytes& bytes) {
  std::string problem;
  auto header = ParseAviHeader(bytes, problem);
  EXPECT_EQ(problem.empty(), header.has_value()) << problem;
  return header;
}

auto Fields(const AviStream& s) {
  return std::tuple(s.Type, s.Handler, s.Compression, s.Scale, s.Rate, s.SampleSize, s.BlockAlign);
}

void ExpectSameStreams(const AviHeader& a, const AviHeader& b) {
  ASSERT_EQ(a.Streams.size(), b.Streams.size());
  for (size_t i = 0; i < a.Streams.size(); ++i) EXPECT_EQ(Fields(a.Streams[i]), Fields(b.Streams[i])) << i;
}

TEST(AviHeaderParse, ReadsStreamsAndLayoutOfAnFfmpegHead) {
  const Bytes bytes = FfmpegLike();
  const auto header = Parse(bytes);
  ASSERT_TRUE(header);
  EXPECT_EQ(header->Bytes, bytes);
  EXPECT_EQ(header->MicroSecPerFrame, 33366u);
  ASSERT_EQ(header->Streams.size(), 2u);
  EXPECT_EQ(Fields(header->Streams[0]),
            Fields({FourCC("vids"), FourCC("H264"), FourCC("H264"), 1001, 30000, 0, 0}));
  EXPECT_EQ(Fields(header->Streams[1]), Fields({FourCC("auds"), 0, 6, 1, 8000, 2, 4}));

  const AviHeaderLayout& layout = header->Layout;
  EXPECT_EQ(Get32(bytes, layout.HdrlList + 8), FourCC("hdrl"));
  EXPECT_EQ(Get32(bytes, layout.AvihData - 8), FourCC("avih"));
  ASSERT_EQ(layout.StrlLists.size(), 2u);
  for (size_t i = 0; i < 2; ++i) {
    EXPECT_EQ(Get32(bytes, layout.StrlLists[i] + 8), FourCC("strl"));
    EXPECT_EQ(layout.StrhData[i], layout.StrlLists[i] + 20);
  }
  EXPECT_TRUE(layout.IndxChunks.empty());
  EXPECT_FALSE(layout.OdmlList);
  EXPECT_EQ(layout.MoviList, bytes.size() - 12);
}

TEST(AviHeaderParse, FindsIndxChunksAndOdmlList) {
  const Bytes bytes = Sample({Avih(), VideoStrl({Indx(2)}), Odml(), AudioStrl({Indx(1)})});
  const auto header = Parse(bytes);
  ASSERT_TRUE(header);
  ASSERT_EQ(header->Layout.IndxChunks.size(), 2u);
  EXPECT_EQ(Get32(bytes, header->Layout.IndxChunks[0]), FourCC("indx"));
  EXPECT_GT(header->Layout.IndxChunks[1], header->Layout.StrlLists[1]);
  ASSERT_TRUE(header->Layout.OdmlList);
  EXPECT_EQ(Get32(bytes, *header->Layout.OdmlList + 8), FourCC("odml"));
}

TEST(AviHeaderParse, StreamsNeitherVideoNorAudioReadNoFormatFields) {
  const auto header =
      Parse(Sample({Avih(), List("strl", {Strh("txts", 0, 1, 1, 0), Chunk("strf", Bytes(2))})}));
  ASSERT_TRUE(header);
  EXPECT_EQ(Fields(header->Streams[0]), Fields({FourCC("txts"), 0, 0, 1, 1, 0, 0}));
}

TEST(AviHeaderParse, RejectsMalformedHeads) {
  const Bytes video = VideoStrl();
  Bytes afterMovi = FfmpegLike();
  afterMovi.resize(afterMovi.size() + 4);
  Bytes noMovi = FfmpegLike();
  const Bytes junkAtEnd = Chunk("JUNK", Text("movi"));
  std::copy(junkAtEnd.begin(), junkAtEnd.end(), noMovi.end() - 12);

  const std::vector<std::pair<Bytes, std::string>> cases = {
      {{}, "not a RIFF AVI"},
      {Cat({Text("RIFF"), U32(4), Text("WAVE")}), "not a RIFF AVI"},
      {Cat({Text("RIFF"), U32(4), Text("AVI "), Text("LIST"), U32(4), Text("movi")}), "no LIST hdrl"},
      {Sample({video}), "no avih"},
      {Sample({Avih(52), video}), "avih shorter"},
      {Sample({Avih(), Avih(), video}), "second avih"},
      {Sample({Avih()}), "no strl"},
      {Sample({Avih(), video}, {List("hdrl", {})}), "second LIST hdrl"},
      {Sample({Avih(), video, Odml(), Odml()}), "second LIST odml"},
      {Sample({Avih(), List("strl", {Chunk("strf", Bytes(40))})}), "no strh"},
      {Sample({Avih(), List("strl", {Strh("vids", 0, 1, 1, 0)})}), "no strf"},
      {Sample({Avih(), List("strl", {Strh("vids", 0, 1, 1, 0), Strh("vids", 0, 1, 1, 0)})}), "second 'strh'"},
      {Sample({Avih(), List("strl", {Chunk("strh", Bytes(44)), Chunk("strf", Bytes(40))})}), "too short"},
      {Sample({Avih(), List("strl", {Strh("vids", 0, 1, 1, 0), Chunk("strf", Bytes(19))})}), "too short"},
      {Sample({Avih(), List("strl", {Strh("auds", 0, 1, 1, 0), Chunk("strf", Bytes(13))})}), "too short"},
      {Sample({Avih(), video, Chunk("LIST", Bytes(2))}), "too short for a list type"},
      {Sample({Avih(), video, Text("JNK")}), "truncated chunk header"},
      {WithStreams(101), "more than 100 streams"},
      {afterMovi, "is not the end of the header"},
      {noMovi, "is not a LIST movi"},
  };
  for (const auto& [bytes, expected] : cases) {
    std::string problem;
    EXPECT_FALSE(ParseAviHeader(bytes, problem)) << expected;
    EXPECT_NE(problem.find(expected), std::string::npos) << problem << " / " << expected;
  }
}

TEST(AviHeaderParse, SizeWordsThatRunPastTheirListAreRejected) {
  const Bytes bytes = Sample({Avih(), VideoStrl()});
  const auto header = Parse(bytes);
  ASSERT_TRUE(header);
  // The hdrl list (against the whole head) and the first strh (against its strl list).
  for (const size_t sizeWord : {header->Layout.HdrlList + 4, header->Layout.StrhData[0] - 4}) {
    for (const uint32_t size : {0xffffffffu, 0xfffffffeu, 0xfffffff8u, 0x80000000u, uint32_t(bytes.size())}) {
      Bytes bad = bytes;
      std::copy_n(U32(size).begin(), 4, bad.begin() + long(sizeWord));
      std::string problem;
      EXPECT_FALSE(ParseAviHeader(bad, problem)) << sizeWord << " " << size;
      EXPECT_NE(problem.find("truncated chunk"), std::string::npos) << problem;
    }
  }
}

TEST(AviHeaderParse, EveryTruncatedHeadIsRejected) {
  const Bytes whole = Sample({Avih(), VideoStrl({Indx(1)}), AudioStrl(), Odml()});
  ASSERT_TRUE(Parse(whole));
  for (size_t length = 0; length < whole.size(); ++length) {
    const Bytes prefix(whole.begin(), whole.begin() + long(length));
    std::string problem;
    EXPECT_FALSE(ParseAviHeader(prefix, problem)) << length;
    EXPECT_FALSE(problem.empty()) << length;
  }
}

TEST(AviHeaderParse, OneHundredStreamsAreAccepted) {
  const auto header = Parse(WithStreams(100));
  ASSERT_TRUE(header);
  EXPECT_EQ(header->Streams.size(), 100u);
}

// Checks the AVI_INDEX_OF_INDEXES chunk at `at` field by field.
void ExpectSuperIndex(const Bytes& out, size_t at, const char* chunkId,
                      const std::vector<SuperIndexEntry>& entries) {
  EXPECT_EQ(Get32(out, at), FourCC("indx"));
  EXPECT_EQ(Get32(out, at + 4), 24 + 16 * entries.size());
  EXPECT_EQ(Get32(out, at + 8), 4u);  // wLongsPerEntry 4, bIndexSubType 0, bIndexType 0
  EXPECT_EQ(Get32(out, at + 12), entries.size());
  EXPECT_EQ(Get32(out, at + 16), Get32(Text(chunkId), 0));
  for (size_t reserved = at + 20; reserved < at + 32; reserved += 4) EXPECT_EQ(Get32(out, reserved), 0u);
  for (size_t k = 0; k < entries.size(); ++k) {
    const size_t entry = at + 32 + 16 * k;
    EXPECT_EQ(Get32(out, entry) | uint64_t{Get32(out, entry + 4)} << 32, entries[k].Offset) << k;
    EXPECT_EQ(Get32(out, entry + 8), entries[k].Size) << k;
    EXPECT_EQ(Get32(out, entry + 12), entries[k].Duration) << k;
  }
}

TEST(AviHeaderRepair, SetsTheTotalsAndLeavesEveryOtherByte) {
  const Bytes bytes = FfmpegLike();
  const auto header = Parse(bytes);
  ASSERT_TRUE(header);
  const Bytes out = RepairedHeader(
      *header,
      {.RiffSize = 0x12345678, .MoviSize = 0x01020304, .AvihTotalFrames = 777, .StreamLength = {778, 31000}});
  ASSERT_EQ(out.size(), bytes.size());
  const AviHeaderLayout& layout = header->Layout;
  const std::vector<std::pair<size_t, uint32_t>> fields = {{4, 0x12345678},
                                                           {layout.MoviList + 4, 0x01020304},
                                                           {layout.AvihData + 12, 0x110},
                                                           {layout.AvihData + 16, 777},
                                                           {layout.StrhData[0] + 32, 778},
                                                           {layout.StrhData[1] + 32, 31000}};
  for (const auto& [at, value] : fields) EXPECT_EQ(Get32(out, at), value) << at;
  for (size_t at = 0; at < out.size(); ++at) {
    const bool field = std::any_of(fields.begin(), fields.end(), [at](auto f) { return at - f.first < 4; });
    if (!field) {
      ASSERT_EQ(out[at], bytes[at]) << at;
    }
  }
  const auto reparsed = Parse(out);
  ASSERT_TRUE(reparsed);
  ExpectSameStreams(*header, *reparsed);
}

TEST(AviHeaderRepair, WithoutSuperIndexEveryIndxBecomesJunkOfItsLength) {
  const Bytes bytes = Sample({Avih(), VideoStrl({Indx(2)}), AudioStrl({Indx(3)})});
  const auto header = Parse(bytes);
  ASSERT_TRUE(header);
  const Bytes out = RepairedHeader(*header, {.StreamLength = {1, 2}});
  ASSERT_EQ(out.size(), bytes.size());
  ASSERT_EQ(header->Layout.IndxChunks.size(), 2u);
  for (const size_t indx : header->Layout.IndxChunks) {
    EXPECT_EQ(Get32(out, indx), FourCC("JUNK"));
    EXPECT_EQ(Get32(out, indx + 4), Get32(bytes, indx + 4));
  }
  const auto reparsed = Parse(out);
  ASSERT_TRUE(reparsed);
  EXPECT_TRUE(reparsed->Layout.IndxChunks.empty());
  ExpectSameStreams(*header, *reparsed);
}

TEST(AviHeaderRepair, WithoutSuperIndexAnOdmlListKeepsItsPlaceAndCountsTheFrames) {
  const Bytes bytes = Sample({Avih(), VideoStrl(), Odml()});
  const auto header = Parse(bytes);
  ASSERT_TRUE(header && header->Layout.DmlhData);
  EXPECT_EQ(Get32(bytes, *header->Layout.DmlhData), 9u);
  const Bytes out = RepairedHeader(*header, {.StreamLength = {1}, .DmlhTotalFrames = 4321});
  ASSERT_EQ(out.size(), bytes.size());
  EXPECT_EQ(Get32(out, *header->Layout.DmlhData), 4321u);
}

TEST(AviHeaderRepair, SuperIndexesAndOdmlListGrowTheLists) {
  const Bytes bytes = FfmpegLike();
  const auto header = Parse(bytes);
  ASSERT_TRUE(header);
  const std::vector<std::vector<SuperIndexEntry>> entries = {
      {{0x100000010, 4104, 250}, {0x200000000, 4104, 100}}, {{0x500, 800, 8000}}};
  const HeaderTotals totals{.RiffSize = 7, .MoviSize = 9, .SuperIndex = entries, .DmlhTotalFrames = 350};
  const Bytes out = RepairedHeader(*header, totals);
  const size_t growth = 2 * 32 + 3 * 16 + 268;
  ASSERT_EQ(out.size(), bytes.size() + growth);

  const auto reparsed = Parse(out);
  ASSERT_TRUE(reparsed);
  ExpectSameStreams(*header, *reparsed);
  const AviHeaderLayout& layout = reparsed->Layout;
  EXPECT_EQ(Get32(out, layout.HdrlList + 4), Get32(bytes, header->Layout.HdrlList + 4) + growth);
  ASSERT_EQ(layout.IndxChunks.size(), 2u);
  for (size_t i = 0; i < 2; ++i) {
    EXPECT_GT(layout.IndxChunks[i], layout.StrlLists[i]);
    EXPECT_LT(layout.IndxChunks[i], layout.StrlLists[i] + 8 + Get32(out, layout.StrlLists[i] + 4));
  }
  ExpectSuperIndex(out, layout.IndxChunks[0], "00dc", entries[0]);
  ExpectSuperIndex(out, layout.IndxChunks[1], "01wb", entries[1]);
  ASSERT_TRUE(layout.OdmlList);
  EXPECT_EQ(Get32(out, *layout.OdmlList + 4), 260u);
  EXPECT_EQ(Get32(out, *layout.OdmlList + 12), FourCC("dmlh"));
  EXPECT_EQ(Get32(out, *layout.OdmlList + 16), 248u);
  EXPECT_EQ(Get32(out, *layout.OdmlList + 20), 350u);
  EXPECT_EQ(Get32(out, 4), 7u);
  EXPECT_EQ(Get32(out, layout.MoviList + 4), 9u);
}

TEST(AviHeaderRepair, SuperIndexesReplaceTheSamplesIndxAndOdmlList) {
  // The odml list follows the last strl directly: its removal and that strl's new indx meet.
  const Bytes bytes = Sample({Avih(), VideoStrl({Indx(5)}), AudioStrl(), Odml(), Chunk("JUNK", Bytes(8))});
  const auto header = Parse(bytes);
  ASSERT_TRUE(header);
  const std::vector<std::vector<SuperIndexEntry>> entries = {{{0x4000, 1000, 25}}, {}};
  const Bytes out = RepairedHeader(*header, {.SuperIndex = entries, .DmlhTotalFrames = 25});
  EXPECT_EQ(out.size(), bytes.size() - (32 + 5 * 16) + (32 + 16) + 32);

  const auto reparsed = Parse(out);
  ASSERT_TRUE(reparsed);
  ExpectSameStreams(*header, *reparsed);
  ASSERT_EQ(reparsed->Layout.IndxChunks.size(), 2u);
  ExpectSuperIndex(out, reparsed->Layout.IndxChunks[0], "00dc", entries[0]);
  ExpectSuperIndex(out, reparsed->Layout.IndxChunks[1], "01wb", entries[1]);
  ASSERT_TRUE(reparsed->Layout.OdmlList);
  EXPECT_EQ(Get32(out, *reparsed->Layout.OdmlList + 20), 25u);
}

TEST(AviHeaderRepair, LengthDependsOnlyOnTheSampleAndEntryCounts) {
  const auto header = Parse(Sample({Avih(), VideoStrl({Indx(2)}), AudioStrl(), Odml()}));
  ASSERT_TRUE(header);
  const SuperIndexEntry zero, full{~0ull, ~0u, ~0u};
  const auto length = [&](std::vector<std::vector<SuperIndexEntry>> super, uint32_t value) {
    return RepairedHeader(*header, {value, value, value, {value, value}, super, value}).size();
  };
  EXPECT_EQ(length({}, 0), header->Bytes.size());
  EXPECT_EQ(length({}, ~0u), header->Bytes.size());
  const size_t placeholder = length({{zero, zero, zero}, {zero}}, 0);
  EXPECT_EQ(length({{full, full, full}, {full}}, ~0u), placeholder);
  EXPECT_EQ(length({{full, full, full, full}, {full}}, 0), placeholder + 16);
}

TEST(AviHeaderRepair, SuperIndexChunkIdsNumberTheStreamAndNameItsKind) {
  const char* types[] = {"vids", "auds", "txts", "mids"};
  std::vector<Bytes> hdrl = {Avih()};
  for (size_t i = 0; i < 12; ++i)
    hdrl.push_back(List("strl", {Strh(types[i % 4], 0, 1, 1, 0), Chunk("strf", Bytes(40))}));
  const auto header = Parse(Sample(hdrl));
  ASSERT_TRUE(header);
  const Bytes out = RepairedHeader(*header, {.SuperIndex = std::vector<std::vector<SuperIndexEntry>>(12)});
  const auto reparsed = Parse(out);
  ASSERT_TRUE(reparsed);
  const char* expected[] = {"00dc", "01wb", "02tx", "03dc", "04dc", "05wb",
                            "06tx", "07dc", "08dc", "09wb", "10tx", "11dc"};
  ASSERT_EQ(reparsed->Layout.IndxChunks.size(), 12u);
  for (size_t i = 0; i < 12; ++i) ExpectSuperIndex(out, reparsed->Layout.IndxChunks[i], expected[i], {});
}

}  // namespace
}  // namespace korvid
