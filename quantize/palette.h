// The fixed 256-colour palette every frame is reduced to, and the rule that
// maps a 24-bit colour to one of its entries.
#pragma once

#include <cstdint>

// Laid out the way the imaging library takes a palette (flags, count, ARGB
// entries), so the encoder hands it to the bitmap unchanged.
struct Palette {
  uint32_t flags;
  uint32_t count;
  uint32_t entries[256];  // ARGB: alpha 24-31, red 16-23, green 8-15, blue 0-7
};

// A colour as the matcher takes it (blue in bits 0-7, green 8-15, red 16-23)
// from its channels.
constexpr uint32_t ColourOf(int blue, int green, int red) {
  return static_cast<uint32_t>(red) << 16 | static_cast<uint32_t>(green) << 8 | static_cast<uint32_t>(blue);
}

// The colour of a host pixel, whose three bytes are blue, green, red.
inline uint32_t PixelColour(const uint8_t* pixel) { return ColourOf(pixel[0], pixel[1], pixel[2]); }

// Index 0 is the only transparent entry; the matcher never returns it.
constexpr int kTransparentIndex = 0;

// The distance the matcher minimises, from a colour's three channel
// differences to an entry (each 0..255): 16 times the largest plus their sum,
// so a colour off in one channel is farther than one off a little in all.
// At most 16*255 + 3*255 = 4845.
constexpr int ColourDistance(int d_red, int d_green, int d_blue) {
  const int largest = d_red > d_green ? (d_red > d_blue ? d_red : d_blue) : (d_green > d_blue ? d_green : d_blue);
  return 16 * largest + d_red + d_green + d_blue;
}

// Fills `palette`: index 0 transparent, 1-17 the sixteen system colours and
// white, 18-38 a grey ramp, 39 white, 40-255 the 6x6x6 colour cube.
void BuildPalette(Palette* palette);

// The entry nearest to `colour` (blue in bits 0-7, green 8-15, red 16-23,
// the rest ignored) under 16*max(dR,dG,dB) + dR+dG+dB; of equal distances
// the highest index wins. Always 1..255. Exhaustive: this is the reference.
int FindNearestColor(uint32_t colour, const Palette* palette);

// The same rule over `count` candidate entries given in ascending index
// order: the nearest under ColourDistance, the highest index of equally near
// ones. FindNearestColor is this over entries 1..255; a table of answers for
// part of colour space may narrow the candidates first.
int NearestOf(uint32_t colour, const Palette& palette, const uint8_t* candidates, int count);

// NearestOf for 64 colours at once, given channel by channel (red[i],
// green[i], blue[i]), into nearest[i]: the same step of the rule, with the
// colours innermost so that the compiler takes many at a time.
constexpr int kNearestAtOnce = 64;
void NearestOf64(const uint8_t* red, const uint8_t* green, const uint8_t* blue, const Palette& palette,
                 const uint8_t* candidates, int count, uint8_t* nearest);

// The palette BuildPalette makes, built once per process.
const Palette& FixedPalette();
// Whether `palette` holds exactly what BuildPalette makes (flags and count
// included).
bool IsFixedPalette(const Palette& palette);
