// Lossless optimisation of the animated GIF the plug-in writes: the same
// pictures for the same times in fewer bytes.
//
// The plug-in's frames are whole pictures: each covers the screen, clears
// itself when its time is over (disposal 2) and is transparent only where
// the picture is. The optimiser rewrites each frame as the smallest
// rectangle that covers what changed since the picture already on the
// screen, with the unchanged pixels inside it transparent where that makes
// the frame smaller, and with disposals chosen so that every frame shows
// exactly the plug-in's picture when a browser composites it (a browser
// clears disposal 2 to transparent and starts each play from a transparent
// screen). A pixel that turns transparent is cleared by the disposal of the
// frame before it, never shown through to an older picture. A frame that
// shows the picture already shown is left out and its delay added to the
// frame before it, while the sum fits the 16-bit field. A frame that
// changes everywhere, where transparency would not help, keeps the
// plug-in's bytes: only its control extension is written anew. The head,
// the looping extension, the comment and every other extension are kept
// where they were.
//
// The input is fed as it arrives (the file may still be being written) and
// the output goes to a sink as soon as each frame is settled: a frame is
// settled once the next one is known. Decoding, comparing and encoding run
// on a worker pool, a bounded number of frames at a time.
//
// It takes GIFs whose frames all carry a control extension with one and the
// same transparent index and use the global colour table, as the plug-in's
// do, and refuses others with a clear reason.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "gifformat/gif_walker.h"

namespace lodra_gif {

class WorkerPool;

// Where the optimised GIF goes, in order.
class ByteSink {
 public:
  // False when the bytes could not be taken; nothing more is then given.
  virtual bool Write(const uint8_t* bytes, size_t size) = 0;

 protected:
  ~ByteSink() = default;
};

class MemorySink final : public ByteSink {
 public:
  bool Write(const uint8_t* bytes, size_t size) override;
  std::vector<uint8_t> bytes;
};

// Writes to a file the caller opened and closes.
class FileSink final : public ByteSink {
 public:
  explicit FileSink(std::FILE* file) : file_(file) {}
  bool Write(const uint8_t* bytes, size_t size) override;
  // Flushes the file: false when any write failed, now or before.
  bool Flush();

 private:
  std::FILE* file_;
  bool failed_ = false;
};

enum class OptimiseError : uint8_t {
  kNone,
  kMalformed,             // not a sound GIF: format_error() says how
  kBadControlExtension,   // a control extension whose data is not one 4-byte sub-block
  kEmptyScreen,           // a screen or an image of no pixels
  kNoGlobalTable,         // no global colour table
  kLocalTable,            // a frame with a colour table of its own
  kOutsideScreen,         // a frame that reaches past the screen
  kNoTransparency,        // a frame without a control extension that names a transparent index
  kMixedTransparency,     // frames with different transparent indices
  kPlainText,             // a plain text extension
  kTooMuchData,           // image data longer than any coder writes for its frame
  kTooManyBlocks,         // more extension data between frames than is held
  kOutOfMemory,
  kWriteFailed,           // the sink refused bytes
  kFedAfterFinish,
};
const char* OptimiseErrorText(OptimiseError error);

struct OptimiserStats {
  int64_t frames_in = 0;      // images read
  int64_t frames_out = 0;     // images written
  int64_t frames_merged = 0;  // left out, their delays given to the frame before
  int64_t frames_kept = 0;    // written with the input's own image bytes
  uint64_t bytes_in = 0;
  uint64_t bytes_out = 0;
};

class GifOptimiser {
 public:
  // Writes to `sink`, which must outlive the optimiser. Tasks go to `pool`
  // (null: ProcessPool()).
  explicit GifOptimiser(ByteSink* sink, WorkerPool* pool = nullptr);
  // Waits for its tasks; writes nothing more.
  ~GifOptimiser();
  GifOptimiser(const GifOptimiser&) = delete;
  GifOptimiser& operator=(const GifOptimiser&) = delete;

  // The input's next `size` bytes. May wait while enough frames are in
  // work. False once anything has failed: an error sticks, and nothing more
  // is written.
  bool Feed(const uint8_t* bytes, size_t size);
  // The input has ended: the rest is written, the trailer last. False when
  // anything failed (a GIF cut short included).
  bool Finish();

  OptimiseError error() const;
  gifformat::Error format_error() const;  // for kMalformed
  int64_t error_frame() const;            // the frame (from 0) the error is about, or -1
  // "frame 3: a frame with a colour table of its own"
  std::string Describe() const;
  OptimiserStats stats() const;

  class Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

// The most bytes an optimiser holds for a `width` x `height` screen when its
// pool has `workers` workers (0 counts as 1: tasks then run in the caller's
// thread): every buffer whose size follows from the picture, the frames in
// work times what each holds, and the coders' tables.
uint64_t OptimiserBytesNeeded(int32_t width, int32_t height, int workers);

}  // namespace lodra_gif
