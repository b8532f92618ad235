// Exact colour matching at memory speed for the fixed palette: a map of
// tables that gives FindNearestColor's answer for every colour, ties
// included, without a search. What the encoder takes; how the map works is
// in colour_map_internal.h.
#pragma once

#include <cstddef>
#include <cstdint>

class ColourMap;

// The map of the fixed palette (FixedPalette()), built on first use (about
// 10 ms, once per process); null when it could not be allocated, and callers
// then use FindNearestColor. It answers for that palette only.
const ColourMap* FixedPaletteColourMap();

// FindNearestColor(colour, fixed palette) for `count` pixels of three bytes
// each (blue, green, red, as the host lays them out), into `indices`: the
// fastest way this processor has.
void MapPixelsToIndices(const ColourMap& map, const uint8_t* pixels, size_t count, uint8_t* indices);
