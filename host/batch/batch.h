// Several INPUTs at once: `lodra-gif a.mp4 b.mkv -o gifs/` writes gifs/a.gif
// and gifs/b.gif. Each GIF is made by a run of this program of its own, with
// the options given: the plug-in's settings (the mask mode differs from one
// input to the next) and its export state belong to its process, so two
// exports in one process would write wrong GIFs. --jobs runs go at once.
#pragma once

#include <string>
#include <vector>

#include "host/cli/options.h"

namespace lodra_gif {

// What the INPUTs given make.
enum class Exports {
  kOne,   // one GIF, to -o as given: no INPUT (the demo), or one
  kEach,  // a GIF for each INPUT, in the folder -o names
};

// Decides what the INPUTs make: -o naming a folder (one that is there, or a
// name ending in a separator) gets a GIF for each; several still pictures
// (AreStillPictures) to one file are one GIF; other INPUTs to one file are
// refused, the message asking for a folder. False with the reason.
bool ChooseExports(const Options& options, Exports* exports, std::string* error);

struct EachExport {
  std::string input;
  std::string output;  // in the folder, named after the input: clip.mp4 -> FOLDER/clip.gif
};

// Each INPUT's GIF in the folder -o names. False with the reason, before
// anything is written, when an INPUT has no name to give its GIF (standard
// input), when two INPUTs would give theirs one name (a.mp4 and a.mkv; names
// that differ only in case count as one, as Windows has them), or when a
// GIF would be written over an INPUT.
bool PlanEachExport(const Options& options, std::vector<EachExport>* exports, std::string* error);

// Makes the folder -o names when it is not there, and any folder above it
// that is missing. False with the message.
bool MakeOutputFolder(const std::string& folder, std::string* error);

// Runs the exports, --jobs at once (one a core by default), in the order
// given; one that fails does not stop the others, Ctrl-C starts no more.
// Each run says what it says alone (no progress bar when several run at
// once); then one line counts the GIFs written. The exit status is that of
// the first INPUT that failed, in the order given (130 for one not started
// after Ctrl-C); 0 when none did.
int RunEachExport(const Options& options, const std::vector<EachExport>& exports);

}  // namespace lodra_gif
