#include "quantize/colour_map.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "gif/frame_encoder_internal.h"
#include "quantize/colour_map_internal.h"

namespace {

// The map must give the reference search's answer for every one of the
// 16 777 216 colours, ties included: colour by colour (Find), and in rows of
// pixels (MapPixels) every way this processor can take them. The shortcut
// answers 8 pixels from the cube unless one of them may be near another
// entry, and then looks all 8 up, so each colour goes through it in three
// rows: in order (neighbours of other colours), 16 of it alone (the cube's
// answer, or the table's), and after a mid grey (the table's, as the grey
// always sends its 8 there when grey entries win anywhere).
TEST(ColourMap, AgreesWithTheReferenceForEveryColour) {
  const Palette& palette = FixedPalette();
  const ColourMap* map = FixedPaletteColourMap();
  ASSERT_NE(map, nullptr);
  std::vector<int> ways = {0};
  for (int way = 16; way <= map->shortcut().pixels; way *= 2) ways.push_back(way);

  constexpr uint32_t kColours = 1u << 12;  // colours a round
  constexpr uint32_t kAlone = 16;
  constexpr uint32_t kAfterGrey = 7;
  std::vector<int> want(kColours);
  std::vector<uint8_t> in_order;
  std::vector<uint8_t> alone;
  std::vector<uint8_t> after_grey;
  std::vector<uint32_t> after_grey_colour;  // the colour at each pixel, or kGrey
  constexpr uint32_t kGrey = 0x808080;
  auto put = [](std::vector<uint8_t>* row, uint32_t colour) {
    row->insert(row->end(), {static_cast<uint8_t>(colour), static_cast<uint8_t>(colour >> 8),
                             static_cast<uint8_t>(colour >> 16)});
  };
  const int grey_want = FindNearestColor(kGrey, &palette);
  std::vector<uint8_t> have(kAlone * kColours);
  int mismatches = 0;
  auto check = [&](int have_index, int want_index, uint32_t colour, const char* how, int way) {
    if (have_index == want_index || ++mismatches > 10) return;
    ADD_FAILURE() << "colour 0x" << std::hex << colour << std::dec << " (" << how << ", " << way
                  << " at a time): have " << have_index << ", want " << want_index;
  };
  for (uint32_t first = 0; first < (1u << 24) && mismatches < 10; first += kColours) {
    in_order.clear();
    alone.clear();
    after_grey.clear();
    after_grey_colour.clear();
    for (uint32_t i = 0; i < kColours; ++i) {
      const uint32_t colour = first + i;
      want[i] = FindNearestColor(colour, &palette);
      check(map->Find(colour), want[i], colour, "Find", 1);
      put(&in_order, colour);
      for (uint32_t k = 0; k < kAlone; ++k) put(&alone, colour);
      if (i % kAfterGrey == 0) {
        put(&after_grey, kGrey);
        after_grey_colour.push_back(kGrey);
      }
      put(&after_grey, colour);
      after_grey_colour.push_back(colour);
    }
    for (int way : ways) {
      map->MapPixels(in_order.data(), kColours, have.data(), way);
      for (uint32_t i = 0; i < kColours; ++i) check(have[i], want[i], first + i, "in order", way);
      map->MapPixels(alone.data(), kAlone * kColours, have.data(), way);
      for (uint32_t i = 0; i < kAlone * kColours; ++i) check(have[i], want[i / kAlone], first + i / kAlone, "alone", way);
      map->MapPixels(after_grey.data(), after_grey_colour.size(), have.data(), way);
      for (size_t i = 0; i < after_grey_colour.size(); ++i) {
        const uint32_t colour = after_grey_colour[i];
        check(have[i], colour == kGrey ? grey_want : want[colour - first], colour, "after a grey", way);
      }
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
