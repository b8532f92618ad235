#include "host/video_options.h"

#include <cmath>
#include <cstdint>
#include <numeric>
#include <vector>

namespace lodra_gif {
namespace {

constexpr int64_t kMicrosecondsPerSecond = 1000000;
constexpr int64_t kMaxHours = 1000000;

// A run of 1 to `max_digits` decimal digits and nothing else.
bool Digits(const std::string& text, size_t max_digits, int64_t* out) {
  if (text.empty() || text.size() > max_digits) return false;
  int64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  *out = value;
  return true;
}

// a * b / c rounded to the nearest, for a, b, c >= 1 below 2^32: the
// product fits in 64 bits.
int64_t MulDivRound(int64_t a, int64_t b, int64_t c) { return (a * b + c / 2) / c; }

int32_t ClampToInt32(int64_t value) {
  if (value < 1) return 1;
  return value > INT32_MAX ? INT32_MAX : static_cast<int32_t>(value);
}

}  // namespace

VideoOptionKind VideoOptionKindOf(const std::string& name) {
  if (name == "--no-alpha") return VideoOptionKind::kFlag;
  if (name == "--fps" || name == "--width" || name == "--height" || name == "--start" || name == "--duration" ||
      name == "--alpha-threshold" || name == "--mask-threshold")
    return VideoOptionKind::kValue;
  return VideoOptionKind::kNone;
}

bool ParseVideoOption(const std::string& name, const std::string& value, Options* out, std::string* error) {
  int64_t number = 0;
  if (name == "--no-alpha") {
    out->no_alpha = true;
  } else if (name == "--fps") {
    if (!ParseFrameRate(value, &out->fps, error)) return false;
    out->has_fps = true;
  } else if (name == "--width" || name == "--height") {
    if (!ParseCount(value, 1, kMaxSide, name.c_str(), &number, error)) return false;
    (name == "--width" ? out->width : out->height) = static_cast<int32_t>(number);
  } else if (name == "--start" || name == "--duration") {
    if (!ParseTime(value, &number, error)) {
      *error = name + ": " + *error;
      return false;
    }
    if (name == "--duration" && number == 0) {
      *error = "--duration must be above 0";
      return false;
    }
    (name == "--start" ? out->start_us : out->duration_us) = number;
  } else if (name == "--alpha-threshold") {
    if (!ParseCount(value, 1, 255, "--alpha-threshold", &number, error)) return false;
    out->alpha_threshold = static_cast<int32_t>(number);
  } else if (name == "--mask-threshold") {
    if (!ParseCount(value, 0, 254, "--mask-threshold", &number, error)) return false;
    out->mask_threshold = static_cast<int32_t>(number);
  } else {
    *error = "unknown option " + name;
    return false;
  }
  return true;
}

bool ParseTime(const std::string& text, int64_t* microseconds, std::string* error) {
  const std::string malformed =
      "malformed time " + Quoted(text) + ": want seconds (90, 2.5) or [[h:]m:]s[.frac] (1:30, 1:02:03.25)";
  // Up to three fields split at ':', the last with an optional fraction.
  std::vector<std::string> fields(1);
  for (char c : text) {
    if (c == ':') {
      if (fields.size() == 3) {
        *error = malformed;
        return false;
      }
      fields.emplace_back();
    } else {
      fields.back() += c;
    }
  }
  std::string fraction;
  const size_t dot = fields.back().find('.');
  bool has_fraction = dot != std::string::npos;
  if (has_fraction) {
    fraction = fields.back().substr(dot + 1);
    fields.back().erase(dot);
  }
  if (has_fraction && fraction.size() > 6) {
    *error = "time " + Quoted(text) + " has more than 6 decimals (a microsecond)";
    return false;
  }
  int64_t frac = 0;
  if (has_fraction && !Digits(fraction, 6, &frac)) {
    *error = malformed;
    return false;
  }
  for (size_t i = fraction.size(); i < 6; ++i) frac *= 10;

  // The first field takes any number up to the limit; the ones after a
  // colon are two digits below 60.
  int64_t whole = 0;
  for (size_t i = 0; i < fields.size(); ++i) {
    int64_t value = 0;
    const bool first = i == 0;
    if (!Digits(fields[i], first ? 12 : 2, &value)) {
      *error = malformed;
      return false;
    }
    if (!first && value >= 60) {
      *error = "time " + Quoted(text) + ": minutes and seconds after a colon must be below 60";
      return false;
    }
    whole = first ? value : whole * 60 + value;
    if (whole > kMaxHours * 3600) {
      *error = "time " + Quoted(text) + " is more than " + std::to_string(kMaxHours) + " hours";
      return false;
    }
  }
  *microseconds = whole * kMicrosecondsPerSecond + frac;
  return true;
}

bool CheckVideoOptionsApply(const Options& options, bool video_input, std::string* error) {
  if (options.mask_threshold >= 0 && !options.mask) {
    *error = "--mask-threshold works on the mask of --mask frames; give --mask too";
    return false;
  }
  if (video_input) return true;
  const char* given = options.has_fps                ? "--fps"
                      : options.width > 0            ? "--width"
                      : options.height > 0           ? "--height"
                      : options.start_us >= 0        ? "--start"
                      : options.duration_us >= 0     ? "--duration"
                      : options.no_alpha             ? "--no-alpha"
                      : options.alpha_threshold >= 0 ? "--alpha-threshold"
                                                     : nullptr;
  if (given == nullptr) return true;
  *error = std::string(given) + " works on video files, not on raw frames or the demo" +
           (options.has_fps ? " (raw frames take --rate)" : "");
  return false;
}

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

FrameSize ScaledSize(FrameSize display, int32_t width, int32_t height) {
  if (width > 0 && height > 0) return {width, height};
  if (width > 0) return {width, ClampToInt32(MulDivRound(width, display.height, display.width))};
  if (height > 0) return {ClampToInt32(MulDivRound(height, display.width, display.height)), height};
  return display;
}

}  // namespace lodra_gif
