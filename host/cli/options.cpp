#include "host/cli/options.h"

#include <algorithm>
#include <cstring>

#include "host/cli/values.h"

namespace lodra_gif {
namespace {

// ------------------------------------------------ how each option is stored

bool TakeOutput(const std::string& typed, const std::string& value, Options* out, std::string* error) {
  if (value.empty()) {
    *error = typed + " needs a file name, or - for standard output";
    return false;
  }
  out->output = value;
  return true;
}

bool TakeModule(const std::string& typed, const std::string& value, Options* out, std::string* error) {
  if (value.empty()) {
    *error = typed + " needs a file name";
    return false;
  }
  out->module = value;
  return true;
}

// `value` read by `parse` into `field`.
template <typename T>
bool TakeParsed(bool (*parse)(const std::string&, T*, std::string*), const std::string& value,
                std::optional<T>* field, std::string* error) {
  T parsed{};
  if (!parse(value, &parsed, error)) return false;
  *field = parsed;
  return true;
}

bool TakeSize(const std::string&, const std::string& value, Options* out, std::string* error) {
  return TakeParsed(ParseFrameSize, value, &out->size, error);
}

bool TakeRate(const std::string&, const std::string& value, Options* out, std::string* error) {
  return TakeParsed(ParseFrameRate, value, &out->rate, error);
}

bool TakeFps(const std::string&, const std::string& value, Options* out, std::string* error) {
  return TakeParsed(ParseFrameRate, value, &out->fps, error);
}

// A count within [min, max] into `field`.
template <typename T>
bool TakeCount(const std::string& typed, const std::string& value, int64_t min, int64_t max, T* field,
               std::string* error) {
  int64_t count = 0;
  if (!ParseCount(value, min, max, typed.c_str(), &count, error)) return false;
  *field = static_cast<T>(count);
  return true;
}

template <typename T>
bool TakeCount(const std::string& typed, const std::string& value, int64_t min, int64_t max,
               std::optional<T>* field, std::string* error) {
  T count = 0;
  if (!TakeCount(typed, value, min, max, &count, error)) return false;
  *field = count;
  return true;
}

bool TakeLoop(const std::string& typed, const std::string& value, Options* out, std::string* error) {
  return TakeCount(typed, value, 0, kMaxLoopingCount, &out->loop_count, error);
}

bool TakeFrames(const std::string& typed, const std::string& value, Options* out, std::string* error) {
  return TakeCount(typed, value, 1, INT32_MAX, &out->max_frames, error);
}

bool TakeWidth(const std::string& typed, const std::string& value, Options* out, std::string* error) {
  return TakeCount(typed, value, 1, kMaxSide, &out->width, error);
}

bool TakeHeight(const std::string& typed, const std::string& value, Options* out, std::string* error) {
  return TakeCount(typed, value, 1, kMaxSide, &out->height, error);
}

bool TakeMaxWidth(const std::string& typed, const std::string& value, Options* out, std::string* error) {
  return TakeCount(typed, value, 1, kMaxSide, &out->max_width, error);
}

bool TakeMaxHeight(const std::string& typed, const std::string& value, Options* out, std::string* error) {
  return TakeCount(typed, value, 1, kMaxSide, &out->max_height, error);
}

// A factor read as a rate is, between 1/100 and 100.
bool TakeSpeed(const std::string& typed, const std::string& value, Options* out, std::string* error) {
  FrameRate factor{};
  if (!ParseFrameRate(value, &factor, error) || factor.rate > int64_t{100} * factor.scale ||
      int64_t{100} * factor.rate < factor.scale) {
    *error = typed + " wants a factor from 0.01 to 100, e.g. 2 or 0.5, not " + Quoted(value);
    return false;
  }
  out->speed = factor;
  return true;
}

// "WxH+X+Y": a size, then where its top left corner is.
bool TakeCrop(const std::string& typed, const std::string& value, Options* out, std::string* error) {
  const size_t plus = value.find('+');
  const size_t second = plus == std::string::npos ? plus : value.find('+', plus + 1);
  CropRect crop;
  int64_t x = 0, y = 0;
  std::string unused;
  if (second == std::string::npos || !ParseFrameSize(value.substr(0, plus), &crop.size, error) ||
      !ParseCount(value.substr(plus + 1, second - plus - 1), 0, kMaxSide - 1, "X", &x, &unused) ||
      !ParseCount(value.substr(second + 1), 0, kMaxSide - 1, "Y", &y, &unused)) {
    *error = typed + " wants WxH+X+Y, e.g. 320x240+16+8 (0 to 65534 from the top left), not " + Quoted(value);
    return false;
  }
  crop.x = static_cast<int32_t>(x);
  crop.y = static_cast<int32_t>(y);
  out->crop = crop;
  return true;
}

bool TakeJobs(const std::string& typed, const std::string& value, Options* out, std::string* error) {
  return TakeCount(typed, value, 1, kMaxJobs, &out->jobs, error);
}

bool TakeAlphaThreshold(const std::string& typed, const std::string& value, Options* out, std::string* error) {
  return TakeCount(typed, value, 1, 255, &out->alpha_threshold, error);
}

bool TakeMaskThreshold(const std::string& typed, const std::string& value, Options* out, std::string* error) {
  return TakeCount(typed, value, 0, 254, &out->mask_threshold, error);
}

bool TakeDither(const std::string& typed, const std::string& value, Options* out, std::string* error) {
  if (value == "none") {
    out->dither = Dither::kNone;
  } else if (value == "ordered") {
    out->dither = Dither::kOrdered;
  } else {
    *error = typed + " takes ordered or none, not " + Quoted(value);
    return false;
  }
  return true;
}

bool TakeTime(const std::string& typed, const std::string& value, std::optional<int64_t>* time, std::string* error) {
  int64_t microseconds = 0;
  if (!ParseTime(value, &microseconds, error)) {
    *error = typed + ": " + *error;
    return false;
  }
  *time = microseconds;
  return true;
}

bool TakeStart(const std::string& typed, const std::string& value, Options* out, std::string* error) {
  return TakeTime(typed, value, &out->start_us, error);
}

bool TakeDuration(const std::string& typed, const std::string& value, Options* out, std::string* error) {
  std::optional<int64_t> duration;
  if (!TakeTime(typed, value, &duration, error)) return false;
  if (*duration == 0) {
    *error = typed + " must be above 0";
    return false;
  }
  out->duration_us = duration;
  return true;
}

bool TakeMaxGap(const std::string& typed, const std::string& value, Options* out, std::string* error) {
  return TakeTime(typed, value, &out->max_gap_us, error);
}

bool TakeMaxMemory(const std::string& typed, const std::string& value, Options* out, std::string* error) {
  if (!ParseByteSize(value, &out->max_memory, error)) {
    *error = typed + ": " + *error;
    return false;
  }
  return true;
}

// A flag: given, it is set.
template <bool Options::*flag>
bool TakeFlag(const std::string&, const std::string&, Options* out, std::string*) {
  out->*flag = true;
  return true;
}

// ------------------------------------------------------------- the table

// name, short name, value, inputs, --help's lines, how it is stored
// [, said when given for another input [, the option it needs, what it works on]]
const OptionRow kOptions[] = {
    {"--output", "-o", "FILE", kAnyInput,
     "the GIF to write, or - for standard output; an existing\n"
     "file is replaced only once the new GIF is complete. A\n"
     "folder (there, or a name ending in / to be made) gets\n"
     "a GIF named after each INPUT: clip.mp4 -> FOLDER/clip.gif",
     TakeOutput},
    {"--fps", nullptr, "R", kVideoFiles,
     "the GIF's rate, e.g. 15 or 30000/1001 (video files):\n"
     "frames are chosen by their time, so a source of\n"
     "uneven rate comes out evenly timed",
     TakeFps, " (raw frames take --rate)"},
    {"--width", nullptr, "W", kVideoFiles,
     "the GIF's width (video files); the height follows the\n"
     "picture's shape unless --height is given too",
     TakeWidth},
    {"--height", nullptr, "H", kVideoFiles, "the GIF's height, likewise", TakeHeight},
    {"--max-width", nullptr, "W", kVideoFiles,
     "at most W wide (video files): a larger picture shrinks\n"
     "to fit, keeping its shape; a smaller one is kept",
     TakeMaxWidth},
    {"--max-height", nullptr, "H", kVideoFiles, "at most H high, likewise", TakeMaxHeight},
    {"--speed", nullptr, "F", kVideoFiles,
     "play F times faster (0.01 to 100, e.g. 2 or 0.5; video\n"
     "files): frames are chosen after; --start and\n"
     "--duration stay in the video's own time",
     TakeSpeed},
    {"--crop", nullptr, "WxH+X+Y", kVideoFiles,
     "keep W x H of the picture from X, Y (video files): in\n"
     "the picture as shown, upright with square pixels,\n"
     "before --width and --height; with --mask, the same\n"
     "part of the picture and of its mask",
     TakeCrop},
    {"--start", nullptr, "T", kVideoFiles,
     "start T into the video: seconds (12.5) or\n"
     "[[h:]m:]s[.frac] (1:02.5)",
     TakeStart},
    {"--duration", nullptr, "T", kVideoFiles, "export T of the video, in the same forms", TakeDuration},
    {"--no-alpha", nullptr, nullptr, kVideoFiles, "export a video with an alpha channel opaque",
     TakeFlag<&Options::no_alpha>},
    {"--alpha-threshold", nullptr, "N", kVideoFiles,
     "with alpha, a pixel is opaque where its alpha is at\n"
     "least N (1 to 255; 128)",
     TakeAlphaThreshold},
    {"--max-gap", nullptr, "T", kVideoFiles,
     "a still longer than T between two frames (60 s by\n"
     "default) is shortened to T, with a note; formats\n"
     "whose timestamps may jump (MPEG-TS) are mended first",
     TakeMaxGap},
    {"--allow-references", nullptr, nullptr, kVideoFiles,
     "read a file that names other files for its pictures\n"
     "(an HLS playlist, an ffconcat list); without this\n"
     "such a file is refused. Only local files are read,\n"
     "and a playlist only to its last listed segment",
     TakeFlag<&Options::allow_references>},
    {"--size", nullptr, "WxH", kRawOrDemo,
     "frame size of raw input, e.g. 640x360 (for the demo,\n"
     "the size of the picture)",
     TakeSize},
    {"--rate", nullptr, "R", kAnyInput,
     "frames per second of an input without a rate of its\n"
     "own: raw frames, an image sequence or picture (each\n"
     "shown 1/R s): 25, 30000/1001 or 29.97 (the demo's is\n"
     "25); a video with its own rate refuses it",
     TakeRate},
    {"--loop", nullptr, "N", kAnyInput,
     "play the animation N more times after the first;\n"
     "0 (the default) loops forever; up to 65535",
     TakeLoop},
    {"--mask", nullptr, nullptr, kAnyInput,
     "mask mode: the right half of every frame says which\n"
     "pixels of the left half are transparent (pure black\n"
     "= transparent); the GIF is half as wide as the input",
     TakeFlag<&Options::mask>},
    {"--mask-threshold", nullptr, "N", kAnyInput,
     "with --mask: mask pixels whose channels are all at\n"
     "most N count as pure black (0 to 254), for a mask\n"
     "that went through a lossy codec",
     TakeMaskThreshold, "", "--mask", "the mask of --mask frames"},
    {"--dither", nullptr, "MODE", kAnyInput,
     "ordered: add a fixed 8x8 pattern to the picture first,\n"
     "so that gradients come out as a fine texture that\n"
     "stays still, not as bands; none (the default): every\n"
     "pixel its nearest palette colour",
     TakeDither},
    {"--no-optimize", nullptr, nullptr, kAnyInput,
     "write the plug-in's GIF as it is, every frame whole;\n"
     "by default lodra-gif rewrites each frame as what\n"
     "changed, unchanged pixels transparent where smaller,\n"
     "repeats merged: the same pictures for the same times",
     TakeFlag<&Options::no_optimize>},
    {"--frames", nullptr, "N", kAnyInput, "stop after N frames", TakeFrames},
    {"--max-memory", nullptr, "SIZE", kAnyInput,
     "the most memory the frames' buffers may take, e.g.\n"
     "512M or 2G (1G by default): a larger picture is\n"
     "refused before the export starts",
     TakeMaxMemory},
    {"--module", nullptr, "PATH", kAnyInput,
     "the plug-in module to load; by default the one next to\n"
     "this program, then ../plugin/ from there (a build\n"
     "tree), then where an install puts it",
     TakeModule},
    {"--quiet", "-q", nullptr, kAnyInput, "say nothing but errors: no progress, notes, warnings\nor summary",
     TakeFlag<&Options::quiet>},
    {"--no-progress", nullptr, nullptr, kAnyInput,
     "no progress bar (shown when standard error is a\nterminal, but never for several exports at once)",
     TakeFlag<&Options::no_progress>},
    {"--jobs", nullptr, "N", kAnyInput,
     "several INPUTs: export N at once (1 to 64; one a core),\neach by a run of its own",
     TakeJobs},
    {"--version", nullptr, nullptr, kAnyInput, "the program's version and build, and the module's",
     TakeFlag<&Options::version>},
    {"--help", "-h", nullptr, kAnyInput, "this text", TakeFlag<&Options::help>},
};
constexpr size_t kOptionCount = sizeof kOptions / sizeof kOptions[0];
static_assert(kOptionCount <= kMaxOptions, "Options::given has a bit for every row");

// The row named `name` (long, or short), or null.
const OptionRow* FindOption(const std::string& name) {
  for (const OptionRow& row : kOptions) {
    if (name == row.name || (row.short_name != nullptr && name == row.short_name)) return &row;
  }
  return nullptr;
}

// The edit distance from `a` to `b`: letters inserted, removed, changed, or
// two neighbours swapped ("--widht").
size_t EditDistance(const std::string& a, const std::string& b) {
  std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1));
  for (size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
  for (size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    for (size_t j = 1; j <= b.size(); ++j) {
      d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (a[i - 1] != b[j - 1])});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
        d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
    }
  }
  return d[a.size()][b.size()];
}

// "; did you mean --width?" for the known option nearest `typed`: the one
// name that starts with it (three letters of it at least), else the name a
// slip or two away, where the slips are few for its length; "" for none.
std::string NearestOption(const std::string& typed) {
  const size_t dashes = std::min(typed.find_first_not_of('-'), typed.size());
  const size_t letters = typed.size() - dashes;
  const char* nearest = nullptr;
  int starting = 0;
  for (const OptionRow& row : kOptions) {
    if (letters >= 3 && std::strncmp(row.name, typed.c_str(), typed.size()) == 0) {
      nearest = row.name;
      ++starting;
    }
  }
  if (starting > 1) nearest = nullptr;
  size_t best = 3;
  for (const OptionRow& row : kOptions) {
    for (const char* name : {row.name, row.short_name}) {
      if (starting == 1 || name == nullptr) continue;
      const size_t distance = EditDistance(typed, name);
      if (distance < best && 3 * distance <= letters) {
        nearest = row.name;
        best = distance;
      }
    }
  }
  return nearest != nullptr ? std::string("; did you mean ") + nearest + "?" : "";
}

bool Given(const Options& options, const OptionRow& row) {
  return options.given.test(static_cast<size_t>(&row - kOptions));
}

// "raw frames or the demo", "video files": the inputs of `inputs`.
std::string InputsText(unsigned inputs) {
  const struct {
    InputKind kind;
    const char* text;
  } kNames[] = {{InputKind::kRaw, "raw frames"}, {InputKind::kDemo, "the demo"}, {InputKind::kVideo, "video files"}};
  std::string text;
  size_t left = 0;
  for (const auto& name : kNames) left += (inputs & InputBit(name.kind)) != 0;
  for (const auto& name : kNames) {
    if ((inputs & InputBit(name.kind)) == 0) continue;
    --left;
    text += std::string(name.text) + (left > 1 ? ", " : left == 1 ? " or " : "");
  }
  return text;
}

}  // namespace

OptionTable AllOptions() { return {kOptions, kOptionCount}; }

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
      if (!options.input) options.input = arg;
      options.inputs.push_back(arg);
      continue;
    }
    if (arg == "--") {
      only_positional = true;
      continue;
    }

    // "--name=value", or "-o" with its value directly after it.
    const bool is_long = arg.compare(0, 2, "--") == 0;
    const size_t split = is_long ? arg.find('=') : 2;
    const std::string name = arg.substr(0, split);
    const bool has_value = split < arg.size();
    std::string value = has_value ? arg.substr(split + (is_long ? 1 : 0)) : std::string();
    const OptionRow* row = FindOption(name);
    if (row == nullptr || (!is_long && has_value && row->value == nullptr)) {
      const std::string typed = is_long ? name : arg;
      *error = "unknown option " + typed + NearestOption(typed.substr(0, typed.find('=')));
      return false;
    }
    if (row->value == nullptr && has_value) {
      *error = name + " takes no value";
      return false;
    }
    if (row != FindOption("--output")) options.passed_on.push_back(arg);
    if (row->value != nullptr && !has_value) {
      if (i + 1 >= argc) {
        *error = name + " needs a value";
        return false;
      }
      value = argv[++i];
      if (row != FindOption("--output")) options.passed_on.push_back(value);
    }
    if (!row->take(name, value, &options, error)) return false;
    options.given.set(static_cast<size_t>(row - kOptions));
  }

  if (options.output.empty() && !options.version) {
    *error = "no output file: give -o OUTPUT.gif";
    return false;
  }
  *out = options;
  return true;
}

bool CheckOptionsApply(const Options& options, InputKind input, std::string* error) {
  for (const OptionRow& row : kOptions) {
    if (row.needs == nullptr || !Given(options, row) || Given(options, *FindOption(row.needs))) continue;
    *error = std::string(row.name) + " works on " + row.works_on + "; give " + row.needs + " too";
    return false;
  }
  for (const OptionRow& row : kOptions) {
    if (!Given(options, row) || (row.inputs & InputBit(input)) != 0) continue;
    *error = std::string(row.name) + " works on " + InputsText(row.inputs) + ", not on " +
             InputsText(kAnyInput & ~row.inputs) + row.elsewhere;
    return false;
  }
  return true;
}

}  // namespace lodra_gif
