// The video input as a module of its own (lodra_video.so): its one export.
#include <exception>

#include "host/video/video_internal.h"

extern "C" __attribute__((visibility("default"))) lodra_gif::FrameSource* lodra_video_open(
    const lodra_gif::VideoOpenRequest* request) {
  using lodra_gif::OpenFailure;
  // Nothing may leave the module as an exception.
  try {
    return lodra_gif::OpenVideoInput(*request->bytes, *request->name, *request->options, request->stop_requested,
                                     request->failure, request->why)
        .release();
  } catch (const std::exception& e) {
    *request->failure = OpenFailure::kInput;
    *request->why = "cannot open " + *request->name + ": " + e.what();
  } catch (...) {
    *request->failure = OpenFailure::kInput;
    *request->why = "cannot open " + *request->name;
  }
  return nullptr;
}
