#include "engine/run_control.h"

#include <gtest/gtest.h>

namespace korvid {
namespace {

TEST(RemainingTime, EstimateFromTheRateSoFar) {
  RemainingTime time;
  time.Begin();
  std::optional<std::string> caption;
  for (int tick = 0; tick < 10; ++tick) caption = time.Tick(550000, 5500000);
  EXPECT_EQ(time.ElapsedTicks, 11);
  ASSERT_TRUE(caption.has_value());
  EXPECT_EQ(*caption, "剩余时间: 1 : 39");  // rate 50000 per tick, 99 s left
}

TEST(RemainingTime, NoCaptionWhileTheRateIsZero) {
  RemainingTime time;
  time.Begin();
  for (int tick = 0; tick < 9; ++tick) time.Tick(5, 100);
  EXPECT_FALSE(time.Tick(5, 100).has_value());
  EXPECT_FALSE(time.Tick(0, 0).has_value());
}

TEST(RemainingTime, MinutesAreNotFoldedIntoHours) {
  RemainingTime time;
  time.Begin();
  EXPECT_EQ(time.Tick(2, 2 + 7507 * 1), "剩余时间: 125 : 7");  // rate 1 after one tick
}

TEST(GaugeScale, KibibytesWhileTheyFitAndCoarserUnitsBeyond) {
  const GaugeScale small(5500000 * int64_t{1024}, 1024);
  EXPECT_EQ(small.Maximum(), 5500000);
  EXPECT_EQ(small.Value(1024 * 256), 256);

  const int64_t fourTiB = int64_t{4} << 40;
  const GaugeScale large(fourTiB, 1024);
  EXPECT_GT(large.Maximum(), INT32_MAX / 2);
  EXPECT_LE(large.Maximum(), INT32_MAX);
  EXPECT_EQ(large.Value(fourTiB / 2), large.Maximum() / 2);
  EXPECT_EQ(large.Value(0), 0);

  const GaugeScale huge(INT64_MAX, 1);
  EXPECT_LE(huge.Maximum(), INT32_MAX);
  EXPECT_GT(huge.Maximum(), 0);
}

}  // namespace
}  // namespace korvid
