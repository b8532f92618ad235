// A build without FFmpeg's libraries (the Windows one: Debian has none for
// i686 MinGW) reads raw frames and makes the demo, and opens no video file.
#include "host/video_source.h"

namespace lodra_gif {

std::unique_ptr<VideoInput> VideoInput::Open(const VideoBytes&, const std::string& name, const Options&,
                                             bool (*)(), int64_t, VideoPlan*, VideoFailure* failure,
                                             std::string* why) {
  *failure = VideoFailure::kUsage;
  *why = "this build of lodra-gif reads raw frames only, not video files: convert " + name +
         " first (ffmpeg -i " + name + " -f rawvideo -pix_fmt bgr24 -) and give --size and --rate";
  return nullptr;
}

}  // namespace lodra_gif
