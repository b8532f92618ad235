#include "gif/frame_timing.h"

namespace {

constexpr int64_t kMaxRate = 65535;

// scale * 100 / rate hundredths a frame, as a whole part and a remainder, so
// that no intermediate below exceeds 64 bits for any 32-bit frame number.
struct PerFrame {
  int64_t whole;
  int64_t remainder;
};
PerFrame SplitPerFrame(const FrameTiming& timing) {
  const int64_t per_frame = timing.scale * 100;
  return {per_frame / timing.rate, per_frame % timing.rate};
}

}  // namespace

bool ReduceFrameRate(int32_t rate, int32_t scale, FrameTiming* timing) {
  if (rate <= 0 || scale <= 0) return false;
  int64_t r = rate;
  int64_t s = scale;
  // Bring the rate into 16 bits: exactly where both are multiples of 10000
  // (as NTSC-style rates are given), else by rounding both up a digit at a
  // time.
  if (r > kMaxRate) {
    if (s % 10000 == 0 && r % 10000 == 0) {
      s /= 10000;
      r /= 10000;
    }
    while (r > kMaxRate) {
      s = (s + 9) / 10;
      r = (r + 9) / 10;
    }
  }
  timing->rate = r;
  timing->scale = s;
  return true;
}

int64_t FrameEndTime(const FrameTiming& timing, int64_t n) {
  const PerFrame p = SplitPerFrame(timing);
  return (n + 1) * p.whole + (n + 1) * p.remainder / timing.rate;
}

uint16_t FrameDelay(const FrameTiming& timing, int64_t n) {
  // The difference of two end times, taken part by part so that it stays
  // exact where the end times themselves would not fit.
  const PerFrame p = SplitPerFrame(timing);
  const int64_t delay = p.whole + (n + 1) * p.remainder / timing.rate - n * p.remainder / timing.rate;
  return static_cast<uint16_t>(delay > kMaxFrameDelay ? kMaxFrameDelay : delay);
}
