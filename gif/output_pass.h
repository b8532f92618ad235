// The output pass: frames from a source in, one animated GIF89a file out.
//
// The file is the first frame's head (signature, screen descriptor, global
// colour table), the looping extension, every frame's Graphic Control
// Extension and image, a closing comment and the trailer. Nothing here knows
// who asks: the plug-in's export entry and the tests drive it alike.
#pragma once

#include <cstdint>
#include <cstdio>

#include "quantize/palette.h"

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
  int32_t loop_count = 0;  // 0 = loop forever; clamped to the extension's 0..65535
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

// How an export ended. Only kWritten is a success; the plug-in's entry
// reports the rest as 0.
enum class ExportResult {
  kWritten,         // the file is complete (also after a stop)
  kRefused,         // a rate or scale of 0 or less, or no path: nothing was opened
  kAllocation,      // memory ran out
  kOpenFailed,      // the file could not be created
  kNoPixels,        // the source gave no pixels for a frame
  kSizeRefused,     // the frame size is one a GIF cannot hold
  kImagingLibrary,  // the imaging library failed, or wrote a GIF that cannot be spliced
  kWriteFailed,     // a write or the close of the file failed
};
const char* ExportResultName(ExportResult result);

// Runs one export. After kOpenFailed, kRefused or an allocation failure
// before the file was opened, nothing was created and no callback was made;
// after any later failure the file holds what was written before it, without
// the closing blocks.
ExportResult WriteAnimatedGif(const AnimationRequest& request, const AnimationSettings& settings,
                              FrameSource& source);

// The looping extension's count: 0 = forever; out-of-range values clamp the
// way the settings dialog does (negative: 0, above 65535: 65535).
uint16_t LoopCountField(int32_t loop_count);

// The animation file as the pass writes it, for those who have frame GIFs
// already (the benchmarks time this stage alone). A failed write sticks:
// nothing after it is written.
class AnimationFile {
 public:
  // Creates or truncates `path`; false when it cannot.
  bool Open(const char* path);
  // Appends one frame GIF of the imaging library with `delay` hundredths;
  // the first one also writes the head and the looping extension with
  // `loop_field`. kImagingLibrary for a block that cannot be spliced,
  // kWriteFailed when the file refused bytes.
  ExportResult AppendFrame(const uint8_t* block, uint32_t length, const Palette& palette, uint16_t delay,
                           uint16_t loop_field);
  // Writes the closing comment and trailer and closes the file; false when
  // any byte did not reach it.
  bool Finish();

  AnimationFile() = default;
  // Closes an unfinished file as it is, without the closing blocks.
  ~AnimationFile();
  AnimationFile(const AnimationFile&) = delete;
  AnimationFile& operator=(const AnimationFile&) = delete;

 private:
  void Write(const void* data, size_t size);

  std::FILE* file_ = nullptr;
  bool failed_ = false;
  bool has_frames_ = false;
};
