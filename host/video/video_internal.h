// Internal to the video input: what the module's own files (ffmpeg_input.cpp,
// video_module.cpp, video_loader.cpp) share, and what the video fuzz target
// reaches past OpenVideoFile for (bytes in memory). The rest of lodra-gif
// uses video_input.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "host/cli/options.h"
#include "host/sources/frame_source.h"

namespace lodra_gif {

// Where the bytes come from: a file, or memory (the fuzz target's; nothing
// else may then be opened, such as a playlist's other files).
struct VideoBytes {
  std::string path;
  const uint8_t* data = nullptr;
  size_t size = 0;
};

// The video module's own code, which OpenVideoFile reaches through the
// module: `name` names the input in messages. Its pictures are held to
// options.max_memory.
std::unique_ptr<FrameSource> OpenVideoInput(const VideoBytes& bytes, const std::string& name, const Options& options,
                                            bool (*stop_requested)(), OpenFailure* failure, std::string* why);

// The video module's one export, by this plain name: OpenVideoInput's
// arguments, its result handed over (the caller owns it, and deletes it
// before the module could go).
struct VideoOpenRequest {
  const VideoBytes* bytes;
  const std::string* name;
  const Options* options;
  bool (*stop_requested)();
  OpenFailure* failure;
  std::string* why;
};
typedef FrameSource* (*VideoOpenEntry)(const VideoOpenRequest* request);
constexpr const char kVideoOpenEntryName[] = "lodra_video_open";
constexpr const char kVideoModuleFileName[] = "lodra_video.so";

}  // namespace lodra_gif
