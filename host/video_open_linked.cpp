// VideoInput::Open where the video input is linked in (the video fuzz target).
#include "host/video_source.h"

namespace lodra_gif {

std::unique_ptr<VideoInput> VideoInput::Open(const VideoBytes& bytes, const std::string& name, const Options& options,
                                             bool (*stop_requested)(), int64_t max_pixels, VideoPlan* plan,
                                             VideoFailure* failure, std::string* why) {
  return OpenVideoFile(bytes, name, options, stop_requested, max_pixels, plan, failure, why);
}

}  // namespace lodra_gif
