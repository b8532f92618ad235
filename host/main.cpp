// lodra-gif: exports video to an animated GIF through the lodra output
// plug-in, loading the module and driving it exactly the way the video editor
// does: GetOutputPluginTable, the settings block through config_set, then one
// call of the table's output entry with an OutputInfo whose callbacks hand
// over the frames. Nothing of the plug-in is linked in.
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "host/frames.h"
#include "host/gif_timing.h"
#include "host/options.h"
#include "host/output_target.h"
#include "host/progress.h"
#include "host/usage.h"
#include "host/system.h"
#include "host/video_options.h"
#include "host/video_source.h"
#include "plugin/plugin_interface.h"

namespace {

using namespace lodra_gif;

constexpr const char* kProgram = "lodra-gif";

// The exit statuses, as --help lists them.
enum ExitStatus : int {
  kExitOk = 0,             // the GIF was written (warnings may have been shown)
  kExitExportFailed = 1,   // the plug-in could not encode a frame: nothing written
  kExitUsage = 2,          // bad command line, or a size or rate the plug-in cannot take
  kExitModule = 3,         // the plug-in module cannot be found, loaded or used
  kExitOutput = 4,         // the output cannot be written: nothing written
  kExitInput = 5,          // the input cannot be read or holds no whole frame
  kExitInterrupted = 130,  // stopped with Ctrl-C: the GIF holds the frames done before it
};

// Messages name files, so they go out through WriteText: UTF-8 everywhere.
void Say(const std::string& line) { WriteText(stderr, std::string(kProgram) + ": " + line + "\n"); }
void Error(const std::string& message) { Say(message); }
void Warning(const std::string& message) { Say("warning: " + message); }
void Note(const std::string& message) { Say("note: " + message); }

std::string SizeText(FrameSize size) { return std::to_string(size.width) + "x" + std::to_string(size.height); }

// --------------------------------------------------------------- the export

// Why the host stopped the plug-in through is_aborted.
enum class Stop { kNone, kEnd, kPartial, kInterrupted, kReadError };

// Everything the callbacks work on. The host's callbacks take no context
// pointer, so the one export in progress is reached through g_export.
struct Export {
  std::vector<uint8_t> frame;  // the plug-in's layout, padding zeroed
  FrameSource* source = nullptr;
  uint8_t* pixels = nullptr;   // the frame loaded last: `frame`, or one the source keeps

  int32_t loaded = 0;     // frames read into `frame` so far; it holds the last
  int32_t delivered = 0;  // frames handed to the plug-in
  int64_t refreshes = 0;  // host_refresh calls: one per frame written
  bool called_back = false;
  Stop stop = Stop::kNone;
  ProgressLine* progress = nullptr;

  // Reads frame `loaded` into `frame`, or has the source say where it is.
  bool LoadNext() noexcept {
    pixels = frame.data();
    switch (source->Next(&pixels)) {
      case ReadResult::kFrame: break;
      case ReadResult::kEnd: stop = Stop::kEnd; return false;
      case ReadResult::kPartial: stop = Stop::kPartial; return false;
      case ReadResult::kInterrupted: stop = Stop::kInterrupted; return false;
      case ReadResult::kError: stop = Stop::kReadError; return false;
    }
    ++loaded;
    return true;
  }
};

Export* g_export = nullptr;

// Asked before every frame; get_frame(n) follows a 0. The next frame is read
// here, ahead of get_frame, so that the end of the input (which a pipe does
// not announce) stops the export cleanly: a null frame would fail it.
int32_t LODRA_CDECL IsAborted() {
  Export& e = *g_export;
  e.called_back = true;
  if (e.stop != Stop::kNone) return 1;
  if (InterruptRequested()) {
    e.stop = Stop::kInterrupted;
    return 1;
  }
  if (e.loaded == e.delivered && !e.LoadNext()) {
    // Input that ends because Ctrl-C also stopped the program feeding it.
    if (InterruptRequested()) e.stop = Stop::kInterrupted;
    return 1;
  }
  return 0;
}

void* LODRA_CDECL GetFrame(int32_t n) {
  Export& e = *g_export;
  e.called_back = true;
  // Frame n was read ahead by is_aborted; a plug-in that did not ask gets it
  // read now. Anything out of order is refused.
  if (n != e.delivered) return nullptr;
  if (e.loaded == e.delivered && !e.LoadNext()) return nullptr;
  ++e.delivered;
  return e.pixels;
}

int32_t LODRA_CDECL ReportProgress(int32_t, int32_t) {
  g_export->called_back = true;
  return 1;
}

int32_t LODRA_CDECL HostRefresh() {
  Export& e = *g_export;
  e.called_back = true;
  ++e.refreshes;
  e.progress->Update(e.refreshes);
  return 1;
}

// ---------------------------------------------------------------- the module

// The module named by --module, or the first one found next to the program,
// in a build tree's plugin folder, or where an install puts it.
bool FindModule(const Options& options, const char* argv0, std::string* path) {
  if (!options.module.empty()) {
    *path = options.module;
    return true;
  }
  const std::string here = ExecutableDirectory(argv0);
  const std::string candidates[] = {
      JoinPath(here, ModuleFileName()),
      JoinPath(JoinPath(JoinPath(here, ".."), "plugin"), ModuleFileName()),
#ifdef LODRA_INSTALLED_MODULE_DIR
      // Installed: <prefix>/bin/lodra-gif, the module in <prefix>/lib/<multiarch>/lodra/.
      JoinPath(JoinPath(here, LODRA_INSTALLED_MODULE_DIR), ModuleFileName()),
#endif
  };
  std::string tried;
  for (const std::string& candidate : candidates) {
    if (IsReadableFile(candidate)) {
      *path = candidate;
      return true;
    }
    tried += (tried.empty() ? "" : ", ") + candidate;
  }
  Error(std::string("cannot find ") + ModuleFileName() + " (looked for " + tried + "); name it with --module PATH");
  return false;
}

// Loads the module and hands it the settings; the table, or null after
// saying why.
OutputPluginTable* OpenPlugin(const std::string& path, Module* module, const Settings& settings) {
  std::string reason;
  if (!module->Load(path, &reason)) {
    Error("cannot load the plug-in module " + path + ": " + reason);
    return nullptr;
  }
  const auto get_table = reinterpret_cast<GetOutputPluginTableFunction>(module->Find("GetOutputPluginTable"));
  if (get_table == nullptr) {
    Error(path + " is not an output plug-in: it has no GetOutputPluginTable export");
    return nullptr;
  }
  OutputPluginTable* table = get_table();
  if (table == nullptr || table->output == nullptr || table->config_set == nullptr) {
    Error(path + ": the plug-in table lacks the output or config_set entry");
    return nullptr;
  }
  unsigned char block[kSettingsBlockSize];
  EncodeSettingsBlock(settings, block);
  const int32_t taken = table->config_set(block, kSettingsBlockSize);
  if (taken != kSettingsBlockSize) {
    Error(path + ": the plug-in refused the settings block (config_set returned " + std::to_string(taken) + ")");
    return nullptr;
  }
  return table;
}

// ------------------------------------------------------------------- input

// An input file the program opened; standard input is left alone. A video
// file is decoded from the moment it is opened.
struct InputFile {
  std::FILE* file = nullptr;
  bool owned = false;
  std::unique_ptr<VideoInput> video;
  InputFile() = default;
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;
  ~InputFile() {
    if (owned && file != nullptr) std::fclose(file);
  }
};

// What one export takes in, worked out from the options before anything is
// loaded.
struct Plan {
  bool demo = false;
  FrameRate rate;
  FrameSize picture;  // the demo's
  FrameSize size;     // of every frame handed to the plug-in
  uint64_t raw_frame_bytes = 0;
  std::string input_name;
  int64_t whole_frames = -1;  // in a regular file; -1 when not known beforehand
  uint64_t trailing_bytes = 0;  // after the last whole frame of a regular file
  int32_t frame_count = 0;    // what the plug-in is told
  bool limited = false;       // --frames stops before the input ends
  int64_t progress_total = -1;  // frames expected; -1 when not known
  bool mask = false;          // the plug-in's mask mode: --mask, or a video with alpha
};

std::string PartFrameWarning(const Plan& plan, uint64_t bytes) {
  return plan.input_name + " ends with " + std::to_string(bytes) + " bytes, less than a whole " +
         SizeText(plan.size) + " frame (" + std::to_string(plan.raw_frame_bytes) +
         " bytes); that part-frame was left out";
}

// A video file: opened, and its first frame decoded, here; its size and
// rate come from it.
int MakeVideoPlan(const Options& options, InputFile* input, Plan* plan) {
  VideoPlan video;
  VideoFailure failure = VideoFailure::kNone;
  std::string why;
  input->video = VideoInput::Open(VideoBytes{options.input}, options.input, options, InterruptRequested, 0, &video,
                                  &failure, &why);
  if (input->video == nullptr) {
    Error(why);
    return failure == VideoFailure::kUsage ? kExitUsage : kExitInput;
  }
  plan->input_name = options.input;
  plan->rate = video.rate;
  plan->size = video.frame;
  plan->mask = options.mask || video.alpha;
  // The plug-in is told the most it will get; the end of the input stops it
  // through is_aborted, as the end of a pipe does.
  int64_t count = video.frame_limit > 0 ? video.frame_limit : INT32_MAX;
  if (options.max_frames > 0 && options.max_frames < count) count = options.max_frames;
  plan->frame_count = count < INT32_MAX ? static_cast<int32_t>(count) : INT32_MAX;
  const int64_t total = video.expected_frames >= 0 && video.expected_frames < count ? video.expected_frames : count;
  if (total < INT32_MAX) plan->progress_total = total;
  if (video.rate_divisor > 1) {
    Note(options.input + " runs at " + FormatRate(video.source_rate) + "; the GIF keeps one frame in " +
         std::to_string(video.rate_divisor) + ", at " + FormatRate(video.rate) +
         ", since browsers play GIF delays below 2/100 s as 1/10 s (--fps sets another rate)");
  }
  if (video.alpha) Note(options.input + " has an alpha channel: the GIF is transparent where it is (--no-alpha: opaque)");
  return kExitOk;
}

// Checks the options against what the plug-in takes and opens the input.
// kExitOk, or the status to end with after saying why.
int MakePlan(const Options& options, InputFile* input, Plan* plan) {
  // A file given without --size or --rate is a video file.
  const bool video = options.has_input && options.input != "-" && !options.has_size && !options.has_rate;
  std::string error;
  if (!CheckVideoOptionsApply(options, video, &error)) {
    Error(error);
    return kExitUsage;
  }
  if (video && options.input == options.output) {
    Error("the input and the output are the same file");
    return kExitUsage;
  }
  if (video) return MakeVideoPlan(options, input, plan);
  plan->mask = options.mask;
  plan->demo = !options.has_input;
  plan->rate = options.has_rate ? options.rate : FrameRate{25, 1};
  plan->picture = options.has_size ? options.size : kDemoPictureSize;
  plan->size = plan->demo ? DemoFrameSize(plan->picture, options.mask) : options.size;
  if (!plan->demo && (!options.has_size || !options.has_rate)) {
    Error("raw input needs --size WxH and --rate R: the stream carries neither" +
          std::string(options.input != "-" ? " (a video file takes neither; --fps sets the GIF's rate)" : ""));
    return kExitUsage;
  }
  if (!plan->demo && options.output != "-" && options.input == options.output) {
    Error("the input and the output are the same file");
    return kExitUsage;
  }
  if (!CheckFrameSize(plan->size, options.mask, &error)) {
    const bool doubled = plan->demo && options.mask;
    Error(error + (doubled ? " (the demo's frames are twice the picture's width in mask mode)" : ""));
    return kExitUsage;
  }
  plan->raw_frame_bytes = RawFrameBytes(plan->size);

  if (!plan->demo) {
    if (options.input == "-") {
      plan->input_name = "standard input";
      input->file = stdin;
      SetBinaryMode(stdin);
      if (IsTerminal(stdin)) {
        Error("standard input is a terminal: pipe raw frames in, e.g. from ffmpeg -f rawvideo -pix_fmt bgr24 -");
        return kExitUsage;
      }
    } else {
      plan->input_name = options.input;
      input->file = OpenFile(options.input, "rb");
      if (input->file == nullptr) {
        Error("cannot open " + options.input + ": " + std::strerror(errno));
        return kExitInput;
      }
      input->owned = true;
    }
    // From a pipe unbuffered: rows are read straight into the frame, and
    // nothing is taken from it before it is needed, so every frame read is
    // exported. A regular file is read a megabyte at a time: a read a row
    // costs more than the rest of a small frame's export.
    uint64_t remaining = 0;
    const bool regular = RegularFileRemaining(input->file, &remaining);
    std::setvbuf(input->file, nullptr, regular ? _IOFBF : _IONBF, regular ? size_t{1} << 20 : 0);
    if (regular) {
      plan->whole_frames = static_cast<int64_t>(remaining / plan->raw_frame_bytes);
      plan->trailing_bytes = remaining % plan->raw_frame_bytes;
      if (plan->whole_frames == 0) {
        Error(plan->input_name + " holds " + std::to_string(remaining) + " bytes, less than one " +
              SizeText(plan->size) + " frame (" + std::to_string(plan->raw_frame_bytes) + " bytes)");
        return kExitInput;
      }
    }
  }

  // From a pipe the plug-in is told the most it takes, and the end of the
  // stream stops it through is_aborted.
  int32_t count = INT32_MAX;
  if (plan->demo) count = DemoFrameCount(plan->rate);
  if (plan->whole_frames >= 0)
    count = plan->whole_frames < INT32_MAX ? static_cast<int32_t>(plan->whole_frames) : INT32_MAX;
  plan->limited = options.max_frames > 0 && options.max_frames < count;
  if (options.max_frames > 0 && (plan->demo || plan->limited)) count = options.max_frames;
  plan->frame_count = count;
  if (plan->demo || plan->whole_frames >= 0 || options.max_frames > 0) plan->progress_total = count;
  return kExitOk;
}

// Says how the export went and puts the GIF in place, or leaves an existing
// target as it was; the exit status.
int Report(const Plan& plan, const Export& state, const RawFrameReader& reader,
           OutputTarget& target, int32_t result, bool video_read_failed, double seconds_taken) {
  const std::string& output = target.name();
  // What follows the reason when the export leaves nothing behind.
  const std::string nothing = target.existed() ? "; " + output + " is left as it was" : "; nothing written";
  if (AbandonRequested()) {
    target.Discard();
    Error("stopped by a second Ctrl-C" + nothing);
    return kExitInterrupted;
  }
  if (result == 0) {
    // The plug-in calls host_refresh once more as it gives up.
    const int64_t written = state.refreshes > 0 ? state.refreshes - 1 : 0;
    const std::string why = target.WriteFailure();
    std::string message;
    int status = kExitExportFailed;
    if (!why.empty()) {
      message = "cannot write " + output + ": " + why + (written > 0 ? " (after " + FormatFrames(written) + ")" : "");
      status = kExitOutput;
    } else if (!state.called_back) {
      message = "the plug-in refused the export to " + output;
    } else {
      message = "the plug-in could not encode frame " + std::to_string(state.delivered);
    }
    const bool direct = target.direct();
    target.Discard();
    Error(message + (!direct ? nothing
                     : written > 0 ? "; " + output + " holds " + FormatFrames(written) + ", not closed off"
                                   : std::string()));
    return status;
  }

  const int64_t written = state.refreshes;
  if (written == 0) {
    // Only the closing comment and trailer: no GIF a viewer can open.
    target.Discard();
    switch (state.stop) {
      case Stop::kInterrupted:
        Error("interrupted before the first frame" + nothing);
        return kExitInterrupted;
      case Stop::kReadError:
        Error("cannot read " + plan.input_name + ": " + std::strerror(reader.error_number()) + nothing);
        return kExitInput;
      case Stop::kNone:
        Error("the plug-in wrote no frame" + nothing);
        return kExitExportFailed;
      case Stop::kEnd:
      case Stop::kPartial:
        break;
    }
    Error(plan.input_name + " holds no whole frame" +
          (state.stop == Stop::kPartial
               ? " (it ends after " + std::to_string(reader.partial_bytes()) + " of the " +
                     std::to_string(plan.raw_frame_bytes) + " bytes of a " + SizeText(plan.size) + " frame)"
               : "") +
          nothing);
    return kExitInput;
  }

  // A part-frame at the end: met while reading a pipe, or known from the
  // file's size when the export got that far.
  if (state.stop == Stop::kPartial) {
    Warning(PartFrameWarning(plan, reader.partial_bytes()));
  } else if (plan.trailing_bytes > 0 && !plan.limited && state.stop == Stop::kNone) {
    Warning(PartFrameWarning(plan, plan.trailing_bytes));
  }

  // What the file plays, read back from it before it takes the target's
  // place: the delays the plug-in wrote, not a guess at them. A GIF that
  // does not read back whole replaces nothing. A device cannot be read back.
  std::string playing;
  uint64_t file_bytes = 0;
  const bool sized = !target.direct() && FileSize(target.file(), &file_bytes);
  if (!target.direct()) {
    GifTiming timing;
    std::FILE* gif = OpenFile(target.file(), "rb");
    const bool whole = gif != nullptr && ReadGifTiming(gif, &timing);
    if (gif != nullptr) std::fclose(gif);
    if (!whole) {
      const std::string why = target.WriteFailure();
      target.Discard();
      Error("cannot write " + output + ": " + (why.empty() ? "the GIF does not read back whole" : why) + nothing);
      return kExitOutput;
    }
    playing = FormatPlayingTime(timing.hundredths) + " ";
    if (timing.zero_delays > 0)
      playing += timing.zero_delays == timing.frames ? "(every delay 0) "
                                                     : "(" + FormatFrames(timing.zero_delays) + " with delay 0) ";
  }
  std::string error;
  if (!target.Commit(&error)) {
    Error(error);
    return kExitOutput;
  }

  const FrameSize gif_size = {static_cast<int32_t>(PictureWidthOf(plan.size.width, plan.mask)), plan.size.height};
  const std::string summary = "wrote " + output + ": " + FormatFrames(written) + ", " + SizeText(gif_size) + ", " +
                              playing + "at " + FormatRate(plan.rate) +
                              (sized ? ", " + FormatBytes(file_bytes) : std::string()) + ", made in " +
                              FormatSeconds(seconds_taken);

  int status = kExitOk;
  if (state.stop == Stop::kInterrupted) {
    Say("interrupted; " + output + " holds the frames done so far");
    status = kExitInterrupted;
  } else if (state.stop == Stop::kReadError) {
    Error("cannot read " + plan.input_name + " after frame " + std::to_string(written) + ": " +
          std::strerror(reader.error_number()) + "; " + output + " holds the frames before it");
    status = kExitInput;
  } else if (video_read_failed) {
    status = kExitInput;  // said in the warning above; the GIF holds the frames before
  }
  Say(summary);
  return status;
}

// The program, its build and the module it would use; the exit status.
int PrintVersion(const Options& options, const char* argv0) {
  WriteText(stdout, std::string(kProgram) + " " LODRA_VERSION " (" LODRA_BUILD ")\n");
  std::string module_path;
  if (!FindModule(options, argv0, &module_path)) return kExitModule;
  Module module;
  const OutputPluginTable* table = OpenPlugin(module_path, &module, Settings{0, 0});
  if (table == nullptr) return kExitModule;
  WriteText(stdout, "module: " + module_path + "\n" + PluginText(table->information) + "\n");
  return kExitOk;
}

int Run(int argc, char** argv) {
  const std::vector<std::string> arguments = CommandLineArguments(argc, argv);
  std::vector<const char*> args;
  for (const std::string& argument : arguments) args.push_back(argument.c_str());
  Options options;
  std::string error;
  if (!ParseCommandLine(static_cast<int>(args.size()), args.data(), &options, &error)) {
    Error(error);
    std::fprintf(stderr, "Try '%s --help' for more.\n", kProgram);
    return kExitUsage;
  }
  if (options.help) {
    std::fputs(kUsageText, stdout);
    return kExitOk;
  }
  if (options.version) return PrintVersion(options, argv[0]);

  InputFile input;
  Plan plan;
  const int planned = MakePlan(options, &input, &plan);
  if (planned != kExitOk) return planned;
  // From here on Ctrl-C only asks for a stop, so the temporary file made
  // next is never left behind.
  InstallInterruptHandler();
  OutputTarget target;
  if (!target.Open(options.output, &error)) {
    Error(error);
    return kExitOutput;
  }
  const std::string rate_warning = RateWarning(plan.rate, input.video != nullptr);
  if (!rate_warning.empty()) Warning(rate_warning);

  std::string module_path;
  if (!FindModule(options, argv[0], &module_path)) return kExitModule;
  Module module;
  OutputPluginTable* table = OpenPlugin(module_path, &module, Settings{options.loop_count, plan.mask ? 1 : 0});
  if (table == nullptr) return kExitModule;

  // Everything the callbacks use is made here, before the export: nothing
  // allocates (or could throw) inside them.
  Export state;
  try {
    // A video file's frames are handed over from where they were decoded.
    if (input.video == nullptr) state.frame.assign(HostFrameBytes(plan.size), 0);
  } catch (const std::bad_alloc&) {
    Error("not enough memory for a " + SizeText(plan.size) + " frame");
    return kExitExportFailed;
  }
  RawFrameReader reader(input.file, plan.size, InterruptRequested);
  DemoFrames demo(plan.picture, options.mask, plan.rate);
  if (plan.demo) {
    state.source = &demo;
  } else if (input.video != nullptr) {
    state.source = input.video.get();
  } else {
    state.source = &reader;
  }
  MaskThresholdFilter thresholded(state.source, plan.size, options.mask_threshold);
  if (options.mask_threshold >= 0) state.source = &thresholded;
  ProgressLine progress(stderr, IsTerminal(stderr), plan.progress_total, TerminalColumns);
  state.progress = &progress;

  OutputInfo info{};
  info.width = plan.size.width;
  info.height = plan.size.height;
  info.rate = plan.rate.rate;
  info.scale = plan.rate.scale;
  info.frame_count = plan.frame_count;
  info.save_file = target.plugin_name().c_str();
  info.get_frame = GetFrame;
  info.is_aborted = IsAborted;
  info.report_progress = ReportProgress;
  info.host_refresh = HostRefresh;

  g_export = &state;
  const auto started = std::chrono::steady_clock::now();
  progress.Update(0);
  const int32_t result = table->output(&info);
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - started;
  progress.Finish();
  g_export = nullptr;
  const std::string damage = input.video != nullptr ? input.video->Finish() : "";
  if (!damage.empty()) Warning(damage);
  const bool video_read_failed = input.video != nullptr && input.video->ReadFailed();

  return Report(plan, state, reader, target, result, video_read_failed, took.count());
}

}  // namespace

int main(int argc, char** argv) {
  // Nothing may leave through the plug-in's frames, and nothing should end
  // the program with an uncaught exception either.
  try {
    return Run(argc, argv);
  } catch (const std::exception& e) {
    Error(std::string("unexpected failure: ") + e.what());
  } catch (...) {
    Error("unexpected failure");
  }
  return kExitExportFailed;
}
