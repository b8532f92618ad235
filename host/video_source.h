// lodra-gif's video input: any file FFmpeg's libraries open (mp4, mkv, webm,
// mov, avi, an animated GIF, an image sequence such as frames/%04d.png),
// decoded on a second thread a frame ahead of the export and converted with
// libswscale straight into the plug-in's frame layout, where the plug-in
// reads it.
//
// The GIF shows the picture as a player would: turned as the stream's
// display matrix says (quarter turns), pixels made square, then scaled to
// --width/--height. Frames are chosen by timestamp at the output rate, the
// way FFmpeg's fps filter chooses them: output frame n shows the last
// decoded frame whose time, rounded to the nearest output tick, is at most n;
// a frame that no tick falls on is dropped, one that spans several is
// repeated. So a variable-rate source comes out evenly timed.
//
// A source with an alpha channel (unless --no-alpha, or --mask frames) is
// handed over in mask mode: the frame is twice the picture's width, the
// picture on the left and on the right a mask, white where the alpha is at
// least the threshold and pure black (transparent) elsewhere.
//
// FFmpeg's libraries bring a hundred more shared libraries with them, whose
// loading takes longer than a short export: so the native lodra-gif does not
// link them. The video input is a module of its own, lodra_video.so, which
// VideoInput::Open loads on first use (host/video_loader.cpp) from beside the
// program or where an install puts the plug-in module. A build without
// FFmpeg's libraries (the Windows one) has this header but opens nothing:
// VideoInput::Open says why.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "host/frames.h"
#include "host/options.h"

namespace lodra_gif {

// What the export of a video file will be, decided when it is opened.
struct VideoPlan {
  FrameSize picture;           // the GIF's
  FrameSize frame;             // handed to the plug-in
  bool alpha = false;          // frames carry a mask built from the alpha channel
  FrameRate rate;              // of the GIF
  FrameRate source_rate;       // the stream's, as FFmpeg guesses it
  int32_t rate_divisor = 1;    // above 1: a source over 50 fps brought down by this
  int64_t frame_limit = -1;    // frames at most (--duration); -1 = until the input ends
  int64_t expected_frames = -1;  // from the input's stated length; -1 = not known
};

enum class VideoFailure {
  kNone,
  kUsage,  // an option that does not fit this input (--start past its end)
  kInput,  // the input cannot be opened, holds no video or cannot be decoded
};

// Where the bytes come from: a file, or memory (the fuzz target's).
struct VideoBytes {
  std::string path;
  const uint8_t* data = nullptr;
  size_t size = 0;
};

class VideoInput : public FrameSource {
 public:
  // Opens the input, decides the plan from `options` (--fps, --width,
  // --height, --start, --duration, --no-alpha, --alpha-threshold, --mask),
  // decodes the first frame to be exported and starts decoding ahead. On
  // failure: null, with `failure` and a one-line reason in `why` (naming
  // `name`). `stop_requested` is asked while the input is read (true stops
  // it) and while Next waits for the decoder.
  // `max_pixels` above 0 bounds the decoder's picture (width x height).
  static std::unique_ptr<VideoInput> Open(const VideoBytes& bytes, const std::string& name, const Options& options,
                                          bool (*stop_requested)(), int64_t max_pixels, VideoPlan* plan,
                                          VideoFailure* failure, std::string* why);

  // Stops decoding (it may be ahead of the export) and says in one line what
  // went wrong on the way ("" when nothing did): frames lost to corrupt
  // data, input that ended before its stated length or could not be read to
  // its end. Next gives kEnd from then on.
  virtual std::string Finish() = 0;
  // After Finish: whether the input stopped because it could not be read or
  // converted (not for damaged data, which is only warned of): the export
  // then ends with the input's status, its GIF holding the frames before.
  virtual bool ReadFailed() const = 0;
};

// What VideoInput::Open does where the video input is linked in: the video
// module's own code.
std::unique_ptr<VideoInput> OpenVideoFile(const VideoBytes& bytes, const std::string& name, const Options& options,
                                          bool (*stop_requested)(), int64_t max_pixels, VideoPlan* plan,
                                          VideoFailure* failure, std::string* why);

// The video module's one export, by this plain name: OpenVideoFile's
// arguments, its result handed over (the caller owns it, and deletes it
// before the module could go).
struct VideoOpenRequest {
  const VideoBytes* bytes;
  const std::string* name;
  const Options* options;
  bool (*stop_requested)();
  int64_t max_pixels;
  VideoPlan* plan;
  VideoFailure* failure;
  std::string* why;
};
typedef VideoInput* (*VideoOpenEntry)(const VideoOpenRequest* request);
constexpr const char kVideoOpenEntryName[] = "lodra_video_open";
constexpr const char kVideoModuleFileName[] = "lodra_video.so";

}  // namespace lodra_gif
