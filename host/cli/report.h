// What lodra-gif tells the user: its one-line messages on standard error,
// its exit statuses, and the report at the end of an export, which also puts
// the GIF in place (or leaves an existing file as it was).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "host/output/output_target.h"
#include "host/sources/frame_source.h"

namespace lodra_gif {

class LiveOptimiser;

// The exit statuses, as --help lists them.
enum ExitStatus : int {
  kExitOk = 0,             // the GIF was written (warnings may have been shown)
  kExitExportFailed = 1,   // the plug-in could not encode a frame, or the GIF could not be optimised: nothing written
  kExitUsage = 2,          // bad command line, or a size or rate the plug-in cannot take
  kExitModule = 3,         // the plug-in module cannot be found, loaded or used
  kExitOutput = 4,         // the output cannot be written: nothing written
  kExitInput = 5,          // the input cannot be read or holds no whole frame
  kExitInterrupted = 130,  // stopped with Ctrl-C: the GIF holds the frames done before it
};

constexpr const char kProgram[] = "lodra-gif";

// "lodra-gif: LINE" on standard error, names in UTF-8 everywhere, written
// at once (runs side by side never split each other's lines); the others
// put "warning: " or "note: " before theirs.
void Say(const std::string& line);
void Error(const std::string& message);
void Warning(const std::string& message);
void Note(const std::string& message);
// "lodra-gif: LINE\n", as Say writes it.
std::string LineOf(const std::string& line);
// --quiet: from here on warnings, notes and summaries are not shown; errors
// are.
void SetQuiet(bool quiet);
bool Quiet();

// How the plug-in's export went, as the host's callbacks saw it.
struct ExportRun {
  int32_t result = 0;                   // what the plug-in's output entry returned
  int64_t refreshes = 0;                // host_refresh calls: one per frame written
  int32_t delivered = 0;                // frames handed to the plug-in
  bool called_back = false;             // the plug-in called back at all
  ReadResult ended = ReadResult::kFrame;  // how the source ended the frames; kFrame: it did not
  double seconds = 0;                   // the time it took
  // For the warning about a large GIF: the input file's size (none: not a
  // file), and how the input at hand makes a smaller GIF.
  std::optional<uint64_t> input_bytes;
  std::string smaller;
  // The optimiser, finished (or closed, when there is nothing to keep);
  // null with --no-optimize.
  const LiveOptimiser* optimiser = nullptr;
};

// What a second Ctrl-C, which ends the export to `target` before the GIF is
// closed off, says.
std::string SecondInterruptMessage(const OutputTarget& target);

// Says how the export went (asking `source` what became of its input), and
// puts the GIF in place, or leaves an existing target as it was; the exit
// status.
int ReportExport(const ExportRun& run, FrameSource& source, OutputTarget& target);

}  // namespace lodra_gif
