// lodra-gif: exports video to an animated GIF through the lodra output
// plug-in, loading the module and driving it exactly the way the video editor
// does: GetOutputPluginTable, the settings block through config_set, then one
// call of the table's output entry with an OutputInfo whose callbacks hand
// over the frames. Nothing of the plug-in is linked in.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "host/batch/batch.h"
#include "host/cli/options.h"
#include "host/cli/progress.h"
#include "host/cli/report.h"
#include "host/cli/usage.h"
#include "host/output/live_optimiser.h"
#include "host/output/output_target.h"
#include "host/sources/open_source.h"
#include "host/system.h"
#include "plugin/plugin_interface.h"

namespace {

using namespace lodra_gif;

// --------------------------------------------------------------- the export

// Everything the callbacks work on. The host's callbacks take no context
// pointer, so the one export in progress is reached through g_export.
struct Export {
  std::vector<uint8_t> frame;  // the plug-in's layout, padding zeroed (unless the source keeps its own)
  FrameSource* source = nullptr;
  uint8_t* pixels = nullptr;   // the frame loaded last: `frame`, or one the source keeps

  int32_t loaded = 0;     // frames read into `frame` so far; it holds the last
  int32_t delivered = 0;  // frames handed to the plug-in
  int64_t refreshes = 0;  // host_refresh calls: one per frame written
  LiveOptimiser* optimiser = nullptr;  // reads what the plug-in writes; null with --no-optimize
  bool called_back = false;
  ReadResult ended = ReadResult::kFrame;  // how the source ended the frames; kFrame: it has not
  ProgressLine* progress = nullptr;

  // Reads frame `loaded` into `frame`, or has the source say where it is.
  bool LoadNext() noexcept {
    pixels = frame.data();
    const ReadResult read = source->Next(&pixels);
    if (read != ReadResult::kFrame) {
      ended = read;
      return false;
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
  if (e.ended != ReadResult::kFrame) return 1;
  // An optimisation that failed fails the export: no more frames for it.
  if (e.optimiser != nullptr && e.optimiser->failed()) return 1;
  if (InterruptRequested()) {
    e.ended = ReadResult::kInterrupted;
    return 1;
  }
  if (e.loaded == e.delivered && !e.LoadNext()) {
    // Input that ends because Ctrl-C also stopped the program feeding it.
    if (InterruptRequested()) e.ended = ReadResult::kInterrupted;
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
  // The frame is in the plug-in's file (but for what its buffer holds).
  if (e.optimiser != nullptr) e.optimiser->Take();
  e.progress->Update(e.refreshes);
  return 1;
}

// ---------------------------------------------------------------- the module

// The module named by --module, or the first one found next to the program,
// in a build tree's plugin folder, or where an install puts it.
bool FindModule(const Options& options, const char* argv0, std::string* path) {
  if (options.module) {
    *path = *options.module;
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

// A text of the plug-in table (code page 932) in UTF-8; where the system
// cannot convert it, the ASCII part with "?" for the rest.
std::string PluginText(const char* text) {
  const std::string bytes = text != nullptr ? text : "";
  std::string utf8;
  if (FromCodePage932(bytes, &utf8)) return utf8;
  for (char c : bytes) utf8 += static_cast<unsigned char>(c) < 0x80 ? c : '?';
  return utf8;
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

// The size of the input files, for the warning about a large GIF; none when
// an input is no regular file (a pipe, a pattern such as frames/%04d.png).
std::optional<uint64_t> InputBytes(const Options& options) {
  uint64_t total = 0;
  for (const std::string& input : options.inputs) {
    PathKind kind = PathKind::kMissing;
    std::string reason;
    uint64_t bytes = 0;
    if (!ExaminePath(input, &kind, &reason) || kind != PathKind::kRegular || !FileSize(input, &bytes)) return {};
    total += bytes;
  }
  if (options.inputs.empty()) return {};
  return total;
}

// How the input at hand makes a smaller GIF.
std::string SmallerGif(InputKind input) {
  switch (input) {
    case InputKind::kVideo: return "a smaller --width or a lower --fps makes it smaller";
    case InputKind::kRaw: return "smaller frames or a lower rate make it smaller (ffmpeg -vf fps=15,scale=480:-2)";
    case InputKind::kDemo: break;
  }
  return "a smaller --size makes it smaller";
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
    std::fputs(UsageText().c_str(), stdout);
    return kExitOk;
  }
  if (options.version) return PrintVersion(options, argv[0]);
  SetQuiet(options.quiet);

  Exports exports = Exports::kOne;
  if (!ChooseExports(options, &exports, &error)) {
    Error(error);
    return kExitUsage;
  }
  if (exports == Exports::kEach) {
    std::vector<EachExport> each;
    if (!PlanEachExport(options, &each, &error)) {
      Error(error);
      return kExitUsage;
    }
    if (!MakeOutputFolder(options.output, &error)) {
      Error(error);
      return kExitOutput;
    }
    if (each.size() > 1) return RunEachExport(options, each);
    options.output = each.front().output;
  }

  OpenFailure failure = OpenFailure::kNone;
  std::unique_ptr<FrameSource> source = OpenSource(options, InterruptRequested, &failure, &error);
  if (source == nullptr) {
    Error(error);
    return failure == OpenFailure::kUsage ? kExitUsage : kExitInput;
  }
  const SourcePlan& plan = source->plan();
  for (const std::string& note : plan.notes) Note(note);
  // From here on Ctrl-C only asks for a stop, and any other signal that ends
  // the program removes the temporary file made next first.
  InstallSignalHandlers();
  OutputTarget target;
  if (!target.Open(options.output, !options.no_optimize && plan.optimiser_fits, &error)) {
    Error(error);
    return kExitOutput;
  }
  SetInterruptFarewell(LineOf(SecondInterruptMessage(target)));
  const std::string rate_warning = RateWarning(plan.rate, plan.lower_rate);
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
    if (!plan.own_frames) state.frame.assign(HostFrameBytes(plan.frame), 0);
  } catch (const std::bad_alloc&) {
    Error("not enough memory for a " + SizeText(plan.frame) + " frame (" + FormatBytes(HostFrameBytes(plan.frame)) +
          ")");
    return kExitExportFailed;
  }
  state.source = source.get();
  // The optimiser opens the target's file now (a FIFO waits for its reader
  // here), and reads the plug-in's as the export writes it.
  LiveOptimiser optimiser;
  if (target.optimised()) {
    if (!optimiser.Open(target.plugin_file(), target.file(), &error)) {
      target.Discard();
      if (InterruptRequested()) {
        Error("interrupted before the first frame");
        return kExitInterrupted;
      }
      Error("cannot write " + target.name() + ": " + error);
      return kExitOutput;
    }
    state.optimiser = &optimiser;
  }
  const FrameCounts counts = CountFrames(plan, options.max_frames);
  ProgressLine progress(stderr, IsTerminal(stderr), !options.quiet && !options.no_progress,
                        counts.progress_total.value_or(-1), TerminalColumns);
  state.progress = &progress;

  OutputInfo info{};
  info.width = plan.frame.width;
  info.height = plan.frame.height;
  info.rate = plan.rate.rate;
  info.scale = plan.rate.scale;
  info.frame_count = counts.told;
  info.save_file = target.plugin_name().c_str();
  info.get_frame = GetFrame;
  info.is_aborted = IsAborted;
  info.report_progress = ReportProgress;
  info.host_refresh = HostRefresh;

  g_export = &state;
  const auto started = std::chrono::steady_clock::now();
  progress.Update(0);
  ExportRun run;
  run.result = table->output(&info);
  progress.Finish(InterruptRequested());
  g_export = nullptr;
  // The plug-in has closed its file: the optimised GIF is finished, unless
  // there is nothing to keep.
  if (state.optimiser != nullptr) {
    if (run.result != 0 && state.refreshes > 0 && !AbandonRequested()) {
      optimiser.Finish();
    } else {
      optimiser.Close();
    }
    run.optimiser = &optimiser;
  }
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - started;
  run.refreshes = state.refreshes;
  run.delivered = state.delivered;
  run.called_back = state.called_back;
  run.ended = state.ended;
  run.seconds = took.count();
  run.input_bytes = InputBytes(options);
  run.smaller = SmallerGif(ChooseInput(options));
  return ReportExport(run, *source, target);
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
