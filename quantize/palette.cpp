#include "quantize/palette.h"

#include <cstdlib>
#include <cstring>

#include "quantize/palette_levels.h"

namespace {

constexpr uint32_t kOpaque = 0xFF000000u;

constexpr uint32_t Rgb(uint32_t red, uint32_t green, uint32_t blue) {
  return kOpaque | red << 16 | green << 8 | blue;
}

// The sixteen system colours after the transparent entry, then black and
// white again, as the palette has always been laid out.
constexpr uint32_t kSystemColours[17] = {
    Rgb(0x80, 0x00, 0x00), Rgb(0x00, 0x80, 0x00), Rgb(0x80, 0x80, 0x00), Rgb(0x00, 0x00, 0x80),
    Rgb(0x80, 0x00, 0x80), Rgb(0x00, 0x80, 0x80), Rgb(0x80, 0x80, 0x80), Rgb(0xC0, 0xC0, 0xC0),
    Rgb(0xFF, 0x00, 0x00), Rgb(0x00, 0xFF, 0x00), Rgb(0xFF, 0xFF, 0x00), Rgb(0x00, 0x00, 0xFF),
    Rgb(0xFF, 0x00, 0xFF), Rgb(0x00, 0xFF, 0xFF), Rgb(0xFF, 0xFF, 0xFF), Rgb(0x00, 0x00, 0x00),
    Rgb(0xFF, 0xFF, 0xFF),
};

constexpr int kFirstGrey = 18;     // the ramp's index
constexpr int kCubeStart = 40;     // 40 + 36r + 6g + b

}  // namespace

void BuildPalette(Palette* palette) {
  palette->flags = 0;
  palette->count = 256;
  palette->entries[kTransparentIndex] = 0x00000000u;
  for (int i = 0; i < 17; ++i) palette->entries[1 + i] = kSystemColours[i];
  for (int i = 0; i < kGreyRampLevels; ++i) {
    const uint32_t v = static_cast<uint32_t>(kGreyRampFirst + kGreyRampStep * i);
    palette->entries[kFirstGrey + i] = Rgb(v, v, v);
  }
  palette->entries[kFirstGrey + kGreyRampLevels] = Rgb(0xFF, 0xFF, 0xFF);
  constexpr uint32_t step = kCubeStep;
  for (uint32_t r = 0; r < kCubeLevels; ++r)
    for (uint32_t g = 0; g < kCubeLevels; ++g)
      for (uint32_t b = 0; b < kCubeLevels; ++b)
        palette->entries[kCubeStart + 36 * r + 6 * g + b] = Rgb(step * r, step * g, step * b);
}

namespace {

// The rule's one step: candidate `index` (colour `entry`) against the best so
// far for one colour. 0x7FFF exceeds the largest distance, so the first
// candidate always replaces the start; "<=" lets the highest of equally near
// entries win, the candidates coming in ascending order. The best so far are
// int for one colour, and as narrow as they fit for many at a time.
template <typename Distance, typename Index>
inline void Consider(int red, int green, int blue, uint32_t entry, uint8_t index, Distance* best_distance,
                     Index* best_index) {
  const Distance distance = static_cast<Distance>(ColourDistance(std::abs(red - static_cast<int>(entry >> 16 & 0xFF)),
                                                                 std::abs(green - static_cast<int>(entry >> 8 & 0xFF)),
                                                                 std::abs(blue - static_cast<int>(entry & 0xFF))));
  // Without a branch, so that many colours go at a time.
  const bool nearer = distance <= *best_distance;
  *best_distance = nearer ? distance : *best_distance;
  *best_index = nearer ? index : *best_index;
}

}  // namespace

int NearestOf(uint32_t colour, const Palette& palette, const uint8_t* candidates, int count) {
  const int red = static_cast<int>(colour >> 16 & 0xFF);
  const int green = static_cast<int>(colour >> 8 & 0xFF);
  const int blue = static_cast<int>(colour & 0xFF);
  int best_distance = 0x7FFF;
  int best_index = count > 0 ? candidates[0] : 1;
  for (int i = 0; i < count; ++i)
    Consider(red, green, blue, palette.entries[candidates[i]], candidates[i], &best_distance, &best_index);
  return best_index;
}

void NearestOf64(const uint8_t* red, const uint8_t* green, const uint8_t* blue, const Palette& palette,
                 const uint8_t* candidates, int count, uint8_t* nearest) {
  // Local copies, so that the compiler need not fear that `nearest` overlaps
  // the colours.
  uint8_t r[kNearestAtOnce];
  uint8_t g[kNearestAtOnce];
  uint8_t b[kNearestAtOnce];
  int16_t best_distance[kNearestAtOnce];
  uint8_t best_index[kNearestAtOnce];
  for (int j = 0; j < kNearestAtOnce; ++j) {
    r[j] = red[j];
    g[j] = green[j];
    b[j] = blue[j];
    best_distance[j] = 0x7FFF;
    best_index[j] = count > 0 ? candidates[0] : 1;
  }
  // Candidates outermost, colours innermost: the compiler takes many colours
  // at a time.
  for (int i = 0; i < count; ++i) {
    const uint32_t entry = palette.entries[candidates[i]];
    for (int j = 0; j < kNearestAtOnce; ++j)
      Consider(r[j], g[j], b[j], entry, candidates[i], &best_distance[j], &best_index[j]);
  }
  std::memcpy(nearest, best_index, kNearestAtOnce);
}

int FindNearestColor(uint32_t colour, const Palette* palette) {
  // Every entry but the transparent one, in ascending order.
  static const struct AllOpaque {
    uint8_t index[255];
    AllOpaque() {
      for (int i = 0; i < 255; ++i) index[i] = static_cast<uint8_t>(i + 1);
    }
  } all;
  return NearestOf(colour, *palette, all.index, 255);
}

const Palette& FixedPalette() {
  static const Palette fixed = [] {
    Palette palette;
    BuildPalette(&palette);
    return palette;
  }();
  return fixed;
}

bool IsFixedPalette(const Palette& palette) { return std::memcmp(&palette, &FixedPalette(), sizeof palette) == 0; }
