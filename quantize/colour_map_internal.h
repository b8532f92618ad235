// The colour map's workings: its tables, the cube shortcut its row kernels
// take and the measures its test and the colour-matching benchmark read.
// Only quantize/colour_map.cpp, that test and that benchmark include this;
// the encoder takes the map through colour_map.h.
//
// FindNearestColor searches all 255 entries for every pixel. For the fixed
// palette the answer depends only on the colour, so it is tabulated: colour
// space is cut into cells of at most 4 levels a channel; a cell whose colours
// all have the same nearest entry shares a block of 64 copies of that entry,
// and a cell on a boundary between entries has a block of its own answers.
// The cuts follow the palette's colour cube where it has one: each channel
// is cut where its nearest cube level changes, then every 4 levels from
// there, so no cell straddles the boundary between two cube entries and only
// cells near the other entries (greys, system colours) need answers of their
// own.
//
// Rows go faster still where the processor has SSSE3 (or AVX2): 16 (or 32)
// pixels at a time take the cube entry worked out channel by channel, and
// each 8 of them with a pixel where the build found another entry nearer
// somewhere (near the grey axis, near a system colour) are looked up in the
// table instead. Every answer is the reference search's own, ties included.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "quantize/colour_map.h"
#include "quantize/palette.h"

class ColourMap {
 public:
  // Same result as FindNearestColor(colour, fixed palette): the colour's cell
  // and its place in the cell from one small table a channel, then one
  // lookup of the cell's block and one of the answer in it, no branch.
  int Find(uint32_t colour) const { return Tables{*this}.Find(colour); }

  // Find for `count` pixels of three bytes each (blue, green, red, as the
  // host lays them out), into `indices`: the fastest way this processor has.
  void MapPixels(const uint8_t* pixels, size_t count, uint8_t* indices) const {
    MapPixels(pixels, count, indices, shortcut_.pixels);
  }
  // The same, `pixels_at_a_time` as given: 0 (Find alone), 16 (SSSE3) or 32
  // (AVX2), at most shortcut().pixels. The exhaustive test takes each.
  void MapPixels(const uint8_t* pixels, size_t count, uint8_t* indices, int pixels_at_a_time) const;

  // How many cells lie on a boundary and keep 64 answers of their own.
  int boundary_cells() const { return boundary_cells_; }
  // The tables' size in bytes.
  size_t table_bytes() const;

  ColourMap(const ColourMap&) = delete;
  ColourMap& operator=(const ColourMap&) = delete;

  // The tables' addresses, for loops that store bytes: a byte store may
  // alias anything, so the map's own members would be read again after each.
  struct Tables {
    explicit Tables(const ColourMap& map) : keys(map.keys_), cells(map.cells_.data()), answers(map.answers_.data()) {}
    int Find(uint32_t colour) const {
      return Lookup(keys[0][colour & 0xFF] + keys[1][colour >> 8 & 0xFF] + keys[2][colour >> 16 & 0xFF]);
    }
    int Lookup(uint32_t key) const {
      return answers[static_cast<uint32_t>(cells[key >> kSlotBits]) << kSlotBits | (key & (kSlots - 1))];
    }
    const uint32_t (*keys)[256];
    const uint16_t* cells;
    const uint8_t* answers;
  };

  // The cube shortcut, as the row kernels in colour_map.cpp take it. Each
  // channel's part in it is a step function of the channel with at most one
  // step in each run of 16 levels 16h..16h+15, so a 16-byte shuffle by h
  // finds it: the value at the run's start (base), and what is added once
  // the low nibble is past `last` (15: never).
  struct Shortcut {
    // How MapPixels goes on this processor: 0 through Find alone, else this
    // many pixels at a time (16 with SSSE3, 32 with AVX2).
    int pixels = 0;
    // A pixel's cube entry: the sum of one share a channel.
    uint8_t share_base[3][16] = {};
    int8_t share_last[3][16] = {};
    uint8_t share_step[3][16] = {};
    // Another entry may be nearer where the channels span at most
    // grey_spread levels (near a grey entry) ...
    bool grey = false;
    uint8_t grey_spread = 0;
    // ... or where every channel is a member (0 or 0xFF, flipped past
    // `last`): near an entry off the grey axis and off the cube.
    uint8_t member_base[3][16] = {};
    int8_t member_last[3][16] = {};
    // For the table lookups where the cube does not answer, a channel's cell
    // and place in it: its zone (nearest cube level, as a step function),
    // the zone's first level and first cell, then one cell every 4 levels.
    uint8_t zone_base[3][16] = {};
    int8_t zone_last[3][16] = {};
    uint8_t zone_step[3][16] = {};
    uint8_t zone_start[3][16] = {};
    uint8_t zone_cell[3][16] = {};
    uint8_t cells_green = 0;  // cells a channel, for the cell number
    uint8_t cells_blue = 0;
  };
  const Shortcut& shortcut() const { return shortcut_; }

 private:
  friend const ColourMap* FixedPaletteColourMap();
  friend class MapBuilder;
  ColourMap() = default;
  bool Build(const Palette& palette);

  static constexpr int kSlotBits = 6;  // a cell's 4 x 4 x 4 colours
  static constexpr uint32_t kSlots = 1u << kSlotBits;

  // A channel's part of the key (blue, green, red): its cell coordinate
  // times the channel's stride, shifted past the slot bits, plus its place
  // in the cell (2 bits at 0, 2 or 4).
  uint32_t keys_[3][256] = {};
  // Block number of each cell. Blocks 0..255 hold one index 64 times, for
  // the cells where one entry is nearest throughout; boundary cells get
  // blocks of their own after those.
  std::vector<uint16_t> cells_;
  std::vector<uint8_t> answers_;  // 64 answers a block
  int boundary_cells_ = 0;
  Shortcut shortcut_;
};
