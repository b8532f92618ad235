// Exact colour matching at memory speed for the fixed palette.
//
// FindNearestColor searches all 255 entries for every pixel. For the fixed
// palette the answer depends only on the colour, so it is tabulated: colour
// space is cut into 4x4x4 cells; a cell whose colours all have the same
// nearest entry stores that entry, and a cell on a boundary between entries
// stores all 64 answers. Every answer is the reference search's own, ties
// included.
#pragma once

#include <cstdint>

#include "quantize/palette.h"

class ColourMap {
 public:
  // Same result as FindNearestColor(colour, fixed palette).
  int Find(uint32_t colour) const {
    const uint32_t red = colour >> 16 & 0xFF;
    const uint32_t green = colour >> 8 & 0xFF;
    const uint32_t blue = colour & 0xFF;
    const uint32_t entry = cells_[(red >> 2) << 12 | (green >> 2) << 6 | (blue >> 2)];
    if (entry < kFirstBlock) return static_cast<int>(entry);
    return boundary_answers_[(entry - kFirstBlock) * 64 + ((red & 3) << 4 | (green & 3) << 2 | (blue & 3))];
  }

  // How many cells lie on a boundary and keep all 64 answers.
  int boundary_cells() const { return boundary_cells_; }

  ~ColourMap();
  ColourMap(const ColourMap&) = delete;
  ColourMap& operator=(const ColourMap&) = delete;

 private:
  friend const ColourMap* ColourMapFor(const Palette* palette);
  ColourMap() = default;
  bool Build(const Palette& palette);

  // Cell values below this are palette indices; from it on, block numbers.
  static constexpr uint32_t kFirstBlock = 256;
  uint32_t* cells_ = nullptr;            // 64 x 64 x 64, red outermost
  uint8_t* boundary_answers_ = nullptr;  // 64 answers per boundary cell
  int boundary_cells_ = 0;
};

// The shared map when `palette` is the fixed palette, built on first use (a
// few milliseconds, once per process). Null for any other palette, or when
// the map could not be allocated: callers then use FindNearestColor.
const ColourMap* ColourMapFor(const Palette* palette);
