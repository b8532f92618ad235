#include "host/options.h"

#include <cstring>
#include <numeric>

#include "host/video_options.h"
#include "plugin/plugin_interface.h"

namespace lodra_gif {
namespace {

enum class Digits { kOk, kMalformed, kTooLarge };

// A run of decimal digits, nothing else (no sign, no space), at most `limit`.
// The check comes before each step, so nothing wraps.
Digits ParseDigits(const std::string& text, uint64_t limit, uint64_t* out) {
  if (text.empty()) return Digits::kMalformed;
  uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return Digits::kMalformed;
    const uint64_t digit = static_cast<uint64_t>(c - '0');
    if (digit > limit || value > (limit - digit) / 10) return Digits::kTooLarge;
    value = value * 10 + digit;
  }
  *out = value;
  return Digits::kOk;
}

// Splits "--name=value" into its parts; `has_value` says whether '=' was there.
void SplitLongOption(const std::string& arg, std::string* name, std::string* value, bool* has_value) {
  const size_t equals = arg.find('=');
  *has_value = equals != std::string::npos;
  *name = arg.substr(0, equals);
  *value = *has_value ? arg.substr(equals + 1) : std::string();
}

}  // namespace

bool ParseFrameSize(const std::string& text, FrameSize* out, std::string* error) {
  const size_t cross = text.find('x');
  uint64_t width = 0, height = 0;
  Digits w = Digits::kMalformed, h = Digits::kMalformed;
  if (cross != std::string::npos) {
    w = ParseDigits(text.substr(0, cross), UINT32_MAX, &width);
    h = ParseDigits(text.substr(cross + 1), UINT32_MAX, &height);
  }
  if (w == Digits::kMalformed || h == Digits::kMalformed) {
    *error = "malformed size " + Quoted(text) + ": want WIDTHxHEIGHT, e.g. 640x360";
    return false;
  }
  if (w == Digits::kTooLarge || h == Digits::kTooLarge || width < 1 || width > kMaxSide || height < 1 ||
      height > kMaxSide) {
    *error = "size " + text + ": width and height must be 1 to 65535";
    return false;
  }
  out->width = static_cast<int32_t>(width);
  out->height = static_cast<int32_t>(height);
  return true;
}

bool ParseFrameRate(const std::string& text, FrameRate* out, std::string* error) {
  // Parts are read with room to spare (a decimal "2147483647.999999999" is
  // 2.1e18) and checked against 31 bits once the fraction is in lowest terms.
  constexpr uint64_t kPartLimit = 1000000000000000000ULL;  // 1e18
  constexpr size_t kMaxDecimals = 9;
  uint64_t numerator = 0, denominator = 1;
  Digits first = Digits::kMalformed, second = Digits::kOk;

  const size_t slash = text.find('/');
  const size_t dot = text.find('.');
  if (slash != std::string::npos) {  // "30000/1001"
    first = ParseDigits(text.substr(0, slash), kPartLimit, &numerator);
    second = ParseDigits(text.substr(slash + 1), kPartLimit, &denominator);
  } else if (dot != std::string::npos) {  // "29.97" is 2997/100
    const std::string decimals = text.substr(dot + 1);
    uint64_t whole = 0, fraction = 0;
    first = ParseDigits(text.substr(0, dot), INT32_MAX, &whole);
    second = ParseDigits(decimals, kPartLimit, &fraction);
    if (second == Digits::kOk && decimals.size() > kMaxDecimals) second = Digits::kTooLarge;
    if (first == Digits::kOk && second == Digits::kOk) {
      for (size_t i = 0; i < decimals.size(); ++i) denominator *= 10;
      numerator = whole * denominator + fraction;
    }
  } else {  // "25"
    first = ParseDigits(text, kPartLimit, &numerator);
  }
  if (first == Digits::kMalformed || second == Digits::kMalformed) {
    *error = "malformed rate " + Quoted(text) + ": want e.g. 25, 30000/1001 or 29.97";
    return false;
  }
  if (first == Digits::kTooLarge || second == Digits::kTooLarge) {
    *error = "rate " + text + " has too many digits";
    return false;
  }
  if (numerator == 0 || denominator == 0) {
    *error = "rate " + text + ": frames per second and the denominator must be above 0";
    return false;
  }
  const uint64_t divisor = std::gcd(numerator, denominator);
  numerator /= divisor;
  denominator /= divisor;
  if (numerator > INT32_MAX || denominator > INT32_MAX) {
    *error = "rate " + text + ": numerator and denominator must fit in 31 bits in lowest terms";
    return false;
  }
  out->rate = static_cast<int32_t>(numerator);
  out->scale = static_cast<int32_t>(denominator);
  return true;
}

bool ParseCount(const std::string& text, int64_t min, int64_t max, const char* what, int64_t* out,
                std::string* error) {
  uint64_t value = 0;
  const Digits d = ParseDigits(text, static_cast<uint64_t>(max), &value);
  if (d != Digits::kOk || static_cast<int64_t>(value) < min) {
    *error = std::string(what) + " needs a whole number from " + std::to_string(min) + " to " +
             std::to_string(max) + ", not " + Quoted(text);
    return false;
  }
  *out = static_cast<int64_t>(value);
  return true;
}

uint64_t HostFrameBytes(FrameSize size) { return ::HostFrameBytes(size.width, size.height); }

uint64_t RawFrameBytes(FrameSize size) {
  return 3 * static_cast<uint64_t>(size.width) * static_cast<uint64_t>(size.height);
}

bool CheckFrameSize(FrameSize size, bool mask, std::string* error) {
  const std::string text = std::to_string(size.width) + "x" + std::to_string(size.height);
  if (mask && size.width < 2) {
    *error = "size " + text + ": mask mode needs frames at least 2 pixels wide (the right half is the mask)";
    return false;
  }
  const int64_t picture_width = PictureWidthOf(size.width, mask);
  if (picture_width < 1 || picture_width > kMaxPictureSide || size.height < 1 || size.height > kMaxPictureSide) {
    *error = "size " + text + ": width and height must be 1 to 65535" +
             (mask ? std::string(" (in mask mode, the picture's: the left half)") : std::string());
    return false;
  }
  // The frame is at most 131071 x 65535, so the 64-bit products are exact;
  // the padded layout is the larger of the two.
  if (HostFrameBytes(size) > kMaxFrameBytes) {
    *error = "size " + text + ": a frame would take " + std::to_string(HostFrameBytes(size)) +
             " bytes, more than the " + std::to_string(kMaxFrameBytes) + " the plug-in can take";
    return false;
  }
  return true;
}

bool RateTooHighForBrowsers(FrameRate rate) {
  return static_cast<int64_t>(rate.rate) > kMaxBrowserRate * static_cast<int64_t>(rate.scale);
}

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

bool ParseCommandLine(int argc, const char* const* argv, Options* out, std::string* error) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--") == 0) break;
    if (std::strcmp(argv[i], "-h") == 0 || std::strcmp(argv[i], "--help") == 0) {
      *out = Options();
      out->help = true;
      return true;
    }
  }

  Options options;
  bool only_positional = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool is_option = !only_positional && arg.size() > 1 && arg[0] == '-';
    if (!is_option) {
      if (options.has_input) {
        *error = "more than one INPUT: " + Quoted(options.input) + " and " + Quoted(arg);
        return false;
      }
      options.input = arg;
      options.has_input = true;
      continue;
    }
    if (arg == "--") {
      only_positional = true;
      continue;
    }

    std::string name, value;
    bool has_value = false;
    if (arg.compare(0, 2, "--") == 0) {
      SplitLongOption(arg, &name, &value, &has_value);
    } else if (arg.compare(0, 2, "-o") == 0) {
      name = "-o";
      has_value = arg.size() > 2;  // "-oout.gif"
      value = arg.substr(2);
    } else {
      *error = "unknown option " + arg;
      return false;
    }

    const VideoOptionKind video = VideoOptionKindOf(name);
    if (name == "--mask" || name == "--version" || video == VideoOptionKind::kFlag) {
      if (has_value) {
        *error = name + " takes no value";
        return false;
      }
      if (name == "--mask") options.mask = true;
      if (name == "--version") options.version = true;
      if (video == VideoOptionKind::kFlag && !ParseVideoOption(name, value, &options, error)) return false;
      continue;
    }
    const bool takes_value = name == "-o" || name == "--output" || name == "--size" || name == "--rate" ||
                             name == "--loop" || name == "--frames" || name == "--module" ||
                             video == VideoOptionKind::kValue;
    if (!takes_value) {
      *error = "unknown option " + name;
      return false;
    }
    if (!has_value) {
      if (i + 1 >= argc) {
        *error = name + " needs a value";
        return false;
      }
      value = argv[++i];
    }

    int64_t count = 0;
    if (name == "-o" || name == "--output") {
      if (value.empty()) {
        *error = name + " needs a file name, or - for standard output";
        return false;
      }
      options.output = value;
    } else if (name == "--size") {
      if (!ParseFrameSize(value, &options.size, error)) return false;
      options.has_size = true;
    } else if (name == "--rate") {
      if (!ParseFrameRate(value, &options.rate, error)) return false;
      options.has_rate = true;
    } else if (name == "--loop") {
      if (!ParseCount(value, 0, kMaxLoopCount, "--loop", &count, error)) return false;
      options.loop_count = static_cast<int32_t>(count);
    } else if (name == "--frames") {
      if (!ParseCount(value, 1, INT32_MAX, "--frames", &count, error)) return false;
      options.max_frames = static_cast<int32_t>(count);
    } else if (video == VideoOptionKind::kValue) {
      if (!ParseVideoOption(name, value, &options, error)) return false;
    } else {  // --module
      if (value.empty()) {
        *error = "--module needs a file name";
        return false;
      }
      options.module = value;
    }
  }

  if (options.output.empty() && !options.version) {
    *error = "no output file: give -o OUTPUT.gif";
    return false;
  }
  *out = options;
  return true;
}

}  // namespace lodra_gif
