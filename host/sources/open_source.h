// The one place that decides which source an input gets, and opens it with
// the filters the options ask for.
#pragma once

#include <memory>
#include <string>

#include "host/cli/options.h"
#include "host/sources/frame_source.h"

namespace lodra_gif {

// No INPUT: the demo. --size, or INPUT "-": raw frames, which carry no
// size. Any other file: a video file, an image sequence or a picture, to
// which --rate alone gives a rate when it has none of its own (a video
// that has one refuses it). Raw frames have no signature to tell them by,
// and asking FFmpeg would cost the raw route the 80 ms its libraries take
// to load.
InputKind ChooseInput(const Options& options);

// Checks the options against the input they are for, refuses an input that
// is the output, and opens the source, wrapped in --mask-threshold's
// filter when asked. `stop_requested` is asked while the input is read
// (true stops it). Null with the reason on failure.
std::unique_ptr<FrameSource> OpenSource(const Options& options, bool (*stop_requested)(), OpenFailure* failure,
                                        std::string* why);

}  // namespace lodra_gif
