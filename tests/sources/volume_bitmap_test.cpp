// The walk of a volume bitmap as FSCTL_GET_VOLUME_BITMAP delivers it, on volumes held in memory.
#include "sources/volume_bitmap.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "sources/le_bytes.h"
#include "sources/source_text.h"

namespace korvid::sources {
namespace {

using korvid::testing::LeBytes;

// A volume whose clusters are used or free, answering bitmap requests the way the file system
// does: the piece starts at the byte that holds the cluster asked for, says how many clusters
// remain, fills what the buffer holds and answers STATUS_BUFFER_OVERFLOW while more remain.
class FakeVolume {
 public:
  explicit FakeVolume(int64_t clusters, bool used = true) : used_(static_cast<size_t>(clusters), used) {}

  void SetFree(int64_t first, int64_t count) {
    std::fill_n(used_.begin() + first, count, false);
  }
  void SetUsed(int64_t cluster, bool used) { used_[static_cast<size_t>(cluster)] = used; }
  bool Used(int64_t cluster) const { return used_[static_cast<size_t>(cluster)]; }
  int64_t Clusters() const { return static_cast<int64_t>(used_.size()); }

  BitmapReply Answer(int64_t startingLcn, std::span<uint8_t> reply) {
    asked.push_back(startingLcn);
    const int64_t start = startingLcn / 8 * 8;
    const int64_t remaining = Clusters() - start;
    const int64_t room = static_cast<int64_t>(reply.size() - VolumeBitmapHeaderBytes) * 8;
    const int64_t count = std::min(remaining, room);
    // Bits past the end of the volume are left clear, as if free: the walk must not count them.
    std::fill(reply.begin(), reply.end(), uint8_t{0});
    LeBytes header(VolumeBitmapHeaderBytes);
    header.Put(0, static_cast<uint64_t>(start), 8).Put(8, static_cast<uint64_t>(remaining), 8);
    std::copy(header.Bytes().begin(), header.Bytes().end(), reply.begin());
    for (int64_t i = 0; i < count; ++i) {
      if (Used(start + i)) reply[VolumeBitmapHeaderBytes + static_cast<size_t>(i / 8)] |= uint8_t(1u << (i % 8));
    }
    const size_t bytes = VolumeBitmapHeaderBytes + static_cast<size_t>((count + 7) / 8);
    return {remaining > room ? StatusBufferOverflow : StatusSuccess, bytes};
  }

  BitmapRequest Request() {
    return [this](int64_t lcn, std::span<uint8_t> reply) { return Answer(lcn, reply); };
  }

  std::vector<int64_t> asked;  // the starting cluster of every request

 private:
  std::vector<bool> used_;
};

// The free runs, worked out cluster by cluster.
ClusterRuns FreeRunsOf(const FakeVolume& volume) {
  ClusterRuns runs;
  for (int64_t c = 0; c < volume.Clusters(); ++c) {
    if (volume.Used(c)) continue;
    if (!runs.empty() && runs.back().first + runs.back().second == c) {
      ++runs.back().second;
    } else {
      runs.emplace_back(c, 1);
    }
  }
  return runs;
}

TEST(WalkVolumeBitmap, RunAcrossAPieceBorderGivesTwoEntries) {
  FakeVolume volume(70000);
  volume.SetFree(32760, 20);
  const BitmapWalk walk = WalkVolumeBitmap(volume.Request());
  EXPECT_EQ(walk.Failure, "");
  EXPECT_EQ(walk.FreeRuns, (ClusterRuns{{32760, 20}}));
  EXPECT_EQ(FreeExtentEntries(walk.FreeRuns), (std::vector<std::string>{"32760 - 8", "32768 - 12"}));
  EXPECT_EQ(volume.asked, (std::vector<int64_t>{0, 32768, 65536}));
  EXPECT_EQ(walk.Requests, 3u);
  EXPECT_EQ(walk.Clusters, 70000);
}

TEST(WalkVolumeBitmap, AllFreeGivesOneEntryPerPiece) {
  FakeVolume volume(100000, false);
  const BitmapWalk walk = WalkVolumeBitmap(volume.Request());
  EXPECT_EQ(walk.Failure, "");
  EXPECT_EQ(walk.FreeRuns, (ClusterRuns{{0, 100000}}));
  EXPECT_EQ(FreeExtentEntries(walk.FreeRuns),
            (std::vector<std::string>{"0 - 32768", "32768 - 32768", "65536 - 32768", "98304 - 1696"}));
  EXPECT_EQ(walk.Requests, 4u);
}

TEST(WalkVolumeBitmap, NoneFreeGivesNoEntry) {
  FakeVolume volume(65536 + 3);
  const BitmapWalk walk = WalkVolumeBitmap(volume.Request());
  EXPECT_EQ(walk.Failure, "");
  EXPECT_TRUE(walk.FreeRuns.empty());
  EXPECT_EQ(walk.Requests, 3u);
  EXPECT_EQ(walk.Clusters, 65539);
}

TEST(WalkVolumeBitmap, SmallVolumeTakesOneRequest) {
  for (const int64_t clusters : {int64_t{1}, int64_t{13}, int64_t{32767}, int64_t{32768}}) {
    FakeVolume volume(clusters);
    volume.SetFree(clusters - 1, 1);
    const BitmapWalk walk = WalkVolumeBitmap(volume.Request());
    EXPECT_EQ(walk.Failure, "") << clusters;
    EXPECT_EQ(volume.asked, (std::vector<int64_t>{0})) << clusters;
    // The clear bits behind the last cluster of a partly used last byte are no clusters.
    EXPECT_EQ(walk.FreeRuns, (ClusterRuns{{clusters - 1, 1}})) << clusters;
    EXPECT_EQ(walk.Clusters, clusters);
  }
}

TEST(WalkVolumeBitmap, EmptyVolume) {
  FakeVolume volume(0);
  const BitmapWalk walk = WalkVolumeBitmap(volume.Request());
  EXPECT_EQ(walk.Failure, "");
  EXPECT_TRUE(walk.FreeRuns.empty());
  EXPECT_EQ(walk.Requests, 1u);
}

TEST(WalkVolumeBitmap, MixedBytesMatchClusterByCluster) {
  for (const unsigned seed : {1u, 2u, 3u}) {
    FakeVolume volume(3 * 32768 + 1234);
    std::mt19937 random(seed);
    // Stretches of every length, so that bytes of all-used, all-free and mixed bits occur.
    int64_t at = 0;
    bool used = random() % 2 == 0;
    while (at < volume.Clusters()) {
      const int64_t length = std::min<int64_t>(1 + random() % 40, volume.Clusters() - at);
      for (int64_t i = 0; i < length; ++i) volume.SetUsed(at + i, used);
      at += length;
      used = !used;
    }
    const BitmapWalk walk = WalkVolumeBitmap(volume.Request());
    EXPECT_EQ(walk.Failure, "");
    EXPECT_EQ(walk.FreeRuns, FreeRunsOf(volume)) << "seed " << seed;
  }
}

TEST(WalkVolumeBitmap, FailedStatusKeepsTheRunsBeforeIt) {
  FakeVolume volume(100000, false);
  volume.SetUsed(5, true);
  int calls = 0;
  const BitmapWalk walk = WalkVolumeBitmap([&](int64_t lcn, std::span<uint8_t> reply) {
    if (++calls == 2) return BitmapReply{StatusInvalidDeviceRequest, 0};
    return volume.Answer(lcn, reply);
  });
  EXPECT_EQ(walk.Failure, "STATUS_INVALID_DEVICE_REQUEST");
  EXPECT_EQ(walk.FreeRuns, (ClusterRuns{{0, 5}, {6, 32762}}));
  EXPECT_EQ(walk.Requests, 2u);
}

TEST(WalkVolumeBitmap, FirstRequestRefused) {
  const BitmapWalk walk = WalkVolumeBitmap([](int64_t, std::span<uint8_t>) { return BitmapReply{0xC0000022, 0}; });
  EXPECT_EQ(walk.Failure, "C0000022");
  EXPECT_TRUE(walk.FreeRuns.empty());
}

TEST(WalkVolumeBitmap, MalformedRepliesEndTheWalk) {
  // Shorter than its header.
  BitmapWalk walk = WalkVolumeBitmap([](int64_t, std::span<uint8_t>) { return BitmapReply{StatusSuccess, 15}; });
  EXPECT_NE(walk.Failure, "");
  // A piece that starts after the cluster asked for.
  walk = WalkVolumeBitmap([](int64_t lcn, std::span<uint8_t> reply) {
    LeBytes header(VolumeBitmapHeaderBytes);
    header.Put(0, static_cast<uint64_t>(lcn + 8), 8).Put(8, 100, 8);
    std::copy(header.Bytes().begin(), header.Bytes().end(), reply.begin());
    return BitmapReply{StatusSuccess, reply.size()};
  });
  EXPECT_NE(walk.Failure, "");
  EXPECT_TRUE(walk.FreeRuns.empty());
  // "More follows" without a single cluster: the walk must stop instead of asking forever.
  int calls = 0;
  walk = WalkVolumeBitmap([&](int64_t lcn, std::span<uint8_t> reply) {
    ++calls;
    LeBytes header(VolumeBitmapHeaderBytes);
    header.Put(0, static_cast<uint64_t>(lcn), 8).Put(8, 0, 8);
    std::copy(header.Bytes().begin(), header.Bytes().end(), reply.begin());
    return BitmapReply{StatusBufferOverflow, reply.size()};
  });
  EXPECT_NE(walk.Failure, "");
  EXPECT_EQ(calls, 1);
}

TEST(WalkVolumeBitmap, OnlyTheDeliveredBytesCount) {
  // The status block says 16 + 2 bytes came: 16 clusters, whatever the buffer holds behind them.
  const BitmapWalk walk = WalkVolumeBitmap([](int64_t, std::span<uint8_t> reply) {
    std::fill(reply.begin(), reply.end(), uint8_t{0});
    LeBytes header(VolumeBitmapHeaderBytes);
    header.Put(0, 0, 8).Put(8, 1000, 8);
    std::copy(header.Bytes().begin(), header.Bytes().end(), reply.begin());
    reply[VolumeBitmapHeaderBytes] = 0xFF;
    reply[VolumeBitmapHeaderBytes + 1] = 0x7F;
    return BitmapReply{StatusSuccess, VolumeBitmapHeaderBytes + 2};
  });
  EXPECT_EQ(walk.FreeRuns, (ClusterRuns{{15, 1}}));
  EXPECT_EQ(walk.Clusters, 16);
}

TEST(ParseVolumeBitmap, HeaderFieldsAndBitmap) {
  LeBytes reply(VolumeBitmapHeaderBytes + 2);
  reply.Put(0, 65536, 8).Put(8, 12345, 8).Put(16, 0xA5, 1).Put(17, 0x3C, 1);
  const std::optional<VolumeBitmap> bitmap = ParseVolumeBitmap(reply.Bytes());
  ASSERT_TRUE(bitmap);
  EXPECT_EQ(bitmap->StartingLcn, 65536);
  EXPECT_EQ(bitmap->BitmapSize, 12345);
  ASSERT_EQ(bitmap->Bitmap.size(), 2u);
  EXPECT_EQ(bitmap->Bitmap[0], 0xA5);
  EXPECT_EQ(bitmap->Bitmap[1], 0x3C);
  EXPECT_EQ(VolumeBitmapReplyBytes, 4112u);
}

TEST(ParseVolumeBitmap, ShortOrNegativeIsRefused) {
  EXPECT_FALSE(ParseVolumeBitmap(LeBytes(15).Bytes()));
  LeBytes negative(VolumeBitmapHeaderBytes);
  negative.Put(8, 0xFFFFFFFFFFFFFFFF, 8);
  EXPECT_FALSE(ParseVolumeBitmap(negative.Bytes()));
}

TEST(NtStatusText, NamedStatuses) {
  EXPECT_EQ(NtStatusText(0xC000000D), "STATUS_INVALID_PARAMETER");
  EXPECT_EQ(NtStatusText(0xC0000010), "STATUS_INVALID_DEVICE_REQUEST");
  EXPECT_EQ(NtStatusText(0xC0000021), "STATUS_ALREADY_COMMITTED");
  EXPECT_EQ(NtStatusText(0xC0000023), "STATUS_BUFFER_TOO_SMALL");
}

TEST(NtStatusText, OthersAsEightUpperCaseHexDigits) {
  EXPECT_EQ(NtStatusText(0xC0000022), "C0000022");
  EXPECT_EQ(NtStatusText(0xDEADBEEF), "DEADBEEF");
  EXPECT_EQ(NtStatusText(0x103), "00000103");
  EXPECT_EQ(NtStatusText(0), "00000000");
}

TEST(ClusterOriginOf, ByFileSystemName) {
  EXPECT_EQ(ClusterOriginOf("NTFS"), ClusterOrigin::VolumeStart);
  EXPECT_EQ(ClusterOriginOf("ReFS"), ClusterOrigin::VolumeStart);
  EXPECT_EQ(ClusterOriginOf(""), ClusterOrigin::VolumeStart);
  EXPECT_EQ(ClusterOriginOf("FAT"), ClusterOrigin::FatDataArea);
  EXPECT_EQ(ClusterOriginOf("FAT32"), ClusterOrigin::FatDataArea);
  EXPECT_EQ(ClusterOriginOf("fat16"), ClusterOrigin::FatDataArea);
  EXPECT_EQ(ClusterOriginOf("exFAT"), ClusterOrigin::ExFatClusterHeap);
  EXPECT_EQ(ClusterOriginOf("EXFAT"), ClusterOrigin::ExFatClusterHeap);
}

TEST(ClusterRunsToByteRanges, FromClusterZeroInWholeClusters) {
  const ClusterRuns runs{{0, 2}, {5, 1}, {9, 3}};
  EXPECT_EQ(ClusterRunsToByteRanges(runs, 1000, 4096, INT64_MAX),
            (std::vector<ByteRange>{{1000, 8192}, {1000 + 5 * 4096, 4096}, {1000 + 9 * 4096, 3 * 4096}}));
  // The end of the readable source cuts a run, and drops one behind it.
  EXPECT_EQ(ClusterRunsToByteRanges(runs, 1000, 4096, 1000 + 10 * 4096),
            (std::vector<ByteRange>{{1000, 8192}, {1000 + 5 * 4096, 4096}, {1000 + 9 * 4096, 4096}}));
  EXPECT_EQ(ClusterRunsToByteRanges(runs, 1000, 4096, 1000 + 6 * 4096),
            (std::vector<ByteRange>{{1000, 8192}, {1000 + 5 * 4096, 4096}}));
}

TEST(MergeByteRanges, SortsAndJoinsTouchingAndOverlapping) {
  EXPECT_EQ(MergeByteRanges({{100, 50}, {0, 10}, {10, 5}, {120, 100}, {130, 10}, {400, 1}}),
            (std::vector<ByteRange>{{0, 15}, {100, 120}, {400, 1}}));
  EXPECT_TRUE(MergeByteRanges({}).empty());
}

}  // namespace
}  // namespace korvid::sources
