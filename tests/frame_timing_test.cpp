// Frame timing, against values worked out by hand and against the exact
// reference of tests/support/reference_rules.h (which the hand-worked values
// check in turn: the fuzz target and the end-to-end tests predict their
// files with it).
#include <gtest/gtest.h>

#include <vector>

#include "gif/frame_timing.h"
#include "tests/support/reference_rules.h"

namespace {

using testing_support::ReferenceDelay;
using testing_support::ReferenceEndTime;
using testing_support::Wide;

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
    const testing_support::ReducedRate reference = testing_support::ReferenceReduction(c.rate, c.scale);
    EXPECT_TRUE(reference.rate == c.want_rate && reference.scale == c.want_scale)
        << c.rate << "/" << c.scale << ": the reference has " << reference.rate << "/" << reference.scale;
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
      EXPECT_EQ(ReferenceDelay(c.rate, c.scale, static_cast<int64_t>(n)), c.want_delays[n])
          << c.rate << "/" << c.scale << " frame " << n << ", the reference";
    }
  }
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
    EXPECT_EQ(ReferenceDelay(c.rate, c.scale, 0), c.want) << c.rate << "/" << c.scale << ", the reference";
  }
}

// FrameDelay and FrameEndTime for frame n against the exact reference.
::testing::AssertionResult MatchesTheReference(int32_t rate, int32_t scale, int64_t n) {
  FrameTiming timing{};
  if (!ReduceFrameRate(rate, scale, &timing)) return ::testing::AssertionFailure() << rate << "/" << scale << " refused";
  const int have = FrameDelay(timing, n);
  const int want = ReferenceDelay(rate, scale, n);
  if (have != want)
    return ::testing::AssertionFailure() << rate << "/" << scale << " frame " << n << ": have delay " << have
                                         << ", want " << want;
  const Wide end = ReferenceEndTime(rate, scale, n);
  if (end.high == 0 && end.low <= static_cast<uint64_t>(INT64_MAX) &&
      FrameEndTime(timing, n) != static_cast<int64_t>(end.low))
    return ::testing::AssertionFailure() << rate << "/" << scale << " frame " << n << ": have end time "
                                         << FrameEndTime(timing, n) << ", want " << end.low;
  return ::testing::AssertionSuccess();
}

// The host's files keep 32-bit frame numbers, and its own sums of
// (n + 1) * scale * 100 wrapped after minutes (about 12 at 30000/1001).
// Every frame of eight hours at 30000/1001 (863 136 frames), and at each
// rate the frames around the first whose end time a 32-bit product cannot
// hold, around eight hours, and the last a 32-bit host can ask for.
TEST(FrameDelay, StaysExactPastThirtyTwoBits) {
  const int64_t eight_hours_ntsc = 8LL * 3600 * 30000 / 1001;
  for (int64_t n = 0; n < eight_hours_ntsc; ++n) {
    const ::testing::AssertionResult result = MatchesTheReference(30000, 1001, n);
    if (!result) {
      ADD_FAILURE() << result.message();
      break;
    }
  }
  const struct {
    int32_t rate, scale;
  } cases[] = {{30000, 1001}, {24000, 1001}, {60000, 1001}, {25, 1},  {30, 1}, {1, 1},
               {70000, 1000}, {INT32_MAX, INT32_MAX},        {65535, 1}, {1, 655}, {1, INT32_MAX}, {7, 3}};
  for (const auto& c : cases) {
    const testing_support::ReducedRate reduced = testing_support::ReferenceReduction(c.rate, c.scale);
    const int64_t wraps = INT32_MAX / (reduced.scale * 100);
    const int64_t eight_hours = 8LL * 3600 * c.rate / c.scale;
    const int64_t frames[] = {wraps - 1, wraps, wraps + 1, eight_hours - 1, eight_hours,
                              INT32_MAX / 2, INT32_MAX - 2LL, INT32_MAX - 1LL};
    for (int64_t n : frames) {
      if (n < 0 || n > INT32_MAX - 1LL) continue;
      EXPECT_TRUE(MatchesTheReference(c.rate, c.scale, n));
    }
  }
}

// ------------------------------------------------------------ the reference

// Its exact arithmetic, on products that need every limb.
TEST(Reference, MulDivExactIsExact) {
  const struct {
    uint64_t a, b, d;
    Wide want;
  } cases[] = {
      {0, 12345, 7, {0, 0}},
      {10, 10, 3, {0, 33}},
      {0xFFFFFFFFu, 0xFFFFFFFFFFu, 1, {0xFF, 0xFFFFFEFF00000001u}},  // (2^32-1)(2^40-1)
      {0xFFFFFFFFu, 0xFFFFFFFFFFu, 0xFFFFFFFFu, {0, 0xFFFFFFFFFFu}},
      {1u << 31, 214748364700u, 1, {0x18, 0xFFFFFFCE00000000u}},  // 2^31 * (2^31-1) * 100
  };
  for (const auto& c : cases) {
    const Wide have = testing_support::MulDivExact(c.a, c.b, c.d);
    EXPECT_TRUE(have == c.want) << c.a << " * " << c.b << " / " << c.d << ": have " << have.high << ":"
                                << have.low << ", want " << c.want.high << ":" << c.want.low;
  }
}

}  // namespace
