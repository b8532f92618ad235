// The output pass: frames from a source in, one animated GIF89a file out.
//
// The file is the first frame's head (signature, screen descriptor, global
// colour table), the looping extension, every frame's Graphic Control
// Extension and image, a closing comment and the trailer. Nothing here knows
// who asks: the plug-in's export entry and the tests drive it alike. The
// file writer alone, for the benchmarks, is in output_pass_internal.h.
#pragma once

#include <cstdint>

#include "gif/export_result.h"

// What one export is to make.
struct AnimationRequest {
  int32_t host_width = 0;   // of the frames handed over, mask half included
  int32_t height = 0;
  int32_t rate = 0;         // frames per second = rate / scale
  int32_t scale = 0;
  int32_t frame_count = 0;  // 0 or less: no frame is asked for
  const char* path = nullptr;  // created or truncated ("wb")
};

struct AnimationSettings {
  int32_t loop_count = 0;  // 0 = loop forever; the field is LoopCountField's (gif/export_limits.h)
  bool use_mask = false;   // the right half of every frame masks its left half
};

// Where the frames come from. For each frame n, in order: IsAborted (true
// ends the export early, as a success), ReportProgress(n, frame_count),
// Pixels(n) (in the host layout, valid until the next call; null fails the
// export), then Refresh once the frame is in the file. A failed export calls
// Refresh once more as it gives up.
class FrameSource {
 public:
  virtual bool IsAborted() = 0;
  virtual void ReportProgress(int32_t n, int32_t frame_count) = 0;
  virtual const void* Pixels(int32_t n) = 0;
  virtual void Refresh() = 0;

 protected:
  ~FrameSource() = default;
};

// Runs one export; only kWritten is a success. After kOpenFailed, kRefused
// or an allocation failure before the file was opened, nothing was created
// and no callback was made; after any later failure the file holds what was
// written before it, without the closing blocks.
ExportResult WriteAnimatedGif(const AnimationRequest& request, const AnimationSettings& settings,
                              FrameSource& source);
