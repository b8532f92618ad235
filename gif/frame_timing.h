// Frame timing. GIF delays are whole hundredths of a second; each frame's
// delay is the difference of rounded-down cumulative end times, so rounding
// never accumulates over the animation. The host's rate/scale is first
// reduced so the rate fits 16 bits, as the host's files expect.
#pragma once

#include <cstdint>

struct FrameTiming {
  int64_t rate;   // reduced numerator, 1..65535
  int64_t scale;  // reduced denominator, >= 1
};

// False for a rate or scale of 0 or less.
bool ReduceFrameRate(int32_t rate, int32_t scale, FrameTiming* timing);

// End time of frame n (from 0) in hundredths: (n + 1) * scale * 100 / rate,
// exact wherever the result fits 63 bits (any 32-bit n at any rate the host
// uses).
int64_t FrameEndTime(const FrameTiming& timing, int64_t n);

// The largest delay the Graphic Control Extension's 16-bit field holds.
constexpr int64_t kMaxFrameDelay = 65535;

// Delay of frame n: FrameEndTime(n) - FrameEndTime(n - 1), exact for every
// 32-bit n, clamped to kMaxFrameDelay.
uint16_t FrameDelay(const FrameTiming& timing, int64_t n);
