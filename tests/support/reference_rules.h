// What a written animation must hold, worked out from the rules themselves:
// the delays (from the host's rate and the definition of the end times, in
// exact arithmetic), the looping extension's count and the closing bytes,
// none of them from the engine's code; and the quantiser's indices, which are
// the reference search's own (FindNearestColor, itself checked against
// hand-worked colours in palette_test): so these catch a fault of the colour
// map, the encoder or the splicer, not one of the palette. Every test and
// fuzz target that predicts a file compares with these. No GoogleTest here:
// the fuzz targets use it too.
#pragma once

#include <cstdint>
#include <vector>

namespace testing_support {

// ------------------------------------------------------------------ timing

// A quotient of up to 96 bits.
struct Wide {
  uint64_t high;  // bits 64..95
  uint64_t low;
  bool operator==(const Wide& other) const { return high == other.high && low == other.low; }
};

// floor(a * b / d) for a < 2^32, b < 2^40, 0 < d < 2^32, exactly: long
// division in 32-bit limbs, so it needs no 128-bit type (a 32-bit build has
// none).
Wide MulDivExact(uint64_t a, uint64_t b, uint64_t d);

// The host's rate/scale (both above 0) as the file's timing uses it: a rate
// above 65535 is brought into 16 bits, divided by 10000 exactly where both
// are multiples of it, then both divided by 10, rounding up, until it fits.
struct ReducedRate {
  int64_t rate, scale;
};
ReducedRate ReferenceReduction(int32_t rate, int32_t scale);

// End time of frame n (from 0, below 2^32) in hundredths, rounded down:
// floor((n + 1) * scale * 100 / rate) after the reduction.
Wide ReferenceEndTime(int32_t rate, int32_t scale, int64_t n);

// Delay of frame n: its end time less the one before (0 before frame 0),
// at most 65535, which the control extension's 16-bit field holds.
int ReferenceDelay(int32_t rate, int32_t scale, int64_t n);

// ------------------------------------------------------------ the file

// The looping extension's count: 0 loops forever; a stored count below 0
// gives 0 and one above 65535 gives 65535, as the settings dialog clamps.
int ReferenceLoopCount(int32_t loop_count);

// The closing comment extension ("UUUUUUUU") and trailer every finished file
// ends with.
extern const std::vector<uint8_t> kWantClosing;

// The index of picture pixel (x, y), y from the top, of a host frame
// (bottom-up rows of blue, green, red, padded to 4): the reference search
// over the fixed palette, or 0 where a masked frame's mask (the same place
// in the right half) is pure black.
uint8_t ExpectedIndex(const std::vector<uint8_t>& host_frame, int width, int height, bool masked, int x, int y);
// The whole picture's, top-down: width x height, or width / 2 x height
// when masked.
std::vector<uint8_t> ExpectedIndices(const std::vector<uint8_t>& host_frame, int width, int height, bool masked);

}  // namespace testing_support
