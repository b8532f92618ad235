#include "host/sources/dither_filter.h"

namespace lodra_gif {

ReadResult DitherFilter::Next(uint8_t** frame) noexcept {
  const ReadResult result = inner().Next(frame);
  if (result != ReadResult::kFrame) return result;
  const SourcePlan& plan = this->plan();
  dither_.Apply(*frame, plan.frame.width, plan.frame.height, plan.mask);
  return result;
}

}  // namespace lodra_gif
