// OpenVideoFile in the native lodra-gif: the video module is loaded the
// first time a video file is opened, so raw input and the demo never pay for
// loading FFmpeg's libraries.
#include <string>

#include "host/system.h"
#include "host/video/video_input.h"
#include "host/video/video_internal.h"

namespace lodra_gif {

std::unique_ptr<FrameSource> OpenVideoFile(const std::string& path, const Options& options,
                                           bool (*stop_requested)(), OpenFailure* failure, std::string* why) {
  // Loaded once and never unloaded: the decoding thread runs its code, and it
  // leaves process-wide hooks (FFmpeg's log callback, a signal handler) that
  // must not outlive it.
  static Module& module = *new Module;
  static VideoOpenEntry open = nullptr;
  if (open == nullptr) {
    const std::string here = ExecutableDirectory(nullptr);
    std::string candidates[] = {
        JoinPath(here, kVideoModuleFileName),
#ifdef LODRA_INSTALLED_MODULE_DIR
        JoinPath(JoinPath(here, LODRA_INSTALLED_MODULE_DIR), kVideoModuleFileName),
#endif
    };
    std::string reasons;
    for (const std::string& candidate : candidates) {
      if (!IsReadableFile(candidate)) continue;
      std::string reason;
      if (module.Load(candidate, &reason)) {
        open = reinterpret_cast<VideoOpenEntry>(module.Find(kVideoOpenEntryName));
        if (open == nullptr) reasons = candidate + " has no " + kVideoOpenEntryName + " export";
      } else {
        reasons = reason;
      }
      break;
    }
    if (open == nullptr) {
      *failure = OpenFailure::kInput;
      *why = "cannot read video files: the video input " + std::string(kVideoModuleFileName) +
             (reasons.empty() ? " is not beside this program nor installed" : " cannot be used: " + reasons) +
             "; raw frames (--size, --rate) still work";
      return nullptr;
    }
  }
  const VideoBytes bytes{path};
  const VideoOpenRequest request = {&bytes, &path, &options, stop_requested, failure, why};
  return std::unique_ptr<FrameSource>(open(&request));
}

}  // namespace lodra_gif
