#include "host/sources/open_source.h"

#include "host/output/output_target.h"
#include "host/sources/demo.h"
#include "host/sources/dither_filter.h"
#include "host/sources/mask_threshold.h"
#include "host/sources/raw.h"
#include "host/video/video_input.h"

namespace lodra_gif {

InputKind ChooseInput(const Options& options) {
  if (!options.input) return InputKind::kDemo;
  if (options.size || options.rate || *options.input == "-") return InputKind::kRaw;
  return InputKind::kVideo;
}

std::unique_ptr<FrameSource> OpenSource(const Options& options, bool (*stop_requested)(), OpenFailure* failure,
                                        std::string* why) {
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
  if (source == nullptr) return nullptr;
  // The filters, each around what the ones before made. The mask is
  // settled before the picture is dithered (the dither leaves it alone).
  if (options.mask_threshold) {
    source = std::make_unique<MaskThresholdFilter>(std::move(source), *options.mask_threshold);
  }
  if (options.dither == Dither::kOrdered) source = std::make_unique<DitherFilter>(std::move(source));
  *failure = OpenFailure::kNone;
  return source;
}

}  // namespace lodra_gif
