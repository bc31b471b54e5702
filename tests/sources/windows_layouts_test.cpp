// The replies of Windows' disk and volume queries, read from bytes as the system lays them out.
#include "sources/windows_layouts.h"

#include <gtest/gtest.h>

#include "sources/le_bytes.h"
#include "sources/source_text.h"

namespace korvid::sources {
namespace {

using korvid::testing::LeBytes;

TEST(ParseDiskGeometry, FieldsAtTheirOffsets) {
  LeBytes reply(DiskGeometryBytes);
  reply.Put(0, 9729, 8).Put(8, 12, 4).Put(12, 255, 4).Put(16, 63, 4).Put(20, 512, 4);
  const std::optional<DiskGeometry> geometry = ParseDiskGeometry(reply.Bytes());
  ASSERT_TRUE(geometry);
  EXPECT_EQ(geometry->Cylinders, 9729);
  EXPECT_EQ(geometry->MediaType, 12u);
  EXPECT_EQ(geometry->TracksPerCylinder, 255u);
  EXPECT_EQ(geometry->SectorsPerTrack, 63u);
  EXPECT_EQ(geometry->BytesPerSector, 512u);
  // The disk of the menu example: its media type and its cylinders' bytes.
  const uint64_t bytes = uint64_t(geometry->Cylinders) * geometry->TracksPerCylinder * geometry->SectorsPerTrack *
                         geometry->BytesPerSector;
  EXPECT_EQ(DiskCaption(0, geometry->MediaType, bytes), "HD0, Fixed Drive, [74.52 GB]");
}

TEST(ParseDiskGeometry, CylindersUseAllEightBytes) {
  LeBytes reply(DiskGeometryBytes);
  reply.Put(0, 0x0000000100000002, 8).Put(8, 11, 4);
  EXPECT_EQ(ParseDiskGeometry(reply.Bytes())->Cylinders, 0x0000000100000002);
  EXPECT_EQ(ParseDiskGeometry(reply.Bytes())->MediaType, 11u);
}

TEST(ParseDiskGeometry, ShortReplyIsRefused) {
  LeBytes reply(DiskGeometryBytes - 1, 0x11);
  EXPECT_FALSE(ParseDiskGeometry(reply.Bytes()));
  EXPECT_FALSE(ParseDiskGeometry({}));
}

TEST(ParseLengthInformation, ExactLengthBeyondFourGigabytes) {
  LeBytes reply(LengthInformationBytes);
  reply.Put(0, (uint64_t{1} << 40) + 4096 + 5, 8);
  EXPECT_EQ(ParseLengthInformation(reply.Bytes()), (int64_t{1} << 40) + 4096 + 5);
}

TEST(ParseLengthInformation, ShortOrNegativeIsRefused) {
  EXPECT_FALSE(ParseLengthInformation(LeBytes(7, 0x01).Bytes()));
  LeBytes negative(8);
  negative.Put(0, 0xFFFFFFFFFFFFFFFF, 8);
  EXPECT_FALSE(ParseLengthInformation(negative.Bytes()));
  EXPECT_EQ(ParseLengthInformation(LeBytes(8).Bytes()), 0);
}

// A reply with `count` announced and `room` extents of space; the reserved words hold garbage,
// which must not leak into the fields.
LeBytes ExtentsReply(uint32_t count, uint32_t room) {
  LeBytes reply(VolumeDiskExtentsBytes(room), 0xEE);
  reply.Put(0, count, 4);
  return reply;
}

TEST(ParseVolumeDiskExtents, EveryExtentInOrder) {
  LeBytes reply = ExtentsReply(2, 2);
  reply.Put(8, 3, 4).Put(16, 1048576, 8).Put(24, (uint64_t{5} << 30) + 512, 8);
  reply.Put(32, 1, 4).Put(40, 32256, 8).Put(48, 8225280, 8);
  const auto extents = ParseVolumeDiskExtents(reply.Bytes());
  ASSERT_TRUE(extents);
  ASSERT_EQ(extents->size(), 2u);
  EXPECT_EQ((*extents)[0], (DiskExtent{3, 1048576, (int64_t{5} << 30) + 512}));
  EXPECT_EQ((*extents)[1], (DiskExtent{1, 32256, 8225280}));
}

TEST(ParseVolumeDiskExtents, TenExtentsFitTheMenuBuffer) {
  EXPECT_LE(VolumeDiskExtentsBytes(10), 260u);
  EXPECT_GT(VolumeDiskExtentsBytes(11), 260u);
}

TEST(ParseVolumeDiskExtents, NoExtent) {
  const auto extents = ParseVolumeDiskExtents(ExtentsReply(0, 0).Bytes());
  ASSERT_TRUE(extents);
  EXPECT_TRUE(extents->empty());
}

TEST(ParseVolumeDiskExtents, ReplyShorterThanItsCountIsRefused) {
  EXPECT_FALSE(ParseVolumeDiskExtents(ExtentsReply(3, 2).Bytes()));
  // A count near 2^32 must not wrap the size check on a 32-bit build.
  EXPECT_FALSE(ParseVolumeDiskExtents(ExtentsReply(0xFFFFFFFF, 10).Bytes()));
  EXPECT_FALSE(ParseVolumeDiskExtents(ExtentsReply(0x0AAAAAAB, 10).Bytes()));
  EXPECT_FALSE(ParseVolumeDiskExtents(LeBytes(4).Bytes()));
}

TEST(VolumeDiskExtentCount, ReadFromAReplyTooSmallForTheExtents) {
  EXPECT_EQ(VolumeDiskExtentCount(ExtentsReply(14, 1).Bytes()), 14u);
  EXPECT_FALSE(VolumeDiskExtentCount(LeBytes(3).Bytes()));
}

}  // namespace
}  // namespace korvid::sources
