#include "host/cli/values.h"

#include <numeric>
#include <vector>

namespace lodra_gif {
namespace {

constexpr int64_t kMicrosecondsPerSecond = 1000000;
constexpr int64_t kMaxHours = 1000000;

enum class Digits { kOk, kMalformed, kTooLarge };

// A run of decimal digits, nothing else (no sign, no space), at most `limit`.
// The check comes before each step, so nothing wraps. Every number on the
// command line is read by this one function.
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

// A run of 1 to `max_digits` digits; its value cannot wrap for up to 19.
bool ShortDigits(const std::string& text, size_t max_digits, int64_t* out) {
  uint64_t value = 0;
  if (text.size() > max_digits || ParseDigits(text, UINT64_MAX, &value) != Digits::kOk) return false;
  *out = static_cast<int64_t>(value);
  return true;
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
  if (has_fraction && !ShortDigits(fraction, 6, &frac)) {
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
    if (!ShortDigits(fields[i], first ? 12 : 2, &value)) {
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

bool ParseByteSize(const std::string& text, uint64_t* bytes, std::string* error) {
  constexpr uint64_t kMaxBytes = uint64_t{1} << 50;  // 1024T
  constexpr size_t kMaxDecimals = 6;
  const std::string malformed = "malformed size " + Quoted(text) + ": want bytes, or a number with K, M, G or T (512M, 1.5G)";
  // The number, then the unit: its letter, and "iB" or "B" after it.
  const size_t unit_at = text.find_first_not_of("0123456789.");
  const std::string number = text.substr(0, unit_at);
  std::string unit = unit_at == std::string::npos ? "" : text.substr(unit_at);
  uint64_t scale = 1;
  if (!unit.empty()) {
    const char letter = static_cast<char>(unit[0] & ~0x20);  // upper case
    const size_t power = std::string("KMGT").find(letter);
    std::string rest = unit.substr(1);
    for (char& c : rest) c = static_cast<char>(c | 0x20);  // lower case
    if (power == std::string::npos || !(rest.empty() || rest == "b" || rest == "ib")) {
      *error = malformed;
      return false;
    }
    scale = uint64_t{1} << (10 * (power + 1));
  }
  const size_t dot = number.find('.');
  const std::string decimals = dot == std::string::npos ? "" : number.substr(dot + 1);
  uint64_t whole = 0, fraction = 0;
  if (ParseDigits(number.substr(0, dot), UINT64_MAX, &whole) == Digits::kMalformed ||
      (dot != std::string::npos && ParseDigits(decimals, UINT64_MAX, &fraction) == Digits::kMalformed)) {
    *error = malformed;
    return false;
  }
  // Above the limit whatever the fraction adds: refused before anything is
  // multiplied. A whole part too long for 64 bits is above it too.
  if (ParseDigits(number.substr(0, dot), kMaxBytes / scale, &whole) != Digits::kOk || decimals.size() > kMaxDecimals) {
    *error = decimals.size() > kMaxDecimals ? "size " + Quoted(text) + " has more than 6 decimals"
                                            : "size " + Quoted(text) + " is more than 1024T";
    return false;
  }
  uint64_t ten_power = 1;
  for (size_t i = 0; i < decimals.size(); ++i) ten_power *= 10;
  // fraction / ten_power of `scale`: scale is at most 2^40 and fraction below
  // 10^6 < 2^20, so the product fits in 64 bits.
  const uint64_t total = whole * scale + fraction * scale / ten_power;
  if (total == 0 || total > kMaxBytes) {
    *error = "size " + Quoted(text) + (total == 0 ? " must be at least 1 byte" : " is more than 1024T");
    return false;
  }
  *bytes = total;
  return true;
}

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

std::string AsciiLowercase(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

}  // namespace lodra_gif
