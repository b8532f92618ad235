#include "quantize/palette.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

namespace {

Palette Built() {
  Palette palette;
  BuildPalette(&palette);
  return palette;
}

uint32_t Word(int red, int green, int blue) {
  return static_cast<uint32_t>(red) << 16 | static_cast<uint32_t>(green) << 8 | static_cast<uint32_t>(blue);
}

// ---------------------------------------------------------------- the table

struct EntryCase {
  int index;
  uint32_t want_argb;
};

TEST(Palette, EntriesAtTheirIndices) {
  const EntryCase cases[] = {
      {0, 0x00000000},   {1, 0xFF800000},   {7, 0xFF808080},   {8, 0xFFC0C0C0},   {9, 0xFFFF0000},
      {14, 0xFF00FFFF},  {15, 0xFFFFFFFF},  {16, 0xFF000000},  {17, 0xFFFFFFFF},  {18, 0xFF060606},
      {19, 0xFF121212},  {26, 0xFF666666},  {38, 0xFFF6F6F6},  {39, 0xFFFFFFFF},  {40, 0xFF000000},
      {41, 0xFF000033},  {46, 0xFF003300},  {76, 0xFF330000},  {126, 0xFF666666}, {220, 0xFFFF0000},
      {254, 0xFFFFFFCC}, {255, 0xFFFFFFFF},
  };
  const Palette palette = Built();
  EXPECT_EQ(palette.flags, 0u);
  EXPECT_EQ(palette.count, 256u);
  for (const EntryCase& c : cases)
    EXPECT_EQ(palette.entries[c.index], c.want_argb) << "entry " << c.index << ": have " << std::hex
                                                     << palette.entries[c.index] << ", want " << c.want_argb;
}

TEST(Palette, OnlyEntryZeroIsTransparent) {
  const Palette palette = Built();
  EXPECT_EQ(palette.entries[0] >> 24, 0u);
  for (int i = 1; i < 256; ++i) EXPECT_EQ(palette.entries[i] >> 24, 0xFFu) << "entry " << i;
}

TEST(Palette, CubeIsRedOutermostBlueInnermost) {
  const Palette palette = Built();
  for (int r = 0; r < 6; ++r)
    for (int g = 0; g < 6; ++g)
      for (int b = 0; b < 6; ++b) {
        const int index = 40 + 36 * r + 6 * g + b;
        EXPECT_EQ(palette.entries[index], 0xFF000000u | Word(51 * r, 51 * g, 51 * b)) << "entry " << index;
      }
}

// ------------------------------------------------------------ colour matching

struct MatchCase {
  const char* what;
  int red, green, blue;
  int want_index;
};

TEST(FindNearestColor, KnownColours) {
  const MatchCase cases[] = {
      {"white: the last of four whites", 255, 255, 255, 255},
      {"black: the cube's, not the system one", 0, 0, 0, 40},
      {"pure red", 255, 0, 0, 220},
      {"pure green", 0, 255, 0, 70},
      {"pure blue", 0, 0, 255, 45},
      {"yellow", 255, 255, 0, 250},
      {"magenta", 255, 0, 255, 225},
      {"cyan", 0, 255, 255, 75},
      {"grey 128 only in the first block", 128, 128, 128, 7},
      {"grey 192 only in the first block", 192, 192, 192, 8},
      {"grey 102: tie 26/126, higher wins", 102, 102, 102, 126},
      {"grey 100: nearest is 126 at 38", 100, 100, 100, 126},
      {"dark red", 128, 0, 0, 1},
      {"near black: tie 16/40 at 54", 1, 2, 3, 40},
      {"grey 6 is the ramp's", 6, 6, 6, 18},
      {"grey 246 is the ramp's", 246, 246, 246, 38},
  };
  const Palette palette = Built();
  for (const MatchCase& c : cases) {
    const int have = FindNearestColor(Word(c.red, c.green, c.blue), &palette);
    EXPECT_EQ(have, c.want_index) << c.what << ": have " << have << ", want " << c.want_index;
  }
}

TEST(FindNearestColor, IgnoresTheTopByte) {
  const Palette palette = Built();
  EXPECT_EQ(FindNearestColor(0xFF000000u | Word(255, 0, 0), &palette), 220);
  EXPECT_EQ(FindNearestColor(0x12000000u | Word(1, 2, 3), &palette), 40);
}

// The matcher is the true minimum of the measure, the highest index on ties,
// and never the transparent entry: checked against a brute force written out
// independently, over a lattice that crosses every palette level.
TEST(FindNearestColor, MinimumOfTheMeasureAndNeverTransparent) {
  const Palette palette = Built();
  auto distance = [&](int i, int r, int g, int b) {
    const int dr = std::abs(static_cast<int>(palette.entries[i] >> 16 & 0xFF) - r);
    const int dg = std::abs(static_cast<int>(palette.entries[i] >> 8 & 0xFF) - g);
    const int db = std::abs(static_cast<int>(palette.entries[i] & 0xFF) - b);
    return 16 * std::max(dr, std::max(dg, db)) + dr + dg + db;
  };
  int failures = 0;
  for (int r = 0; r < 256 && failures < 5; r += 5)
    for (int g = 1; g < 256 && failures < 5; g += 7)
      for (int b = 2; b < 256 && failures < 5; b += 3) {
        const int have = FindNearestColor(Word(r, g, b), &palette);
        int want = 1;
        for (int i = 2; i < 256; ++i)
          if (distance(i, r, g, b) <= distance(want, r, g, b)) want = i;
        if (have != want) {
          ++failures;
          ADD_FAILURE() << "(" << r << "," << g << "," << b << "): have " << have << ", want " << want;
        }
        if (have == 0) ADD_FAILURE() << "index 0 for (" << r << "," << g << "," << b << ")";
      }
}

}  // namespace
