// The ordered dither: flat colours between two palette colours come out as
// a texture of both, in the right proportion, through the plug-in's
// nearest-colour rule; the texture stays where the picture stays; every
// pixel moves by its place's threshold from the Bayer matrix as published
// (through every path a row takes), but for channels at 0 or 255; a masked
// frame's mask and the rows' padding are not touched.
#include "host/sources/dither.h"

#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "plugin/plugin_interface.h"
#include "quantize/palette.h"
#include "tests/support/host_fixture.h"

namespace {

using testing_support::MakeHostFrame;

constexpr int kBayer[8][8] = {
    {0, 32, 8, 40, 2, 34, 10, 42},   {48, 16, 56, 24, 50, 18, 58, 26}, {12, 44, 4, 36, 14, 46, 6, 38},
    {60, 28, 52, 20, 62, 30, 54, 22}, {3, 35, 11, 43, 1, 33, 9, 41},   {51, 19, 59, 27, 49, 17, 57, 25},
    {15, 47, 7, 39, 13, 45, 5, 37},  {63, 31, 55, 23, 61, 29, 53, 21},
};

// The palette colour (0xRRGGBB) the plug-in maps picture pixel (x, y) of a
// plain host frame to.
uint32_t Mapped(const std::vector<uint8_t>& frame, int width, int height, int x, int y) {
  const uint8_t* pixel = frame.data() + static_cast<size_t>(height - 1 - y) * HostFrameStride(width) + 3 * x;
  return FixedPalette().entries[FindNearestColor(PixelColour(pixel), &FixedPalette())] & 0xFFFFFF;
}

TEST(OrderedDither, FlatColoursBetweenTwoPaletteColoursComeOutAsBoth) {
  const struct {
    const char* what;
    uint32_t colour;
    std::vector<uint32_t> want_colours;
    int channel;  // whose mean is compared (0 blue, 8 green, 16 red)
  } cases[] = {
      {"grey 12, between the ramp's 6 and 18", 0x0C0C0C, {0x060606, 0x121212}, 0},
      {"grey 15", 0x0F0F0F, {0x060606, 0x121212}, 0},
      {"grey 97, between 90 and 102", 0x616161, {0x5A5A5A, 0x666666}, 8},
      {"red 178, between the cube's 153 and 204", 0xB20000, {0x990000, 0xCC0000}, 16},
      {"blue 140 over green 51, between 102 and 153", 0x00338C, {0x003366, 0x003399}, 0},
  };
  // At the default strength both colours show; at full strength the
  // texture's mean is the colour's.
  for (const int strength : {lodra_gif::kDefaultDitherStrength, 100}) {
    const lodra_gif::OrderedDither dither(strength);
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(c.what) + " at " + std::to_string(strength) + "%");
      std::vector<uint8_t> frame = MakeHostFrame(32, 16, [&](int, int) { return c.colour; });
      dither.Apply(frame.data(), 32, 16, false);
      std::map<uint32_t, int> seen;
      double sum = 0;
      for (int y = 0; y < 16; ++y)
        for (int x = 0; x < 32; ++x) {
          const uint32_t mapped = Mapped(frame, 32, 16, x, y);
          ++seen[mapped];
          sum += mapped >> c.channel & 0xFF;
        }
      std::vector<uint32_t> colours;
      for (const auto& entry : seen) colours.push_back(entry.first);
      EXPECT_EQ(colours, c.want_colours);
      if (strength == 100) {
        EXPECT_NEAR(sum / (32 * 16), c.colour >> c.channel & 0xFF, 1.0) << "the texture's mean";
      }
    }
  }
}

TEST(OrderedDither, TheTextureStaysWhereThePictureStays) {
  const lodra_gif::OrderedDither dither;
  auto gradient = [](int x, int y) { return static_cast<uint32_t>(x * 3 + y) * 0x010101u; };
  std::vector<uint8_t> before = MakeHostFrame(40, 30, gradient);
  // The next frame: the same picture with a square moved onto it.
  std::vector<uint8_t> after = MakeHostFrame(40, 30, [&](int x, int y) {
    return x >= 10 && x < 20 && y >= 5 && y < 15 ? 0xFF8000u : gradient(x, y);
  });
  dither.Apply(before.data(), 40, 30, false);
  dither.Apply(after.data(), 40, 30, false);
  int moved = 0;
  for (int y = 0; y < 30; ++y)
    for (int x = 0; x < 40; ++x)
      if (!(x >= 10 && x < 20 && y >= 5 && y < 15)) moved += Mapped(before, 40, 30, x, y) != Mapped(after, 40, 30, x, y);
  EXPECT_EQ(moved, 0) << "pixels outside the square that changed";
}

TEST(OrderedDither, EveryPixelMovesByItsPlacesThreshold) {
  // 61 pixels: a row takes 32 at a time, then 16, then one by one, where the
  // processor can. Greys, near greys and colours, and channels near 0 and
  // 255, so that the sums clamp.
  std::mt19937 random(8);
  const lodra_gif::OrderedDither dither;
  for (int masked = 0; masked < 2; ++masked) {
    const int width = masked ? 2 * 61 + 1 : 61, height = 19;
    const std::vector<uint8_t> source = MakeHostFrame(width, height, [&](int, int) {
      const uint32_t base = random() % 256, spread = random() % 3 == 0 ? random() % 256 : random() % 30;
      uint32_t rgb = 0;
      for (int c = 0; c < 3; ++c) rgb = rgb << 8 | std::min<uint32_t>(255, base + random() % (spread + 1));
      return rgb;
    });
    std::vector<uint8_t> frame = source;
    dither.Apply(frame.data(), width, height, masked);
    const size_t stride = HostFrameStride(width);
    for (int r = 0; r < height; ++r) {
      for (size_t i = 0; i < stride; ++i) {
        const size_t at = r * stride + i;
        const int x = static_cast<int>(i / 3), y = height - 1 - r;
        if (x >= 61) {
          ASSERT_EQ(frame[at], source[at]) << "byte " << i << " of row " << r << ", past the picture";
          continue;
        }
        const uint8_t* pixel = source.data() + r * stride + 3 * x;
        const int spread = std::max({pixel[0], pixel[1], pixel[2]}) - std::min({pixel[0], pixel[1], pixel[2]});
        const int step = spread <= lodra_gif::kGreySpread ? kGreyRampStep : kCubeStep;
        const long offset =
            std::lround(((kBayer[y % 8][x % 8] + 0.5) / 64 - 0.5) * step * lodra_gif::kDefaultDitherStrength / 100.0);
        const long want = source[at] == 0 || source[at] == 255 ? source[at] : std::clamp(source[at] + offset, 0L, 255L);
        ASSERT_EQ(frame[at], want) << "(" << x << ", " << y << ") channel " << i % 3 << (masked ? ", masked" : "");
      }
    }
  }
}

}  // namespace
