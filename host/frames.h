// Where lodra-gif's frames come from: a raw bgr24 stream (what
// `ffmpeg -f rawvideo -pix_fmt bgr24 -` writes) or the built-in demo. Each
// writes its frames straight into the layout the plug-in reads (see
// plugin_interface.h): a raw stream has the same pixels, but its rows run
// top-down and are not padded, so every row moves.
#pragma once

#include <cstdint>
#include <cstdio>

#include "host/options.h"

namespace lodra_gif {

enum class ReadResult {
  kFrame,        // a whole frame was read
  kEnd,          // the input ended on a frame boundary
  kPartial,      // the input ended inside a frame; partial_bytes() says how far
  kInterrupted,  // Ctrl-C while waiting for input; the frame is dropped
  kError,        // the system reported a read error; error_number() says which
};

// A source of frames for the export, read one at a time in order.
class FrameSource {
 public:
  virtual ~FrameSource() = default;
  // The next frame. `*frame` points at a buffer of HostFrameBytes of the
  // export's frame size whose row padding the caller has zeroed: a source
  // writes the frame's pixel bytes there, or (one that keeps its frames in
  // that layout itself) points `*frame` at one of its own, valid until the
  // next call. Anything but kFrame ends the frames.
  virtual ReadResult Next(uint8_t** frame) noexcept = 0;
};

class RawFrameReader final : public FrameSource {
 public:
  // `file` stays the caller's. `stop_requested` is asked when a read is
  // interrupted by a signal: true ends the read as kInterrupted, false reads on.
  RawFrameReader(std::FILE* file, FrameSize size, bool (*stop_requested)());

  // Reads the next frame into `*frame`, which holds HostFrameBytes(size)
  // bytes and whose row padding the caller has zeroed; only pixel bytes are
  // written.
  ReadResult Next(uint8_t** frame) noexcept override;

  uint64_t partial_bytes() const { return partial_bytes_; }
  int error_number() const { return error_number_; }

 private:
  // Reads `size` bytes, all of them unless the input ends or fails first.
  size_t ReadFully(uint8_t* out, size_t size, ReadResult* stop) noexcept;

  std::FILE* file_;
  FrameSize size_;
  bool (*stop_requested_)();
  uint64_t partial_bytes_ = 0;
  int error_number_ = 0;
};

// Mask mode for a mask that went through a lossy codec, which is never
// pure black: every mask pixel (right half) whose channels are all at most
// `threshold` is made pure black, the plug-in's transparent, before the frame
// is handed over. Frames come from `inner`.
class MaskThresholdFilter final : public FrameSource {
 public:
  MaskThresholdFilter(FrameSource* inner, FrameSize size, int threshold)
      : inner_(inner), size_(size), threshold_(threshold) {}
  ReadResult Next(uint8_t** frame) noexcept override;

 private:
  FrameSource* inner_;
  FrameSize size_;
  int threshold_;
};

// The demo: a rainbow that scrolls sideways under a bouncing white ball, in
// motion by the clock (frame n shows time n * scale / rate), so every rate
// plays at the same speed. In mask mode the frame is twice the picture's
// width and its right half, the mask, is white inside the ball and black
// outside it: the GIF shows the scrolling rainbow through a bouncing
// round window.
constexpr FrameSize kDemoPictureSize = {320, 180};
constexpr int32_t kDemoSeconds = 3;

// The frame handed to the plug-in for a demo picture of `picture` pixels.
FrameSize DemoFrameSize(FrameSize picture, bool mask);
// Frames in kDemoSeconds at `rate`, at least 1.
int32_t DemoFrameCount(FrameRate rate);
// Draws demo frame `n` into `frame` (HostFrameBytes(DemoFrameSize(...)) bytes).
void DrawDemoFrame(FrameSize picture, bool mask, FrameRate rate, int32_t n, uint8_t* frame) noexcept;

// The demo as a source: frame 0, 1, 2, ... without end (the export asks for
// DemoFrameCount of them).
class DemoFrames final : public FrameSource {
 public:
  DemoFrames(FrameSize picture, bool mask, FrameRate rate) : picture_(picture), mask_(mask), rate_(rate) {}
  ReadResult Next(uint8_t** frame) noexcept override {
    DrawDemoFrame(picture_, mask_, rate_, next_++, *frame);
    return ReadResult::kFrame;
  }

 private:
  FrameSize picture_;
  bool mask_;
  FrameRate rate_;
  int32_t next_ = 0;
};

}  // namespace lodra_gif
