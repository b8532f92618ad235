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

// Index 0 is the only transparent entry; the matcher never returns it.
constexpr int kTransparentIndex = 0;

// Fills `palette`: index 0 transparent, 1-17 the sixteen system colours and
// white, 18-38 a grey ramp, 39 white, 40-255 the 6x6x6 colour cube.
void BuildPalette(Palette* palette);

// The entry nearest to `colour` (blue in bits 0-7, green 8-15, red 16-23,
// the rest ignored) under 16*max(dR,dG,dB) + dR+dG+dB; of equal distances
// the highest index wins. Always 1..255. Exhaustive: this is the reference.
int FindNearestColor(uint32_t colour, const Palette* palette);
