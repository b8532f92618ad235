#include "tests/support/reference_rules.h"

#include <cstddef>

#include "plugin/plugin_interface.h"
#include "quantize/palette.h"

namespace testing_support {

Wide MulDivExact(uint64_t a, uint64_t b, uint64_t d) {
  const uint64_t p0 = a * (b & 0xFFFFFFFFu);       // < 2^64
  const uint64_t p1 = a * (b >> 32) + (p0 >> 32);  // < 2^41
  const uint64_t limbs[3] = {p1 >> 32, p1 & 0xFFFFFFFFu, p0 & 0xFFFFFFFFu};
  uint64_t quotient[3];
  uint64_t remainder = 0;
  for (int i = 0; i < 3; ++i) {
    const uint64_t current = remainder << 32 | limbs[i];  // remainder < d < 2^32
    quotient[i] = current / d;
    remainder = current % d;
  }
  return {quotient[0], quotient[1] << 32 | quotient[2]};
}

ReducedRate ReferenceReduction(int32_t rate, int32_t scale) {
  ReducedRate reduced{rate, scale};
  if (reduced.rate <= 65535) return reduced;
  if (reduced.rate % 10000 == 0 && reduced.scale % 10000 == 0) reduced = {reduced.rate / 10000, reduced.scale / 10000};
  auto tenth_rounded_up = [](int64_t v) { return v / 10 + (v % 10 != 0 ? 1 : 0); };
  while (reduced.rate > 65535) reduced = {tenth_rounded_up(reduced.rate), tenth_rounded_up(reduced.scale)};
  return reduced;
}

Wide ReferenceEndTime(int32_t rate, int32_t scale, int64_t n) {
  const ReducedRate r = ReferenceReduction(rate, scale);
  return MulDivExact(static_cast<uint64_t>(n + 1), static_cast<uint64_t>(r.scale) * 100,
                     static_cast<uint64_t>(r.rate));
}

int ReferenceDelay(int32_t rate, int32_t scale, int64_t n) {
  const Wide end = ReferenceEndTime(rate, scale, n);
  const Wide start = n == 0 ? Wide{0, 0} : ReferenceEndTime(rate, scale, n - 1);
  const uint64_t borrow = end.low < start.low ? 1 : 0;
  const uint64_t high = end.high - start.high - borrow;
  const uint64_t low = end.low - start.low;
  return high != 0 || low > 65535 ? 65535 : static_cast<int>(low);
}

int ReferenceLoopCount(int32_t loop_count) { return loop_count < 0 ? 0 : loop_count > 65535 ? 65535 : loop_count; }

const std::vector<uint8_t> kWantClosing = {0x21, 0xFE, 0x08, 'U', 'U', 'U', 'U', 'U', 'U', 'U', 'U', 0x00, 0x3B};

uint8_t ExpectedIndex(const std::vector<uint8_t>& host_frame, int width, int height, bool masked, int x, int y) {
  const int out_width = masked ? width / 2 : width;
  const size_t stride = static_cast<size_t>(HostFrameStride(width));
  const uint8_t* row = host_frame.data() + static_cast<size_t>(height - 1 - y) * stride;
  const uint8_t* pixel = row + 3 * x;
  const uint8_t* mask = row + 3 * (out_width + x);
  if (masked && mask[0] == 0 && mask[1] == 0 && mask[2] == 0) return 0;
  const uint32_t word = pixel[0] | pixel[1] << 8 | pixel[2] << 16;
  return static_cast<uint8_t>(FindNearestColor(word, &FixedPalette()));
}

std::vector<uint8_t> ExpectedIndices(const std::vector<uint8_t>& host_frame, int width, int height, bool masked) {
  const int out_width = masked ? width / 2 : width;
  std::vector<uint8_t> indices;
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < out_width; ++x) indices.push_back(ExpectedIndex(host_frame, width, height, masked, x, y));
  return indices;
}

}  // namespace testing_support
