// What lodra-gif is asked to take from a video file (rather than raw
// frames): the output rate, size and time range, and how transparency is
// read. The parsing and the arithmetic of sizes and rates live here as plain
// functions, apart from FFmpeg, so that every rule is tested on its own and
// the Windows build (which reads no video files) still parses the options.
//
// Parse functions return true and fill their result, or false with a
// one-line reason in `error` and the result untouched.
#pragma once

#include <cstdint>
#include <string>

#include "host/options.h"

namespace lodra_gif {

constexpr int32_t kDefaultAlphaThreshold = 128;


// How a name on the command line is taken: not one of these, a flag, or a
// name with a value.
enum class VideoOptionKind { kNone, kFlag, kValue };
VideoOptionKind VideoOptionKindOf(const std::string& name);
// Sets the flag `name` (kFlag) or parses its value (kValue).
bool ParseVideoOption(const std::string& name, const std::string& value, Options* out, std::string* error);

// A time as seconds ("90", "2.5") or [[h:]m:]s[.frac] ("1:30", "1:02:03.25"),
// never negative, to the microsecond (further decimals are refused);
// minutes and seconds after a colon are below 60. At most 1000000 hours.
bool ParseTime(const std::string& text, int64_t* microseconds, std::string* error);

// The options that only a video file takes, against what the input is:
// false with the reason when one was given for raw input or the demo, or
// --mask-threshold without --mask.
bool CheckVideoOptionsApply(const Options& options, bool video_input, std::string* error);

// The largest whole fraction rate / k (k = 1, 2, 3, ...) that is at most
// kMaxBrowserRate frames per second; `divisor` gets k. 60 -> 30,
// 60000/1001 -> 30000/1001, 120 -> 40, 25 -> 25.
FrameRate BrowserRate(FrameRate rate, int32_t* divisor);

// The picture as it is meant to be seen: a coded `width` x `height` whose
// pixels are `sar_num`:`sar_den` (0 or negative: square) is widened or
// narrowed to square pixels, then turned by `quarter_turns` x 90 degrees.
// At least 1 x 1; a side that would not fit in 32 bits is INT32_MAX.
FrameSize DisplaySize(int64_t width, int64_t height, int64_t sar_num, int64_t sar_den, int quarter_turns);

// The GIF's picture size: `display` scaled to --width and/or --height, the
// side not given following the aspect ratio (rounded, at least 1); both
// given: exactly that; neither: `display`.
FrameSize ScaledSize(FrameSize display, int32_t width, int32_t height);

}  // namespace lodra_gif
