#include <gtest/gtest.h>

#include <vector>

#include "gif/frame_timing.h"
#include "gif/output_pass.h"

namespace {

// ------------------------------------------------------------ rate reduction

struct ReductionCase {
  int32_t rate, scale;
  int64_t want_rate, want_scale;
};

TEST(ReduceFrameRate, BringsTheRateIntoSixteenBits) {
  const ReductionCase cases[] = {
      {30, 1, 30, 1},
      {30000, 1001, 30000, 1001},
      {65535, 1, 65535, 1},
      {300000, 10000, 30, 1},       // both multiples of 10000: exact
      {70000, 1000, 7000, 100},     // rounded up a digit at a time
      {65536, 1, 6554, 1},
      {2147483647, 1, 21475, 1},    // where the host's 32-bit sums overflowed
      {2147483647, 2147483647, 21475, 21475},
      {100000, 3, 10000, 1},
  };
  for (const ReductionCase& c : cases) {
    FrameTiming timing{};
    ASSERT_TRUE(ReduceFrameRate(c.rate, c.scale, &timing)) << c.rate << "/" << c.scale;
    EXPECT_EQ(timing.rate, c.want_rate) << c.rate << "/" << c.scale << ": have " << timing.rate;
    EXPECT_EQ(timing.scale, c.want_scale) << c.rate << "/" << c.scale << ": have " << timing.scale;
  }
}

TEST(ReduceFrameRate, RefusesRatesThatAreNoRates) {
  const int32_t cases[][2] = {{0, 1}, {-30, 1}, {30, 0}, {30, -1}, {0, 0}, {INT32_MIN, 1}};
  for (const auto& c : cases) {
    FrameTiming timing{};
    EXPECT_FALSE(ReduceFrameRate(c[0], c[1], &timing)) << c[0] << "/" << c[1];
  }
}

// ---------------------------------------------------------------- the delays

struct DelayCase {
  int32_t rate, scale;
  std::vector<int> want_delays;
};

TEST(FrameDelay, FollowsTheRoundedDownEndTimes) {
  const DelayCase cases[] = {
      {30, 1, {3, 3, 4, 3, 3, 4, 3, 3, 4}},
      {30000, 1001, {3, 3, 4, 3, 3, 4, 3, 3, 4}},
      {300000, 10000, {3, 3, 4, 3, 3, 4}},
      {25, 1, {4, 4, 4, 4}},
      {24, 1, {4, 4, 4, 4, 4, 5}},  // 4.166..: end times 4, 8, 12, 16, 20, 25
      {60, 1, {1, 2, 2, 1, 2, 2}},
      {100, 1, {1, 1, 1}},
      {200, 1, {0, 1, 0, 1}},        // faster than the field can say
      {1, 2, {200, 200}},
      {70000, 1000, {1, 1, 2, 1, 2}},  // 7000/100: end times 1.4, 2.8, 4.2, 5.7, 7.1
  };
  for (const DelayCase& c : cases) {
    FrameTiming timing{};
    ASSERT_TRUE(ReduceFrameRate(c.rate, c.scale, &timing));
    for (size_t n = 0; n < c.want_delays.size(); ++n) {
      const int have = FrameDelay(timing, static_cast<int64_t>(n));
      EXPECT_EQ(have, c.want_delays[n]) << c.rate << "/" << c.scale << " frame " << n << ": have " << have
                                        << ", want " << c.want_delays[n];
    }
  }
}

TEST(FrameDelay, EndTimesAreTheSumsOfTheDelays) {
  FrameTiming timing{};
  ASSERT_TRUE(ReduceFrameRate(30000, 1001, &timing));
  int64_t sum = 0;
  for (int64_t n = 0; n < 1000; ++n) {
    sum += FrameDelay(timing, n);
    ASSERT_EQ(sum, FrameEndTime(timing, n)) << "frame " << n;
    ASSERT_EQ(sum, (n + 1) * 1001 * 100 / 30000) << "frame " << n;
  }
}

// Eight hours at 30000/1001 is 863 136 frames: the host's 32-bit product
// overflowed after about 12 minutes; here the 3, 3, 4 rhythm holds to the end
// and the delays add up to the last end time.
TEST(FrameDelay, EightHoursKeepTheRhythm) {
  FrameTiming timing{};
  ASSERT_TRUE(ReduceFrameRate(30000, 1001, &timing));
  const int64_t frames = 8LL * 3600 * 30000 / 1001;
  int64_t sum = 0;
  for (int64_t n = 0; n < frames; ++n) {
    const int delay = FrameDelay(timing, n);
    if (delay != 3 && delay != 4) {
      ADD_FAILURE() << "frame " << n << ": have delay " << delay << ", want 3 or 4";
      break;
    }
    sum += delay;
  }
  EXPECT_EQ(sum, frames * 1001 * 100 / 30000);
  EXPECT_EQ(sum, FrameEndTime(timing, frames - 1));
  // Past 2^31 frames too: no wrap, same rhythm.
  EXPECT_EQ(FrameDelay(timing, INT32_MAX - 1LL) + FrameDelay(timing, INT32_MAX - 2LL) +
                FrameDelay(timing, INT32_MAX - 3LL),
            FrameEndTime(timing, INT32_MAX - 1LL) - FrameEndTime(timing, INT32_MAX - 4LL));
}

TEST(FrameDelay, ClampsToTheSixteenBitField) {
  struct Case {
    int32_t rate, scale;
    int want;
  } const cases[] = {
      {1, 655, 65500},
      {1, 656, 65535},           // 65600 does not fit
      {1, 1000, 65535},          // not 100000 & 0xFFFF
      {1, INT32_MAX, 65535},
  };
  for (const Case& c : cases) {
    FrameTiming timing{};
    ASSERT_TRUE(ReduceFrameRate(c.rate, c.scale, &timing));
    EXPECT_EQ(FrameDelay(timing, 0), c.want) << c.rate << "/" << c.scale;
    EXPECT_EQ(FrameDelay(timing, 1000000), c.want) << c.rate << "/" << c.scale;
  }
}

// --------------------------------------------------------------- loop count

TEST(LoopCountField, ClampsLikeTheDialog) {
  const int32_t cases[][2] = {{0, 0},         {1, 1},          {1000, 1000},       {65535, 65535},
                              {65536, 65535}, {100000, 65535}, {INT32_MAX, 65535}, {-1, 0},
                              {INT32_MIN, 0}};
  for (const auto& c : cases)
    EXPECT_EQ(LoopCountField(c[0]), c[1]) << c[0] << ": have " << LoopCountField(c[0]) << ", want " << c[1];
}

}  // namespace
