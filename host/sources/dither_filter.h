// --dither ordered: every frame's picture goes through the ordered dither
// (dither.h) before the plug-in maps it to its palette. In mask mode only
// the picture, the left half, is dithered: the mask, which says what is
// transparent (a video's alpha made into a mask by the source itself, or a
// mask after --mask-threshold), is decided before and kept as it is.
#pragma once

#include <memory>

#include "host/sources/dither.h"
#include "host/sources/frame_source.h"

namespace lodra_gif {

class DitherFilter final : public FrameFilter {
 public:
  explicit DitherFilter(std::unique_ptr<FrameSource> inner) : FrameFilter(std::move(inner)) {}
  ReadResult Next(uint8_t** frame) noexcept override;

 private:
  OrderedDither dither_;
};

}  // namespace lodra_gif
