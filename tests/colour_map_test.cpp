#include "quantize/colour_map.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "gif/frame_encoder.h"

namespace {

// The map must give the reference search's answer for every one of the
// 16 777 216 colours, ties included.
TEST(ColourMap, AgreesWithTheReferenceForEveryColour) {
  const Palette& palette = FixedPalette();
  const ColourMap* map = FixedPaletteColourMap();
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

// The map answers for the fixed palette only: the encoder must not take it
// for another one. White is entry 255 of the fixed palette; with that entry
// turned off-white, white is entry 39's.
TEST(ColourMap, TheEncoderTakesItForTheFixedPaletteOnly) {
  Palette changed = FixedPalette();
  changed.entries[255] = 0xFFFEFEFE;
  EXPECT_TRUE(IsFixedPalette(FixedPalette()));
  EXPECT_FALSE(IsFixedPalette(changed));
  const std::vector<uint8_t> white(4, 0xFF);  // one pixel, padded to 4 bytes
  const std::pair<const Palette*, int> cases[] = {{&FixedPalette(), 255}, {&changed, 39}};
  for (const auto& c : cases) {
    uint8_t index[4] = {};
    MapFrameToIndices(FrameLayout::kPlain, *c.first, 1, white.data(), 1, index, sizeof index);
    EXPECT_EQ(int{index[0]}, c.second);
  }
}

}  // namespace
