// A build without FFmpeg's libraries (the Windows one: Debian has none for
// i686 MinGW) reads raw frames and makes the demo, and opens no video file.
#include "host/video/video_input.h"

namespace lodra_gif {

std::unique_ptr<FrameSource> OpenVideoFile(const std::string& path, const Options&, bool (*)(), OpenFailure* failure,
                                           std::string* why) {
  *failure = OpenFailure::kUsage;
  *why = "this build of lodra-gif reads raw frames only, not video files: convert " + path +
         " first (ffmpeg -i " + path + " -f rawvideo -pix_fmt bgr24 -) and give --size and --rate";
  return nullptr;
}

}  // namespace lodra_gif
