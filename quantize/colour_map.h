// Exact colour matching at memory speed for the fixed palette.
//
// FindNearestColor searches all 255 entries for every pixel. For the fixed
// palette the answer depends only on the colour, so it is tabulated: colour
// space is cut into 4x4x4 cells; a cell whose colours all have the same
// nearest entry shares a block of 64 copies of that entry, and a cell on a
// boundary between entries has a block of its own 64 answers. Every answer is the reference search's own, ties
// included.
#pragma once

#include <cstdint>

#include "quantize/palette.h"

class ColourMap {
 public:
  // Same result as FindNearestColor(colour, fixed palette): one lookup of the
  // cell's block, one of the colour's answer in it, no branch.
  int Find(uint32_t colour) const {
    const uint32_t red = colour >> 16 & 0xFF;
    const uint32_t green = colour >> 8 & 0xFF;
    const uint32_t blue = colour & 0xFF;
    const uint32_t block = cells_[(red >> 2) << 12 | (green >> 2) << 6 | (blue >> 2)];
    return answers_[block << 6 | (red & 3) << 4 | (green & 3) << 2 | (blue & 3)];
  }

  // How many cells lie on a boundary and keep 64 answers of their own.
  int boundary_cells() const { return boundary_cells_; }

  ~ColourMap();
  ColourMap(const ColourMap&) = delete;
  ColourMap& operator=(const ColourMap&) = delete;

 private:
  friend const ColourMap* FixedPaletteColourMap();
  ColourMap() = default;
  bool Build(const Palette& palette);

  // Blocks 0..255 hold one index 64 times, for the cells where one entry is
  // nearest throughout; boundary cells get blocks of their own after those.
  uint16_t* cells_ = nullptr;  // 64 x 64 x 64 block numbers, red outermost
  uint8_t* answers_ = nullptr; // 64 answers a block
  int boundary_cells_ = 0;
};

// The map of the fixed palette (FixedPalette()), built on first use (about
// 0.1 s, once per process); null when it could not be allocated, and callers
// then use FindNearestColor. It answers for that palette only.
const ColourMap* FixedPaletteColourMap();
