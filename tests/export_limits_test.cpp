// What an export can take, as the engine, the settings dialog and hosts all
// ask it: the looping extension's count and the largest frame, at each limit
// and on each side of it. Byte counts are worked out by hand in the rows.
#include "gif/export_limits.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <string>

#include "tests/support/reference_rules.h"

void PrintTo(FrameSizeCheck check, std::ostream* out) {
  switch (check) {
    case FrameSizeCheck::kFits: *out << "fits"; return;
    case FrameSizeCheck::kPictureSide: *out << "picture side"; return;
    case FrameSizeCheck::kHostFrameBytes: *out << "host frame bytes"; return;
  }
  *out << "unknown " << static_cast<int>(check);
}

namespace {

// --------------------------------------------------------------- loop count

TEST(LoopCountField, ClampsToTheSixteenBitField) {
  const int32_t cases[][2] = {{INT32_MIN, 0},  {-1, 0},         {0, 0},          {1, 1},
                              {1000, 1000},    {65534, 65534},  {65535, 65535},  {65536, 65535},
                              {100000, 65535}, {INT32_MAX, 65535}};
  for (const auto& c : cases) {
    EXPECT_EQ(LoopCountField(c[0]), c[1]) << c[0] << ": have " << LoopCountField(c[0]) << ", want " << c[1];
    EXPECT_EQ(testing_support::ReferenceLoopCount(c[0]), c[1]) << c[0] << ", the reference";
  }
  EXPECT_EQ(LoopCountField(kMaxLoopingCount), kMaxLoopingCount) << "the limit is the field's largest value";
}

// --------------------------------------------------------------- frame size

struct SizeCase {
  const char* what;
  int64_t host_width, height;
  bool masked;
  FrameSizeCheck want;
};

TEST(CheckHostFrameSize, RefusesBeyondEachLimit) {
  constexpr FrameSizeCheck kFits = FrameSizeCheck::kFits, kSide = FrameSizeCheck::kPictureSide,
                           kBytes = FrameSizeCheck::kHostFrameBytes;
  const SizeCase cases[] = {
      // The picture's sides, 1..65535.
      {"width 0", 0, 1, false, kSide},
      {"width 1", 1, 1, false, kFits},
      {"width 65535", 65535, 1, false, kFits},
      {"width 65536", 65536, 1, false, kSide},
      {"height 0", 1, 0, false, kSide},
      {"height 65535", 1, 65535, false, kFits},
      {"height 65536", 1, 65536, false, kSide},
      {"negative width", -1, 1, false, kSide},
      {"negative height", 1, -1, false, kSide},
      {"width INT64_MAX", INT64_MAX, 1, false, kSide},
      {"height INT64_MAX", 1, INT64_MAX, false, kSide},
      // In mask mode the picture is the left half, rounded down.
      {"mask, width 1: no picture", 1, 1, true, kSide},
      {"mask, width 2", 2, 1, true, kFits},
      {"mask, width 131071: 65535 out", 131071, 1, true, kFits},
      {"mask, width 131072: 65536 out", 131072, 1, true, kSide},
      {"mask, width INT64_MIN", INT64_MIN, 1, true, kSide},
      // The host frame's bytes, at most 2^31 - 1 = 2147483647. 10922 pixels
      // make rows of 32766 bytes padded to 32768, 10923 rows of 32772:
      // 65535 of them are 2147450880 and 2147713020 bytes.
      {"10922 x 65535", 10922, 65535, false, kFits},
      {"10923 x 65535", 10923, 65535, false, kBytes},
      {"mask, 10922 x 65535", 10922, 65535, true, kFits},
      {"mask, 10923 x 65535", 10923, 65535, true, kBytes},
      // Rows of 196608 bytes (65535 pixels): 10922 are 2147352576 bytes,
      // 10923 are 2147549184.
      {"65535 x 10922", 65535, 10922, false, kFits},
      {"65535 x 10923", 65535, 10923, false, kBytes},
      // Mask mode's widest frame, rows of 393212 bytes: 5461 are
      // 2147330732 bytes, 5462 are 2147723944.
      {"mask, 131070 x 5461", 131070, 5461, true, kFits},
      {"mask, 131070 x 5462", 131070, 5462, true, kBytes},
      {"the largest picture", 65535, 65535, false, kBytes},
  };
  for (const SizeCase& c : cases) {
    const FrameSizeCheck have = CheckHostFrameSize(c.host_width, c.height, c.masked);
    EXPECT_EQ(have, c.want) << c.what << ": have " << ::testing::PrintToString(have) << ", want "
                            << ::testing::PrintToString(c.want);
    // The encoder makes an index image of every frame that fits, and checks
    // nothing more: it must fit too.
    if (have != kFits) continue;
    EXPECT_LE(IndexImageStride(PictureWidthOf(c.host_width, c.masked)) * static_cast<uint64_t>(c.height),
              uint64_t{INT32_MAX})
        << c.what << ": index image";
  }
}

}  // namespace
