#include "quantize/colour_map.h"

#include <gtest/gtest.h>

namespace {

// The map must give the reference search's answer for every one of the
// 16 777 216 colours, ties included.
TEST(ColourMap, AgreesWithTheReferenceForEveryColour) {
  Palette palette;
  BuildPalette(&palette);
  const ColourMap* map = ColourMapFor(&palette);
  ASSERT_NE(map, nullptr);
  int mismatches = 0;
  for (uint32_t colour = 0; colour < (1u << 24) && mismatches < 10; ++colour) {
    const int want = FindNearestColor(colour, &palette);
    const int have = map->Find(colour);
    if (have != want) {
      ++mismatches;
      ADD_FAILURE() << "colour 0x" << std::hex << colour << std::dec << ": have " << have << ", want " << want;
    }
  }
}

TEST(ColourMap, OnlyForTheFixedPalette) {
  Palette palette;
  BuildPalette(&palette);
  EXPECT_NE(ColourMapFor(&palette), nullptr);
  EXPECT_EQ(ColourMapFor(nullptr), nullptr);
  for (int index : {0, 1, 128, 255}) {
    Palette changed = palette;
    changed.entries[index] ^= 0x00010000;
    EXPECT_EQ(ColourMapFor(&changed), nullptr) << "entry " << index << " changed";
  }
  Palette flagged = palette;
  flagged.flags = 1;
  EXPECT_EQ(ColourMapFor(&flagged), nullptr);
}

}  // namespace
