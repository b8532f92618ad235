// The memory an export's pictures take, counted before any of it is
// allocated. Every buffer whose size follows from the picture is a term: a
// name and a function of the pictures' sizes. The sum is held to
// --max-memory (1 GiB by default), so that a file of a few bytes that
// declares an enormous picture is refused with the size it asks for instead
// of taking gigabytes (or failing somewhere inside an allocation).
//
// A stage that holds buffers of its own adds its term to the table in
// memory_budget.cpp: one line and its function.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "host/cli/options.h"
#include "host/frame_format.h"
#include "host/sources/frame_source.h"

namespace lodra_gif {

// The sizes the buffers follow from.
struct ExportPictures {
  FrameSize frame;  // each frame handed to the plug-in, a mask half included
  bool mask = false;
  // Frames in the plug-in's layout held at once: the host's own buffer (raw
  // frames, the demo: 1) or the frames a video decodes ahead.
  int held_frames = 1;
  // Video files: the decoder's picture as it is coded; 0x0 without a decoder.
  FrameSize decoded;
  // Video files: the picture scaled but not yet turned, or not yet split
  // into picture and mask, at `staging_channels` bytes a pixel; 0x0 when
  // the scaler writes straight into the frames.
  FrameSize staging;
  int staging_channels = 0;
  // The GIF optimiser's pool (OptimiserWorkers); 0: the GIF is not optimised.
  int optimiser_workers = 0;
};

// The workers the GIF optimiser runs on for `options`: the process's pool,
// or 0 with --no-optimize.
int OptimiserWorkers(const Options& options);

// One term: what the buffers are, and their bytes for `pictures`. Products
// are held at UINT64_MAX rather than wrapping.
struct MemoryTerm {
  const char* what;
  uint64_t (*bytes)(const ExportPictures& pictures);
};
struct MemoryTerms {
  const MemoryTerm* rows;
  size_t size;
  const MemoryTerm* begin() const { return rows; }
  const MemoryTerm* end() const { return rows + size; }
};
MemoryTerms AllMemoryTerms();

// The sum of every term (held at UINT64_MAX).
uint64_t MemoryNeeded(const ExportPictures& pictures);

// Whether the export fits in `limit` bytes; false with the reason, which
// goes on from a phrase naming the picture ("clip.mp4 shows 16000x16000"):
// ": exporting it needs 4.9 GiB of memory (3.8 GiB of it for the decoder's
// pictures), more than the 1.0 GiB --max-memory allows".
bool CheckMemory(const ExportPictures& pictures, uint64_t limit, std::string* why);

// CheckMemory for an export whose GIF is optimised (`pictures` with
// optimiser workers). Where it fits only without the optimiser's frames,
// the GIF is not optimised rather than the export refused:
// `plan->optimiser_fits` becomes false and a note says so. False when even
// that does not fit, with the reason of the export alone.
bool CheckMemoryOptimising(ExportPictures pictures, uint64_t limit, SourcePlan* plan, std::string* why);

// A source whose frames the host holds (raw frames, the demo): its frames
// within the plug-in's sides, then within `limit` bytes (with the GIF
// optimiser's on `optimiser_workers`, as CheckMemoryOptimising), then within
// what the plug-in can address (CheckFrameSize). False with the message.
bool CheckFrameBudget(SourcePlan* plan, uint64_t limit, int optimiser_workers, std::string* why);

// The layouts the terms count, which the buffers are allocated by.
// A frame in the plug-in's layout as the video input holds it: rows start
// where the plug-in's do, and the scaler may write up to kRowSlack bytes
// past the last.
constexpr uint64_t kRowSlack = 64;
uint64_t HeldFrameBytes(FrameSize frame);
// The staging picture's rows start on kRowSlack boundaries, which the
// scaler's vector code likes; the slack follows the last.
uint64_t StagingStride(int32_t width, int channels);
uint64_t StagingBytes(FrameSize size, int channels);

// The most pixels a decoded picture may have for the decoder's term alone
// to fit in `limit`: what FFmpeg's decoders are held to (max_pixels), so
// that a picture above it is refused before the decoder allocates it.
int64_t MaxDecodedPixels(uint64_t limit);

// The plug-in's buffers for one frame of `frame` (its terms), for the
// message when an export fails for want of memory.
uint64_t PluginFrameBytes(FrameSize frame, bool mask);

// Whether `bytes` can be allocated now (allocated and freed at once).
bool MemoryAvailable(uint64_t bytes);

}  // namespace lodra_gif
