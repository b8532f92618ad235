// lodra-gif's command line. One table of its options (options.cpp) drives
// the parsing, the check of which options the input takes, and the option
// list of --help (usage.cpp), from which the man page is made; a test holds
// docs/lodra-gif.md and docs/lodra-gif.ja.md to it. An option is added by
// adding its field to Options and its row to the table.
//
// Plain functions over strings: nothing here touches a file, the terminal or
// the plug-in, so every rule can be tested (and fuzzed) on its own.
#pragma once

#include <bitset>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "host/frame_format.h"

namespace lodra_gif {

// Video files with alpha: a pixel is opaque where its alpha is at least this.
constexpr int32_t kDefaultAlphaThreshold = 128;

// The most memory an export's frame buffers may take unless --max-memory
// says otherwise (sources/memory_budget.h counts them).
constexpr uint64_t kDefaultMaxMemory = uint64_t{1} << 30;
// Video files: a gap between frames longer than this (in microseconds) is
// shortened to it unless --max-gap says otherwise.
constexpr int64_t kDefaultMaxGapUs = 60 * 1000000LL;

// What lodra-gif does to a frame's picture before the plug-in sees it.
enum class Dither : uint8_t {
  kNone,     // each pixel its nearest palette colour, as the plug-in maps it
  kOrdered,  // a threshold from a fixed pattern added first (host/sources/dither.h)
};

// What INPUT is read as; host/sources/open_source.h decides it.
enum class InputKind { kDemo, kRaw, kVideo };

// Sets of input kinds, for the table's `inputs`.
constexpr unsigned InputBit(InputKind kind) { return 1u << static_cast<unsigned>(kind); }
constexpr unsigned kVideoFiles = InputBit(InputKind::kVideo);
constexpr unsigned kRawOrDemo = InputBit(InputKind::kRaw) | InputBit(InputKind::kDemo);
constexpr unsigned kAnyInput = kVideoFiles | kRawOrDemo;

constexpr size_t kMaxOptions = 32;

// --crop's rectangle: `size` at (x, y) from the top left.
struct CropRect {
  FrameSize size;
  int32_t x = 0, y = 0;
};

struct Options {
  bool help = false;
  bool version = false;
  std::string output;                      // -o: the GIF to write; "-" for standard output; or a folder
  std::optional<std::string> input;        // the (first) INPUT: a file, or "-" for standard input; none: the demo
  std::vector<std::string> inputs;         // every INPUT, in the order given
  std::optional<FrameSize> size;           // --size: raw frames' size, or the demo's picture
  std::optional<FrameRate> rate;           // --rate: the rate of an input without one of its own, or the demo's
  int32_t loop_count = 0;                  // --loop; 0 = loop forever
  bool mask = false;                       // --mask
  std::optional<int32_t> mask_threshold;   // --mask-threshold; none: only pure black is transparent
  Dither dither = Dither::kNone;           // --dither
  bool no_optimize = false;                // --no-optimize: the plug-in's GIF as it is
  std::optional<int32_t> max_frames;       // --frames; none: until the input ends
  std::optional<std::string> module;       // --module; none: look next to the program
  bool quiet = false;                      // --quiet: errors only
  bool no_progress = false;                // --no-progress
  std::optional<int32_t> jobs;             // --jobs: exports at once for several INPUTs; none: one per core
  uint64_t max_memory = kDefaultMaxMemory; // --max-memory, bytes

  // Video files only:
  std::optional<FrameRate> fps;            // --fps: the GIF's rate; none: the source's, brought to 50 fps or less
  std::optional<int32_t> width;            // --width; none: follows --height or the source
  std::optional<int32_t> height;           // --height
  std::optional<int32_t> max_width;        // --max-width: at most, keeping the shape
  std::optional<int32_t> max_height;       // --max-height
  std::optional<FrameRate> speed;          // --speed: rate / scale times faster; none: as recorded
  std::optional<CropRect> crop;            // --crop, in the picture as shown; none: all of it
  std::optional<int64_t> start_us;         // --start, microseconds; none: from the beginning
  std::optional<int64_t> duration_us;      // --duration; none: to the end
  bool no_alpha = false;                   // --no-alpha
  std::optional<int32_t> alpha_threshold;  // --alpha-threshold; none: kDefaultAlphaThreshold
  std::optional<int64_t> max_gap_us;       // --max-gap; none: kDefaultMaxGapUs
  bool allow_references = false;           // --allow-references

  // The options given, by their row in the option table.
  std::bitset<kMaxOptions> given;
  // The options as typed, but for -o: what each of several INPUTs is
  // exported with, by a run of its own.
  std::vector<std::string> passed_on;
};

// The most exports --jobs runs at once.
constexpr int32_t kMaxJobs = 64;

// A row of the option table.
struct OptionRow {
  const char* name;        // "--output"
  const char* short_name;  // "-o", or null; a short option's value may follow it directly ("-oout.gif")
  const char* value;       // what --help calls its value ("FILE"); null for a flag, which takes none
  unsigned inputs;         // the input kinds it works on (kAnyInput, kVideoFiles, ...)
  // --help's text for it: lines of at most 57 characters (they start in
  // column 23, and --help keeps within 79 columns), joined by '\n'.
  const char* help;
  // Stores the option in `out`: its value parsed, or for a flag that it was
  // given. `typed` is its name as given, for messages. False with the reason.
  bool (*take)(const std::string& typed, const std::string& value, Options* out, std::string* error);
  // Added to the error when it is given for another input.
  const char* elsewhere = "";
  // Another option it works with (or null), and what it works on, for the
  // error when that one is missing.
  const char* needs = nullptr;
  const char* works_on = nullptr;
};

// The table's rows, in the order --help lists them.
struct OptionTable {
  const OptionRow* rows;
  size_t size;
  const OptionRow* begin() const { return rows; }
  const OptionRow* end() const { return rows + size; }
};
OptionTable AllOptions();

// Reads argv[1..argc-1]. Options may come before or after the INPUTs, as
// "--name value" or "--name=value"; "--" ends the options. -h or --help
// anywhere before "--" sets `help` and nothing else is read or checked. An
// unknown option's error names the nearest known one, if one is near.
// --version needs no -o (the module it reports may be named with --module).
// True with `out` filled, or false with a one-line reason in `error` (no
// program name, no full stop) and `out` untouched.
bool ParseCommandLine(int argc, const char* const* argv, Options* out, std::string* error);

// The options given against the input they are for: false with the reason
// when one was given that another input takes, or one without the option it
// works with (--mask-threshold without --mask).
bool CheckOptionsApply(const Options& options, InputKind input, std::string* error);

}  // namespace lodra_gif
