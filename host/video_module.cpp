// The video input as a module of its own (lodra_video.so): its one export.
#include <exception>

#include "host/video_source.h"

extern "C" __attribute__((visibility("default"))) lodra_gif::VideoInput* lodra_video_open(
    const lodra_gif::VideoOpenRequest* request) {
  using lodra_gif::VideoFailure;
  // Nothing may leave the module as an exception.
  try {
    return lodra_gif::OpenVideoFile(*request->bytes, *request->name, *request->options, request->stop_requested,
                                    request->max_pixels, request->plan, request->failure, request->why)
        .release();
  } catch (const std::exception& e) {
    *request->failure = VideoFailure::kInput;
    *request->why = "cannot open " + *request->name + ": " + e.what();
  } catch (...) {
    *request->failure = VideoFailure::kInput;
    *request->why = "cannot open " + *request->name;
  }
  return nullptr;
}
