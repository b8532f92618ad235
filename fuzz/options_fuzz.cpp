// Fuzz target: lodra-gif's command line.
//
// The input is the argument list, arguments separated by NUL bytes (at most
// kMaxArguments of them; argv[0] is the program's name). Each argument also
// goes through the value parsers on its own, which are checked against a
// reading of the same rules written here apart from the parser's.
//
// ParseCommandLine must either fail with a reason and leave its result as it
// was, or give options that keep every documented bound and fit the inputs
// CheckOptionsApply says they fit.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "host/cli/options.h"
#include "host/cli/values.h"

namespace {

constexpr size_t kMaxArguments = 32;

// ---- the rules, read apart from the parser

bool AllDigits(const std::string& text) {
  if (text.empty()) return false;
  for (char c : text)
    if (c < '0' || c > '9') return false;
  return true;
}

// The value of a run of digits when it is at most `limit`; false when it is
// no run of digits or exceeds `limit`. Compares digit strings, not numbers,
// so that nothing can wrap.
bool DigitsUpTo(const std::string& text, uint64_t limit, uint64_t* out) {
  if (!AllDigits(text)) return false;
  const size_t first = text.find_first_not_of('0');
  const std::string digits = first == std::string::npos ? "0" : text.substr(first);
  const std::string most = std::to_string(limit);
  if (digits.size() > most.size() || (digits.size() == most.size() && digits > most)) return false;
  uint64_t value = 0;
  for (char c : digits) value = value * 10 + static_cast<uint64_t>(c - '0');
  *out = value;
  return true;
}

uint64_t Gcd(uint64_t a, uint64_t b) { return b == 0 ? a : Gcd(b, a % b); }

struct Size {
  bool ok;
  int32_t width, height;
};

// "WxH": digits, the first 'x', digits; each 1..65535.
Size WantSize(const std::string& text) {
  const size_t cross = text.find('x');
  if (cross == std::string::npos) return {false, 0, 0};
  uint64_t width = 0, height = 0;
  if (!DigitsUpTo(text.substr(0, cross), 65535, &width) || !DigitsUpTo(text.substr(cross + 1), 65535, &height))
    return {false, 0, 0};
  if (width == 0 || height == 0) return {false, 0, 0};
  return {true, static_cast<int32_t>(width), static_cast<int32_t>(height)};
}

struct Rate {
  bool ok;
  int32_t rate, scale;
};

// "N", "N/D" (each at most 10^18), or "W.F" (W within 31 bits, 1 to 9
// decimals, meaning W F / 10^decimals); positive; in lowest terms both
// within 31 bits. A slash wins over a dot.
Rate WantRate(const std::string& text) {
  constexpr uint64_t kPart = 1000000000000000000ULL;
  uint64_t numerator = 0, denominator = 1;
  const size_t slash = text.find('/');
  const size_t dot = text.find('.');
  if (slash != std::string::npos) {
    if (!DigitsUpTo(text.substr(0, slash), kPart, &numerator) ||
        !DigitsUpTo(text.substr(slash + 1), kPart, &denominator))
      return {false, 0, 0};
  } else if (dot != std::string::npos) {
    const std::string decimals = text.substr(dot + 1);
    uint64_t whole = 0, fraction = 0;
    if (!DigitsUpTo(text.substr(0, dot), INT32_MAX, &whole) || decimals.size() > 9 ||
        !DigitsUpTo(decimals, kPart, &fraction))
      return {false, 0, 0};
    for (size_t i = 0; i < decimals.size(); ++i) denominator *= 10;
    numerator = whole * denominator + fraction;  // below 2^31 * 10^9
  } else if (!DigitsUpTo(text, kPart, &numerator)) {
    return {false, 0, 0};
  }
  if (numerator == 0 || denominator == 0) return {false, 0, 0};
  const uint64_t divisor = Gcd(numerator, denominator);
  numerator /= divisor;
  denominator /= divisor;
  if (numerator > INT32_MAX || denominator > INT32_MAX) return {false, 0, 0};
  return {true, static_cast<int32_t>(numerator), static_cast<int32_t>(denominator)};
}

// A time: up to three ':'-separated fields of digits (after the first, two
// digits below 60), the last with up to 6 decimals; microseconds, or -1.
int64_t WantTime(const std::string& text) {
  std::vector<std::string> fields(1);
  for (char c : text) {
    if (c == ':') {
      fields.emplace_back();
    } else {
      fields.back() += c;
    }
  }
  if (fields.size() > 3) return -1;
  std::string decimals;
  const size_t dot = fields.back().find('.');
  if (dot != std::string::npos) {
    decimals = fields.back().substr(dot + 1);
    fields.back().erase(dot);
    if (!AllDigits(decimals) || decimals.size() > 6) return -1;
  }
  int64_t seconds = 0;
  for (size_t i = 0; i < fields.size(); ++i) {
    uint64_t value = 0;
    if (!DigitsUpTo(fields[i], i == 0 ? 999999999999ULL : 59, &value)) return -1;
    if (i > 0 && fields[i].size() > 2) return -1;
    if (i == 0 && fields[i].size() > 12) return -1;
    seconds = seconds * 60 + static_cast<int64_t>(value);
  }
  if (seconds > 1000000LL * 3600) return -1;
  int64_t micro = 0;
  for (size_t i = 0; i < 6; ++i) micro = micro * 10 + (i < decimals.size() ? decimals[i] - '0' : 0);
  return seconds * 1000000 + micro;
}

// Bytes: digits, optionally a dot and 1 to 6 digits, then optionally one of
// K, M, G, T (either case, each 1024 times the one before) followed by
// nothing, "B" or "iB" (either case); from 1 to 2^50. 0 when refused.
uint64_t WantByteSize(const std::string& text) {
  constexpr uint64_t kMost = uint64_t{1} << 50;
  size_t at = 0;
  while (at < text.size() && ((text[at] >= '0' && text[at] <= '9') || text[at] == '.')) ++at;
  const std::string number = text.substr(0, at);
  std::string unit = text.substr(at);
  for (char& c : unit)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  int shift = 0;
  if (!unit.empty()) {
    const size_t power = std::string("kmgt").find(unit[0]);
    const std::string rest = unit.substr(1);
    if (power == std::string::npos || !(rest.empty() || rest == "b" || rest == "ib")) return 0;
    shift = 10 * static_cast<int>(power + 1);
  }
  const size_t dot = number.find('.');
  const std::string decimals = dot == std::string::npos ? "" : number.substr(dot + 1);
  uint64_t whole = 0, fraction = 0, ten = 1;
  if (!DigitsUpTo(number.substr(0, dot), kMost >> shift, &whole)) return 0;
  if (dot != std::string::npos && (decimals.size() > 6 || !DigitsUpTo(decimals, 999999, &fraction))) return 0;
  for (size_t i = 0; i < decimals.size(); ++i) ten *= 10;
  // The fraction's share of the unit, a binary digit at a time: exact.
  uint64_t part = 0;
  for (int bit = 0; bit < shift; ++bit) {
    fraction *= 2;
    part = part * 2 + (fraction >= ten ? 1 : 0);
    if (fraction >= ten) fraction -= ten;
  }
  const uint64_t bytes = (whole << shift) + part;
  return bytes >= 1 && bytes <= kMost ? bytes : 0;
}

void CheckValueParsers(const std::string& text) {
  const std::string which = " of \"" + text + "\"";

  lodra_gif::FrameSize size{-7, -7};
  std::string error;
  const Size want_size = WantSize(text);
  const bool size_ok = lodra_gif::ParseFrameSize(text, &size, &error);
  FUZZ_CHECK_EQ(size_ok, want_size.ok, "ParseFrameSize" + which);
  if (size_ok) {
    FUZZ_CHECK_EQ(size.width, want_size.width, "width" + which);
    FUZZ_CHECK_EQ(size.height, want_size.height, "height" + which);
    // Every size the parser takes is one the frame check can judge.
    for (bool mask : {false, true}) {
      std::string reason;
      const bool fits = lodra_gif::CheckFrameSize(size, mask, &reason);
      // Worked out here rather than taken from the product: rows of 3 bytes a
      // pixel padded to 4, the whole frame within 31 bits, and in mask mode
      // a left half at least 1 pixel wide.
      const uint64_t stride = (3 * static_cast<uint64_t>(size.width) + 3) / 4 * 4;
      const bool want_fits = (!mask || size.width / 2 >= 1) && stride * static_cast<uint64_t>(size.height) <= INT32_MAX;
      FUZZ_CHECK_EQ(fits, want_fits, std::string("CheckFrameSize") + (mask ? " mask" : "") + which);
      FUZZ_CHECK(fits || !reason.empty(), "a refused size gives no reason");
    }
  } else {
    FUZZ_CHECK(size.width == -7 && size.height == -7, "a refused size is stored" + which);
    FUZZ_CHECK(!error.empty(), "a refused size gives no reason" + which);
  }

  lodra_gif::FrameRate rate{-7, -7};
  error.clear();
  const Rate want_rate = WantRate(text);
  const bool rate_ok = lodra_gif::ParseFrameRate(text, &rate, &error);
  FUZZ_CHECK_EQ(rate_ok, want_rate.ok, "ParseFrameRate" + which);
  if (rate_ok) {
    FUZZ_CHECK_EQ(rate.rate, want_rate.rate, "rate" + which);
    FUZZ_CHECK_EQ(rate.scale, want_rate.scale, "scale" + which);
  } else {
    FUZZ_CHECK(rate.rate == -7 && rate.scale == -7, "a refused rate is stored" + which);
    FUZZ_CHECK(!error.empty(), "a refused rate gives no reason" + which);
  }

  int64_t time = -7;
  error.clear();
  const int64_t want_time = WantTime(text);
  const bool time_ok = lodra_gif::ParseTime(text, &time, &error);
  FUZZ_CHECK_EQ(time_ok, want_time >= 0, "ParseTime" + which);
  if (time_ok) FUZZ_CHECK_EQ(time, want_time, "ParseTime" + which);
  if (!time_ok) FUZZ_CHECK(time == -7 && !error.empty(), "ParseTime stored a value or gave no reason" + which);

  uint64_t bytes = 7;
  error.clear();
  const uint64_t want_bytes = WantByteSize(text);
  const bool bytes_ok = lodra_gif::ParseByteSize(text, &bytes, &error);
  FUZZ_CHECK_EQ(bytes_ok, want_bytes != 0, "ParseByteSize" + which);
  if (bytes_ok) FUZZ_CHECK_EQ(bytes, want_bytes, "ParseByteSize" + which);
  if (!bytes_ok) FUZZ_CHECK(bytes == 7 && !error.empty(), "ParseByteSize stored a value or gave no reason" + which);

  const struct {
    int64_t min, max;
  } ranges[] = {{0, kMaxLoopingCount}, {1, INT32_MAX}, {0, 0}, {5, 9}};
  for (const auto& range : ranges) {
    int64_t count = -7;
    error.clear();
    uint64_t value = 0;
    const bool want = DigitsUpTo(text, static_cast<uint64_t>(range.max), &value) &&
                      value >= static_cast<uint64_t>(range.min);
    const bool ok = lodra_gif::ParseCount(text, range.min, range.max, "--count", &count, &error);
    const std::string what = "ParseCount " + std::to_string(range.min) + ".." + std::to_string(range.max) + which;
    FUZZ_CHECK_EQ(ok, want, what);
    if (ok) FUZZ_CHECK_EQ(count, static_cast<int64_t>(value), what);
    if (!ok) FUZZ_CHECK(count == -7 && !error.empty(), what + ": stored a value or gave no reason");
  }
}

// The options a failed parse must leave alone.
lodra_gif::Options Sentinel() {
  lodra_gif::Options options;
  options.output = "sentinel.gif";
  options.input = "sentinel.raw";
  options.inputs = {"sentinel.raw"};
  options.jobs = -7;
  options.passed_on = {"sentinel"};
  options.size = lodra_gif::FrameSize{-7, -7};
  options.rate = lodra_gif::FrameRate{-7, -7};
  options.loop_count = -7;
  options.max_frames = -7;
  options.module = "sentinel.module";
  options.fps = lodra_gif::FrameRate{-7, -7};
  options.width = options.height = -7;
  options.start_us = options.duration_us = -7;
  options.alpha_threshold = options.mask_threshold = -7;
  options.max_memory = 7;
  options.max_gap_us = -7;
  options.allow_references = true;
  options.max_width = -7;
  options.max_height = -7;
  options.speed = lodra_gif::FrameRate{-7, 1};
  options.crop = lodra_gif::CropRect{{-7, -7}, -7, -7};
  options.given.set();
  return options;
}

bool SameOptions(const lodra_gif::Options& a, const lodra_gif::Options& b) {
  return a.help == b.help && a.version == b.version && a.output == b.output && a.input == b.input &&
         a.size == b.size && a.rate == b.rate && a.loop_count == b.loop_count && a.mask == b.mask &&
         a.max_frames == b.max_frames && a.module == b.module && a.fps == b.fps && a.width == b.width &&
         a.height == b.height && a.start_us == b.start_us && a.duration_us == b.duration_us &&
         a.no_alpha == b.no_alpha && a.alpha_threshold == b.alpha_threshold && a.mask_threshold == b.mask_threshold &&
         a.max_memory == b.max_memory && a.max_gap_us == b.max_gap_us && a.allow_references == b.allow_references &&
         a.max_width == b.max_width && a.max_height == b.max_height && a.speed == b.speed &&
         a.crop.has_value() == b.crop.has_value() &&
         (!a.crop || (a.crop->size == b.crop->size && a.crop->x == b.crop->x && a.crop->y == b.crop->y)) &&
         a.given == b.given && a.inputs == b.inputs && a.quiet == b.quiet && a.no_progress == b.no_progress &&
         a.jobs == b.jobs && a.passed_on == b.passed_on;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> arguments{"lodra-gif"};
  std::string current;
  for (size_t i = 0; i < size && arguments.size() < kMaxArguments; ++i) {
    if (data[i] == 0) {
      arguments.push_back(current);
      current.clear();
    } else {
      current.push_back(static_cast<char>(data[i]));
    }
  }
  if (arguments.size() < kMaxArguments && (size == 0 || data[size - 1] != 0)) arguments.push_back(current);

  std::vector<const char*> argv;
  for (const std::string& argument : arguments) argv.push_back(argument.c_str());
  argv.push_back(nullptr);
  const int argc = static_cast<int>(arguments.size());

  for (size_t i = 1; i < arguments.size(); ++i) CheckValueParsers(arguments[i]);

  // Help anywhere before "--" wins over everything else.
  bool want_help = false;
  for (size_t i = 1; i < arguments.size() && arguments[i] != "--"; ++i)
    want_help = want_help || arguments[i] == "-h" || arguments[i] == "--help";

  lodra_gif::Options options = Sentinel();
  std::string error;
  const bool ok = lodra_gif::ParseCommandLine(argc, argv.data(), &options, &error);
  if (!ok) {
    FUZZ_CHECK(!want_help, "a command line with help was refused: " + error);
    FUZZ_CHECK(!error.empty(), "a refused command line gives no reason");
    FUZZ_CHECK(SameOptions(options, Sentinel()), "a refused command line changed the options");
    return 0;
  }
  if (want_help) {
    lodra_gif::Options help;
    help.help = true;
    FUZZ_CHECK(SameOptions(options, help), "help sets anything but help");
    return 0;
  }
  FUZZ_CHECK(!options.help, "help without -h or --help");
  // "-o -" is standard output; only --version goes without an output.
  FUZZ_CHECK(options.version || !options.output.empty(), "no output");
  if (options.size) {
    FUZZ_CHECK(options.size->width >= 1 && options.size->width <= lodra_gif::kMaxSide && options.size->height >= 1 &&
                   options.size->height <= lodra_gif::kMaxSide,
               "size out of bounds");
  }
  if (options.rate) {
    FUZZ_CHECK(options.rate->rate > 0 && options.rate->scale > 0, "rate not positive");
    FUZZ_CHECK_EQ(Gcd(static_cast<uint64_t>(options.rate->rate), static_cast<uint64_t>(options.rate->scale)),
                  uint64_t{1}, "rate in lowest terms: gcd");
  }
  FUZZ_CHECK(options.loop_count >= 0 && options.loop_count <= kMaxLoopingCount,
             "loop count " + std::to_string(options.loop_count));
  if (options.max_frames) FUZZ_CHECK(*options.max_frames >= 1, "frames " + std::to_string(*options.max_frames));
  if (options.fps) FUZZ_CHECK(options.fps->rate > 0 && options.fps->scale > 0, "--fps not positive");
  for (const std::optional<int32_t>& side : {options.width, options.height, options.max_width, options.max_height})
    if (side) FUZZ_CHECK(*side >= 1 && *side <= lodra_gif::kMaxSide, "a side " + std::to_string(*side));
  if (options.crop) {
    const lodra_gif::CropRect& c = *options.crop;
    FUZZ_CHECK(c.size.width >= 1 && c.size.width <= lodra_gif::kMaxSide && c.size.height >= 1 &&
                   c.size.height <= lodra_gif::kMaxSide && c.x >= 0 && c.x < lodra_gif::kMaxSide && c.y >= 0 &&
                   c.y < lodra_gif::kMaxSide,
               "--crop out of bounds");
  }
  if (options.speed) {
    const int64_t f = options.speed->rate, d = options.speed->scale;
    FUZZ_CHECK(f > 0 && d > 0 && f <= 100 * d && 100 * f >= d, "--speed out of 0.01 to 100");
  }
  FUZZ_CHECK(options.start_us.value_or(0) >= 0 && options.duration_us.value_or(1) >= 1, "--start or --duration");
  FUZZ_CHECK(options.max_memory >= 1 && options.max_memory <= (uint64_t{1} << 50),
             "--max-memory " + std::to_string(options.max_memory));
  FUZZ_CHECK(options.max_gap_us.value_or(0) >= 0, "--max-gap below 0");
  if (options.alpha_threshold)
    FUZZ_CHECK(*options.alpha_threshold >= 1 && *options.alpha_threshold <= 255,
               "--alpha-threshold " + std::to_string(*options.alpha_threshold));
  if (options.mask_threshold)
    FUZZ_CHECK(*options.mask_threshold >= 0 && *options.mask_threshold <= 254,
               "--mask-threshold " + std::to_string(*options.mask_threshold));
  if (options.module) FUZZ_CHECK(!options.module->empty(), "--module without a name");
  if (options.jobs) FUZZ_CHECK(*options.jobs >= 1 && *options.jobs <= 64, "--jobs " + std::to_string(*options.jobs));
  FUZZ_CHECK(options.inputs.empty() ? !options.input : options.input == options.inputs.front(),
             "the INPUT is not the first of the INPUTs");
  // What each run of several is given: arguments as typed, in their order.
  size_t next = 1;
  for (const std::string& passed : options.passed_on) {
    while (next < arguments.size() && arguments[next] != passed) ++next;
    FUZZ_CHECK(next < arguments.size(), "passed on what was not typed, or out of order: " + passed);
    ++next;
  }
  if (options.mask) {
    bool named = false;
    for (size_t i = 1; i < arguments.size() && arguments[i] != "--"; ++i) named = named || arguments[i] == "--mask";
    FUZZ_CHECK(named, "mask mode without --mask");
  }

  // Which inputs the options fit, read from their values apart from the
  // table: the video-only ones refuse raw frames and the demo, --size a
  // video file, and --mask-threshold wants --mask.
  const bool video_values = options.fps || options.width || options.height || options.start_us ||
                            options.duration_us || options.no_alpha || options.alpha_threshold ||
                            options.max_gap_us || options.allow_references || options.max_width ||
                            options.max_height || options.speed || options.crop;
  const bool threshold_alone = options.mask_threshold && !options.mask;
  const struct {
    lodra_gif::InputKind kind;
    bool want;
  } fits[] = {{lodra_gif::InputKind::kDemo, !threshold_alone && !video_values},
              {lodra_gif::InputKind::kRaw, !threshold_alone && !video_values},
              {lodra_gif::InputKind::kVideo, !threshold_alone && !options.size}};
  for (const auto& fit : fits) {
    std::string why;
    const bool ok = lodra_gif::CheckOptionsApply(options, fit.kind, &why);
    FUZZ_CHECK_EQ(ok, fit.want, "CheckOptionsApply for input kind " + std::to_string(static_cast<int>(fit.kind)));
    FUZZ_CHECK(ok || (!why.empty() && why.find('\n') == std::string::npos), "a refusal without one line of reason");
  }

  // The same command line reads the same way again.
  lodra_gif::Options again;
  std::string again_error;
  FUZZ_CHECK(lodra_gif::ParseCommandLine(argc, argv.data(), &again, &again_error) && SameOptions(again, options),
             "a second parse differs");
  return 0;
}
