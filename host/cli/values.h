// The values lodra-gif's options take: sizes, rates, counts and times, read
// by the option table (options.cpp) and checked one by one by the tests and
// the options fuzz target. Plain functions over strings.
//
// Every parse function returns true and fills its result, or returns false
// with a one-line reason in `error` (no program name, no full stop) and its
// result untouched.
#pragma once

#include <cstdint>
#include <string>

#include "host/frame_format.h"

namespace lodra_gif {

// "WxH" with 1 <= W, H <= 65535, decimal digits only ("640x360").
bool ParseFrameSize(const std::string& text, FrameSize* out, std::string* error);

// "25", "30000/1001" or a decimal "29.97" (taken as 2997/100), positive,
// reduced to lowest terms; numerator and denominator must fit in 31 bits.
bool ParseFrameRate(const std::string& text, FrameRate* out, std::string* error);

// A decimal count within [min, max]; `what` names it in the error.
bool ParseCount(const std::string& text, int64_t min, int64_t max, const char* what, int64_t* out,
                std::string* error);

// A time as seconds ("90", "2.5") or [[h:]m:]s[.frac] ("1:30", "1:02:03.25"),
// never negative, to the microsecond (further decimals are refused);
// minutes and seconds after a colon are two digits below 60, the first
// field at most 12 digits. At most 1000000 hours.
bool ParseTime(const std::string& text, int64_t* microseconds, std::string* error);

// A number of bytes: a whole or decimal number ("512", "1.5") with an
// optional unit K, M, G or T (powers of 1024, optionally followed by "iB"
// or "B", in either case: "512M", "2GiB", "2gb"), at most 6 decimals, at least 1
// byte and at most 1024T; a fraction of a byte is dropped.
bool ParseByteSize(const std::string& text, uint64_t* bytes, std::string* error);

// "text", as messages show what the user typed.
std::string Quoted(const std::string& text);

// `text` with A-Z made a-z, the rest as it is: names compared the way
// Windows compares them, and file extensions.
std::string AsciiLowercase(std::string text);

}  // namespace lodra_gif
