// Mask mode for a mask that went through a lossy codec, which is never
// pure black: every mask pixel (right half) whose channels are all at most
// `threshold` is made pure black, the plug-in's transparent, before the
// frame is handed over.
#pragma once

#include <memory>

#include "host/sources/frame_source.h"

namespace lodra_gif {

class MaskThresholdFilter final : public FrameFilter {
 public:
  MaskThresholdFilter(std::unique_ptr<FrameSource> inner, int threshold)
      : FrameFilter(std::move(inner)), threshold_(threshold) {}
  ReadResult Next(uint8_t** frame) noexcept override;

 private:
  int threshold_;
};

}  // namespace lodra_gif
