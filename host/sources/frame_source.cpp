#include "host/sources/frame_source.h"

#include <algorithm>

namespace lodra_gif {

FrameCounts CountFrames(const SourcePlan& plan, std::optional<int32_t> max_frames) {
  int64_t told = plan.length ? std::min<int64_t>(*plan.length, INT32_MAX) : INT32_MAX;
  if (max_frames && (plan.endless || *max_frames < told)) told = *max_frames;
  FrameCounts counts;
  counts.told = static_cast<int32_t>(told);
  // A total is known where the input's length or --frames bounds the
  // export; a shorter stated length is the better guess.
  if (plan.expected && *plan.expected < told) {
    counts.progress_total = *plan.expected;
  } else if (plan.length || max_frames) {
    counts.progress_total = told;
  }
  return counts;
}

}  // namespace lodra_gif
