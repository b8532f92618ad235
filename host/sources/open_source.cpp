#include "host/sources/open_source.h"

#include "host/output/output_target.h"
#include "host/sources/demo.h"
#include "host/sources/dither_filter.h"
#include "host/sources/mask_threshold.h"
#include "host/sources/raw.h"
#include "host/sources/still_pictures.h"
#include "host/video/video_input.h"

namespace lodra_gif {

namespace {

// `source` inside the filters the options ask for, each around what the
// ones before made. The mask is settled before the picture is dithered (the
// dither leaves it alone). Null stays null.
std::unique_ptr<FrameSource> Filtered(std::unique_ptr<FrameSource> source, const Options& options,
                                      OpenFailure* failure) {
  if (source == nullptr) return nullptr;
  if (options.mask_threshold) {
    source = std::make_unique<MaskThresholdFilter>(std::move(source), *options.mask_threshold);
  }
  if (options.dither == Dither::kOrdered) source = std::make_unique<DitherFilter>(std::move(source));
  *failure = OpenFailure::kNone;
  return source;
}

}  // namespace

InputKind ChooseInput(const Options& options) {
  if (!options.input) return InputKind::kDemo;
  if (options.size || *options.input == "-") return InputKind::kRaw;
  return InputKind::kVideo;
}

std::unique_ptr<FrameSource> OpenSource(const Options& options, bool (*stop_requested)(), OpenFailure* failure,
                                        std::string* why) {
  // Several INPUTs to one GIF are still pictures in turn (host/batch has
  // sent every other set of several to runs of their own).
  if (options.inputs.size() > 1) return Filtered(OpenStillPictures(options.inputs, options, stop_requested, failure, why),
                                                 options, failure);
  const InputKind kind = ChooseInput(options);
  if (!CheckOptionsApply(options, kind, why)) {
    *failure = OpenFailure::kUsage;
    return nullptr;
  }
  if (options.input && SameFile(*options.input, options.output)) {
    *failure = OpenFailure::kUsage;
    *why = "the input and the output are the same file";
    return nullptr;
  }
  std::unique_ptr<FrameSource> source;
  switch (kind) {
    case InputKind::kDemo: source = OpenDemo(options, failure, why); break;
    case InputKind::kRaw: source = OpenRawFrames(options, stop_requested, failure, why); break;
    case InputKind::kVideo: source = OpenVideoFile(*options.input, options, stop_requested, failure, why); break;
  }
  return Filtered(std::move(source), options, failure);
}

}  // namespace lodra_gif
