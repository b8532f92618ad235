#include "host/video/video_plan.h"

#include <algorithm>
#include <cmath>
#include <numeric>

namespace lodra_gif {
namespace {

// a * b / c rounded to the nearest, for a, b, c >= 1 below 2^32: the
// product fits in 64 bits.
int64_t MulDivRound(int64_t a, int64_t b, int64_t c) { return (a * b + c / 2) / c; }

int32_t ClampToInt32(int64_t value) {
  if (value < 1) return 1;
  return value > INT32_MAX ? INT32_MAX : static_cast<int32_t>(value);
}

}  // namespace

FrameRate BrowserRate(FrameRate rate, int32_t* divisor) {
  // k = ceil(rate / (50 * scale)): the smallest k with rate / k <= 50.
  const int64_t limit = static_cast<int64_t>(kMaxBrowserRate) * rate.scale;
  const int64_t k = (rate.rate + limit - 1) / limit;
  *divisor = static_cast<int32_t>(k);
  if (k <= 1) return rate;
  // rate / (scale * k) in lowest terms; rate above 50 * scale keeps
  // scale * k below 2^31 / 25.
  const int64_t num = rate.rate, den = static_cast<int64_t>(rate.scale) * k;
  const int64_t common = std::gcd(num, den);
  return {static_cast<int32_t>(num / common), static_cast<int32_t>(den / common)};
}

FrameSize DisplaySize(int64_t width, int64_t height, int64_t sar_num, int64_t sar_den, int quarter_turns) {
  if (width < 1) width = 1;
  if (height < 1) height = 1;
  int64_t w = width;
  // Square pixels: the width follows the sample aspect ratio, as a player
  // shows it; the height stays.
  if (sar_num > 0 && sar_den > 0 && sar_num != sar_den) {
    const double wide = std::round(static_cast<double>(width) * static_cast<double>(sar_num) /
                                   static_cast<double>(sar_den));
    w = wide >= static_cast<double>(INT32_MAX) ? INT32_MAX : static_cast<int64_t>(wide);
  }
  FrameSize size = {ClampToInt32(w), ClampToInt32(height)};
  if (quarter_turns % 2 != 0) size = {size.height, size.width};
  return size;
}

FrameSize ScaledSize(FrameSize display, std::optional<int32_t> width, std::optional<int32_t> height) {
  if (width && height) return {*width, *height};
  if (width) return {*width, ClampToInt32(MulDivRound(*width, display.height, display.width))};
  if (height) return {ClampToInt32(MulDivRound(*height, display.width, display.height)), *height};
  return display;
}

FrameSize FitWithin(FrameSize size, std::optional<int32_t> max_width, std::optional<int32_t> max_height) {
  if (max_width && size.width > *max_width)
    size = {*max_width, ClampToInt32(MulDivRound(*max_width, size.height, size.width))};
  if (max_height && size.height > *max_height)
    size = {ClampToInt32(MulDivRound(*max_height, size.width, size.height)), *max_height};
  return size;
}

PixelRect CodedRect(const CropRect& crop, FrameSize shown, int64_t coded_width, int64_t coded_height,
                    int quarter_turns) {
  const bool sideways = quarter_turns % 2 != 0;
  // The picture with square pixels, before it is turned.
  const int64_t aw = sideways ? shown.height : shown.width, ah = sideways ? shown.width : shown.height;
  const int64_t x = crop.x, y = crop.y, w = crop.size.width, h = crop.size.height;
  PixelRect upright;
  switch (quarter_turns % 4) {  // as the turn maps each shown pixel to one before it
    case 1: upright = {y, ah - x - w, h, w}; break;
    case 2: upright = {aw - x - w, ah - y - h, w, h}; break;
    case 3: upright = {aw - y - h, x, h, w}; break;
    default: upright = {x, y, w, h}; break;
  }
  // The pixel aspect widened or narrowed the width only.
  const auto coded_x = [&](int64_t at) {
    return std::clamp<int64_t>(MulDivRound(std::max<int64_t>(at, 0), coded_width, std::max<int64_t>(aw, 1)), 0,
                               coded_width);
  };
  PixelRect rect;
  rect.x = std::min(coded_x(upright.x), coded_width - 1);
  rect.width = std::max<int64_t>(1, coded_x(upright.x + upright.width) - rect.x);
  rect.y = std::clamp<int64_t>(upright.y, 0, coded_height - 1);
  rect.height = std::clamp<int64_t>(upright.height, 1, coded_height - rect.y);
  return rect;
}

VideoPictures PlanPictures(int64_t coded_width, int64_t coded_height, int64_t sar_num, int64_t sar_den,
                           int quarter_turns, const PictureRequest& request) {
  VideoPictures sizes;
  // An input with its mask beside the picture: the picture is the left
  // half, and the sizes asked for are its.
  coded_width = std::max<int64_t>(coded_width, 1);
  coded_height = std::max<int64_t>(coded_height, 1);
  const int64_t half = request.mask_input ? std::max<int64_t>(1, coded_width / 2) : coded_width;
  sizes.shown = DisplaySize(half, coded_height, sar_num, sar_den, quarter_turns);
  FrameSize wanted = sizes.shown;
  sizes.source = {0, 0, half, coded_height};
  if (request.crop) {
    wanted = request.crop->size;
    sizes.source = CodedRect(*request.crop, sizes.shown, half, coded_height, quarter_turns);
  }
  sizes.picture = FitWithin(ScaledSize(wanted, request.width, request.height), request.max_width, request.max_height);
  const bool beside = request.mask_input || request.alpha;
  const int64_t frame_width = beside ? 2 * static_cast<int64_t>(sizes.picture.width) : sizes.picture.width;
  sizes.frame = {frame_width > INT32_MAX ? INT32_MAX : static_cast<int32_t>(frame_width), sizes.picture.height};
  sizes.mask_offset = half;
  sizes.halves = request.mask_input && (quarter_turns % 4 != 0 || request.crop.has_value());
  if (request.mask_input && !sizes.halves) {
    // Scaled whole, both halves at once.
    sizes.scaled = sizes.frame;
    sizes.source = {0, 0, coded_width, coded_height};
  } else {
    // Turned a quarter either way, the scaler makes the picture on its side.
    sizes.scaled = quarter_turns % 2 != 0 ? FrameSize{sizes.picture.height, sizes.picture.width} : sizes.picture;
  }
  return sizes;
}

VideoRange PlanRange(int64_t first_frame_slot, bool from_start, std::optional<int64_t> duration_slots,
                     std::optional<int64_t> stated_end_slot) {
  VideoRange range;
  range.first_slot = from_start ? 0 : first_frame_slot;
  if (duration_slots) {
    range.length = std::max<int64_t>(*duration_slots, 1);
    range.end_slot = range.first_slot > INT64_MAX - *range.length ? INT64_MAX : range.first_slot + *range.length;
  }
  if (stated_end_slot) {
    const int64_t expected = SaturatingSubtract(std::min(*stated_end_slot, range.end_slot), range.first_slot);
    if (expected > 0) range.expected = expected;
  }
  return range;
}

int64_t SaturatingSubtract(int64_t a, int64_t b) {
  if (b < 0 && a > INT64_MAX + b) return INT64_MAX;
  if (b > 0 && a < INT64_MIN + b) return INT64_MIN;
  return a - b;
}

int64_t SaturatingAdd(int64_t a, int64_t b) {
  if (b > 0 && a > INT64_MAX - b) return INT64_MAX;
  if (b < 0 && a < INT64_MIN - b) return INT64_MIN;
  return a + b;
}

int64_t TimestampMender::Mend(int64_t dts, int64_t duration) {
  if (dts == kNoTime) return offset_;
  int64_t time = SaturatingAdd(dts, offset_);
  if (next_ != kNoTime) {
    const int64_t delta = SaturatingSubtract(time, next_);
    if (delta > jump_ || delta < -jump_ || SaturatingAdd(time, back_) < last_) {
      offset_ = SaturatingSubtract(offset_, delta);
      time = next_;
      ++jumps_;
    }
  }
  last_ = time;
  next_ = SaturatingAdd(time, duration > 0 ? duration : 0);
  return offset_;
}

int64_t GapLimiter::Shown(int64_t pts, int64_t expected) {
  const int64_t shown = SaturatingAdd(pts, offset_);
  if (expected == kNoTime) return shown;
  const int64_t gap = SaturatingSubtract(shown, expected);
  if (gap <= max_gap_) return shown;
  const int64_t cut = gap - max_gap_;
  offset_ = SaturatingSubtract(offset_, cut);
  if (count_++ == 0) first_ = {expected, gap};
  removed_ = SaturatingAdd(removed_, cut);
  return SaturatingAdd(expected, max_gap_);
}

}  // namespace lodra_gif
