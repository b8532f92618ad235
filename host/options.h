// The command line of lodra-gif, and the checks of what it asks for against
// what the plug-in can take. Plain functions over strings: nothing here
// touches a file, the terminal or the plug-in, so every rule can be tested
// (and fuzzed) on its own.
//
// Every parse function returns true and fills its result, or returns false
// with a one-line reason in `error` (no program name, no full stop) and its
// result untouched.
#pragma once

#include <cstdint>
#include <string>

#include "plugin/plugin_interface.h"

namespace lodra_gif {

// Largest frame the host hands over, in bytes: one frame must be addressable
// in a 32-bit process, where the plug-in runs on Windows.
constexpr uint64_t kMaxFrameBytes = INT32_MAX;
// The largest --size, --width or --height: a GIF's sizes are 16-bit fields.
constexpr int32_t kMaxSide = kMaxPictureSide;
// GIF delays are whole hundredths of a second, and browsers play 0 or 1 as
// 10: a source faster than this is brought down unless --fps says otherwise.
constexpr int32_t kMaxBrowserRate = 50;
// The looping extension holds a 16-bit count; 0 means forever.
constexpr int32_t kMaxLoopCount = 65535;

struct FrameSize {
  int32_t width = 0;
  int32_t height = 0;
};

// Frames per second = rate / scale, both positive, kept in lowest terms.
struct FrameRate {
  int32_t rate = 0;
  int32_t scale = 0;
};

// "WxH" with 1 <= W, H <= 65535, decimal digits only ("640x360").
bool ParseFrameSize(const std::string& text, FrameSize* out, std::string* error);

// "25", "30000/1001" or a decimal "29.97" (taken as 2997/100), positive,
// reduced to lowest terms; numerator and denominator must fit in 31 bits.
bool ParseFrameRate(const std::string& text, FrameRate* out, std::string* error);

// A decimal count within [min, max]; `what` names it in the error.
bool ParseCount(const std::string& text, int64_t min, int64_t max, const char* what, int64_t* out,
                std::string* error);

// Bytes of one frame as the plug-in takes it: rows of 3 * width bytes padded
// to a multiple of 4, times height. Exact for every 16-bit size (64-bit sum).
uint64_t HostFrameBytes(FrameSize size);
// Bytes of one frame in the raw stream: 3 * width * height, no padding.
uint64_t RawFrameBytes(FrameSize size);

// Whether the plug-in can export frames of `size` (the whole frame as it is
// handed over, mask half included): a picture of 1..65535 each way (in mask
// mode the frame's left half, so the frame may be up to 131071 wide), and a
// frame of at most kMaxFrameBytes in both layouts.
bool CheckFrameSize(FrameSize size, bool mask, std::string* error);

// Above kMaxBrowserRate frames per second some GIF delays come out as
// 1/100 s, which browsers play as 1/10 s.
bool RateTooHighForBrowsers(FrameRate rate);

// "text", as messages show what the user typed.
std::string Quoted(const std::string& text);

struct Options {
  bool help = false;
  bool version = false;
  std::string output;        // -o: the GIF to write; "-" for standard output
  std::string input;         // raw bgr24 file, "-" for standard input
  bool has_input = false;    // no INPUT: the built-in demo
  bool has_size = false;
  FrameSize size;
  bool has_rate = false;
  FrameRate rate;
  int32_t loop_count = 0;    // 0 = loop forever
  bool mask = false;
  int32_t max_frames = 0;    // --frames; 0 = until the input ends
  std::string module;        // --module; empty = look next to the program

  // Video files only (host/video_options.h parses them):
  bool has_fps = false;
  FrameRate fps;               // --fps: the GIF's rate
  int32_t width = 0;           // --width; 0 = follows --height or the source
  int32_t height = 0;          // --height
  int64_t start_us = -1;       // --start, microseconds; -1 = from the beginning
  int64_t duration_us = -1;    // --duration; -1 = to the end
  bool no_alpha = false;       // --no-alpha
  int32_t alpha_threshold = -1;  // --alpha-threshold; -1 = the default
  // Mask mode, any input: --mask-threshold; -1 = only pure black is transparent.
  int32_t mask_threshold = -1;
};

// Reads argv[1..argc-1]. Options may come before or after INPUT, as
// "--name value" or "--name=value"; "--" ends the options. -h or --help
// anywhere before "--" sets `help` and nothing else is read or checked.
// --version needs no -o (the module it reports may be named with --module).
bool ParseCommandLine(int argc, const char* const* argv, Options* out, std::string* error);

}  // namespace lodra_gif
