#include "host/sources/mask_threshold.h"

#include "plugin/plugin_interface.h"

namespace lodra_gif {

ReadResult MaskThresholdFilter::Next(uint8_t** out) noexcept {
  const ReadResult result = inner().Next(out);
  if (result != ReadResult::kFrame) return result;
  uint8_t* frame = *out;
  const FrameSize size = plan().frame;
  const int32_t half = static_cast<int32_t>(PictureWidthOf(size.width, true));
  const size_t stride = static_cast<size_t>(HostFrameStride(size.width));
  for (int32_t y = 0; y < size.height; ++y) {
    uint8_t* mask = frame + static_cast<size_t>(y) * stride + 3 * static_cast<size_t>(half);
    for (int32_t x = 0; x < half; ++x, mask += 3) {
      if (mask[0] <= threshold_ && mask[1] <= threshold_ && mask[2] <= threshold_) mask[0] = mask[1] = mask[2] = 0;
    }
  }
  return result;
}

}  // namespace lodra_gif
