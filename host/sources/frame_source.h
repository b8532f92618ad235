// Where lodra-gif's frames come from. Every kind of input is a FrameSource:
// the built-in demo (demo.h), raw bgr24 frames (raw.h) and video files
// (host/video/video_input.h). A source plans the export when it is opened
// (the frame size, the rate, how many frames if it knows), hands the frames
// over one at a time in the layout the plug-in reads (plugin_interface.h:
// bottom-up rows padded to 4 bytes), and when the export is over says what
// went wrong with its input. OpenSource (open_source.h) chooses the source
// and opens it; the export itself never asks which one it has.
//
// A filter (mask_threshold.h) is a source that wraps another and changes its
// frames on the way.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/frame_format.h"

namespace lodra_gif {

// Why a source could not be opened, as the exit status tells it.
enum class OpenFailure {
  kNone,
  kUsage,  // what was asked does not fit this input (--start past its end, a picture too large)
  kInput,  // the input cannot be opened or read, or holds nothing to export
};

enum class ReadResult {
  kFrame,        // a whole frame was read
  kEnd,          // the input ended on a frame boundary
  kPartial,      // the input ended inside a frame
  kInterrupted,  // Ctrl-C while waiting for input; the frame is dropped
  kError,        // the input could not be read
};

// What the export from a source will be, settled when it is opened.
struct SourcePlan {
  std::string name;        // the input as messages name it
  FrameSize frame;         // every frame handed to the plug-in, a mask half included
  FrameRate rate;          // the GIF's
  bool mask = false;       // the plug-in's mask mode: the right half of each frame is a mask
  // Frames the input holds (a regular file) or gives at most (a --duration);
  // none: until it ends.
  std::optional<int64_t> length;
  // Gives frames for as long as it is asked (the demo): `length` is only
  // how many it gives unless --frames says otherwise.
  bool endless = false;
  // Frames it is expected to give, for the progress bar (a video's stated
  // length); none: not known.
  std::optional<int64_t> expected;
  // Next hands over frames of the source's own: the export needs no buffer.
  bool own_frames = false;
  // The GIF optimiser's frames fit in --max-memory beside the export's (see
  // sources/memory_budget.h); where they do not, the GIF is not optimised.
  bool optimiser_fits = true;
  // Said before the export (a video's rate brought down).
  std::vector<std::string> notes;
  // For the warning about a rate above 50 fps: how this input gets a lower one.
  std::string lower_rate;
};

// What a source says about its input once the export is over.
struct InputEnd {
  std::vector<std::string> notes;  // shown first (a long still shortened, a GIF made transparent by the alpha)
  std::string warning;  // shown as soon as the export is over (a part-frame left out, damaged data)
  // Why the input gave no frame (always said when none was kept and Next
  // ended them with kEnd, kPartial or kError), or why it stopped before its
  // end; the message goes on to say what became of the GIF.
  std::string error;
  // It could not be read to its end: the program ends with the input's
  // status, the GIF holding the frames before (the warning or the error
  // says why).
  bool failed = false;
};

class FrameSource {
 public:
  virtual ~FrameSource() = default;

  virtual const SourcePlan& plan() const = 0;

  // The next frame. `*frame` points at a buffer of HostFrameBytes(plan().frame)
  // bytes whose row padding the caller has zeroed: a source writes the
  // frame's pixel bytes there, or (one with plan().own_frames) points
  // `*frame` at one of its own, valid until the next call. Anything but
  // kFrame ends the frames.
  virtual ReadResult Next(uint8_t** frame) noexcept = 0;

  // Once, when the export is over: stops whatever the source still runs and
  // says what went wrong with its input. `ended` is how Next ended the
  // frames (kFrame: the plug-in stopped asking first); `frames_kept` the
  // frames of the GIF that is kept, 0 when none is.
  virtual InputEnd Finish(ReadResult ended, int64_t frames_kept) = 0;
};

// A source that changes the frames of another on their way: it has the
// other's plan and end, and its own Next.
class FrameFilter : public FrameSource {
 public:
  explicit FrameFilter(std::unique_ptr<FrameSource> inner) : inner_(std::move(inner)) {}
  const SourcePlan& plan() const override { return inner_->plan(); }
  InputEnd Finish(ReadResult ended, int64_t frames_kept) override { return inner_->Finish(ended, frames_kept); }

 protected:
  FrameSource& inner() { return *inner_; }

 private:
  std::unique_ptr<FrameSource> inner_;
};

// How many frames the plug-in is told to expect, and the progress bar's
// total, for a source with `plan` and --frames `max_frames`. The plug-in is
// told the most it can get: the end of an input shorter than that (a pipe)
// stops it through is_aborted.
struct FrameCounts {
  int32_t told = 0;
  std::optional<int64_t> progress_total;  // none: not known, the bar counts without one
};
FrameCounts CountFrames(const SourcePlan& plan, std::optional<int32_t> max_frames);

}  // namespace lodra_gif
