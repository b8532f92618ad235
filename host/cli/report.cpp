#include "host/cli/report.h"

#include <cstdio>

#include "host/cli/progress.h"
#include "host/output/gif_timing.h"
#include "host/output/live_optimiser.h"
#include "host/sources/memory_budget.h"
#include "host/system.h"
#include "plugin/plugin_interface.h"

namespace lodra_gif {

namespace {

bool g_quiet = false;

// What follows the reason when the export leaves nothing behind.
std::string NothingLeft(const OutputTarget& target) {
  return target.existed() ? "; " + target.name() + " is left as it was" : "; nothing written";
}

}  // namespace

std::string LineOf(const std::string& line) { return std::string(kProgram) + ": " + line + "\n"; }
void Say(const std::string& line) { WriteText(stderr, LineOf(line)); }
void Error(const std::string& message) { Say(message); }
void Warning(const std::string& message) {
  if (!g_quiet) Say("warning: " + message);
}
void Note(const std::string& message) {
  if (!g_quiet) Say("note: " + message);
}
void SetQuiet(bool quiet) { g_quiet = quiet; }
bool Quiet() { return g_quiet; }

std::string SecondInterruptMessage(const OutputTarget& target) {
  // A file made beside the target is removed; a device or FIFO keeps what
  // it was given.
  return "stopped by a second Ctrl-C" +
         (target.direct() ? "; " + target.name() + " keeps what was written to it" : NothingLeft(target));
}

int ReportExport(const ExportRun& run, FrameSource& source, OutputTarget& target) {
  const SourcePlan& plan = source.plan();
  const std::string& output = target.name();
  const std::string nothing = NothingLeft(target);
  const bool abandoned = AbandonRequested();
  const InputEnd input = source.Finish(run.ended, abandoned || run.result == 0 ? 0 : run.refreshes);
  for (const std::string& note : input.notes) Note(note);
  if (!input.warning.empty()) Warning(input.warning);

  if (abandoned) {
    const std::string message = SecondInterruptMessage(target);
    target.Discard();
    Error(message);
    return kExitInterrupted;
  }
  if (run.result == 0) {
    // The plug-in calls host_refresh once more as it gives up.
    const int64_t written = run.refreshes > 0 ? run.refreshes - 1 : 0;
    const std::string cannot_write = target.WriteFailure();
    std::string message;
    int status = kExitExportFailed;
    if (!cannot_write.empty()) {
      message = cannot_write + (written > 0 ? " (after " + FormatFrames(written) + ")" : "");
      status = kExitOutput;
    } else if (InterruptRequested()) {
      // Ctrl-C cut short what the plug-in was waiting on: a FIFO that no
      // reader has opened yet, a write to a full pipe.
      message = written > 0 ? "interrupted" : "interrupted before the first frame";
      status = kExitInterrupted;
    } else if (!run.called_back) {
      message = "the plug-in refused the export to " + output;
    } else {
      message = "the plug-in could not encode frame " + std::to_string(run.delivered);
      // The plug-in says only that it failed. Where its buffers for a frame
      // cannot be had now, with the source's still held, that was why.
      const uint64_t buffers = PluginFrameBytes(plan.frame, plan.mask);
      if (!MemoryAvailable(buffers))
        message += ": not enough memory (its buffers for a " + SizeText(plan.frame) + " frame take up to " +
                   FormatBytes(buffers) + ")";
    }
    // A device holds what reached it.
    const int64_t reached = run.optimiser != nullptr ? run.optimiser->stats().frames_out : written;
    const bool direct = target.direct();
    target.Discard();
    Error(message + (!direct ? nothing
                     : reached > 0 ? "; " + output + " holds " + FormatFrames(reached) + ", not closed off"
                                   : std::string()));
    return status;
  }

  const int64_t written = run.refreshes;
  if (written == 0) {
    // Only the closing comment and trailer: no GIF a viewer can open.
    target.Discard();
    switch (run.ended) {
      case ReadResult::kInterrupted:
        Error("interrupted before the first frame" + nothing);
        return kExitInterrupted;
      case ReadResult::kFrame:
        Error("the plug-in wrote no frame" + nothing);
        return kExitExportFailed;
      case ReadResult::kEnd:
      case ReadResult::kPartial:
      case ReadResult::kError:
        break;
    }
    Error(input.error + nothing);
    return kExitInput;
  }

  // A failed optimisation fails the export: nothing else is put in the
  // target's place (--no-optimize gives the plug-in's GIF).
  const LiveOptimiser* optimiser = run.optimiser;
  if (optimiser != nullptr && optimiser->failed()) {
    const std::string cannot_write = optimiser->write_failed() ? target.WriteFailure() : std::string();
    const std::string reason = !cannot_write.empty()          ? cannot_write
                               : optimiser->write_failed()    ? "cannot write " + output
                               : !optimiser->reason().empty() ? optimiser->reason()
                                                              : "cannot optimise the GIF: out of memory";
    const int64_t reached = optimiser->stats().frames_out;
    const bool direct = target.direct();
    target.Discard();
    Error(reason + (!direct ? nothing
                    : reached > 0 ? "; " + output + " holds " + FormatFrames(reached) + ", not closed off"
                                  : std::string()));
    return optimiser->write_failed() ? kExitOutput : kExitExportFailed;
  }

  // What the file plays, read back from it before it takes the target's
  // place: the delays the plug-in wrote, not a guess at them. A GIF that
  // does not read back whole replaces nothing. A device cannot be read
  // back, but the plug-in's own GIF beside an optimised one can.
  const bool readable = !target.direct() || target.optimised();
  const std::string& played_file = target.direct() ? target.plugin_file() : target.file();
  std::string playing;
  if (readable) {
    GifTiming timing;
    std::FILE* gif = OpenFile(played_file, "rb");
    const bool whole = gif != nullptr && ReadGifTiming(gif, &timing);
    if (gif != nullptr) std::fclose(gif);
    if (!whole) {
      const std::string cannot_write = target.WriteFailure();
      target.Discard();
      Error((cannot_write.empty() ? "cannot write " + output + ": the GIF does not read back whole" : cannot_write) +
            nothing);
      return kExitOutput;
    }
    playing = FormatPlayingTime(timing.hundredths) + " ";
    if (timing.zero_delays > 0)
      playing += timing.zero_delays == timing.frames ? "(every delay 0) "
                                                     : "(" + FormatFrames(timing.zero_delays) + " with delay 0) ";
  }
  // The GIF's size, and with the optimiser the plug-in's too.
  uint64_t file_bytes = 0;
  bool sized = false;
  if (optimiser != nullptr) {
    file_bytes = optimiser->stats().bytes_out;
    sized = true;
  } else {
    sized = !target.direct() && FileSize(target.file(), &file_bytes);
  }
  std::string error;
  if (!target.Commit(&error)) {
    Error(error);
    return kExitOutput;
  }

  // What plays: the frames the plug-in wrote, and as many pictures as are
  // left once repeats are merged into the frame before.
  const int64_t merged = optimiser != nullptr ? optimiser->stats().frames_merged : 0;
  const std::string frames =
      FormatFrames(written) + (merged > 0 ? " (" + std::to_string(written - merged) + " once repeats are merged)" : "");
  const FrameSize gif_size = {static_cast<int32_t>(PictureWidthOf(plan.frame.width, plan.mask)), plan.frame.height};
  const std::string summary =
      "wrote " + output + ": " + frames + ", " + SizeText(gif_size) + ", " + playing + "at " + FormatRate(plan.rate) +
      (sized ? ", " + FormatBytes(file_bytes) : std::string()) +
      (optimiser != nullptr ? " (optimised from " + FormatBytes(optimiser->stats().bytes_in) + ")" : std::string()) +
      ", made in " +
      FormatSeconds(run.seconds);
  int status = kExitOk;
  if (run.ended == ReadResult::kInterrupted) {
    Say("interrupted; " + output + " holds the frames done so far");
    status = kExitInterrupted;
  } else if (input.failed) {
    // A reason the warning has not given already.
    if (!input.error.empty()) Error(input.error + "; " + output + " holds the frames before it");
    status = kExitInput;
  }
  if (!g_quiet) Say(summary);
  const std::string size_warning = sized ? SizeWarning(file_bytes, run.input_bytes, run.smaller) : std::string();
  if (!size_warning.empty()) Warning(size_warning);
  return status;
}

}  // namespace lodra_gif
