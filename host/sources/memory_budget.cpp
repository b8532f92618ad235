#include "host/sources/memory_budget.h"

#include <cstdlib>

#include "host/cli/progress.h"
#include "host/output/gif_optimiser.h"
#include "host/output/worker_pool.h"
#include "plugin/plugin_interface.h"

namespace lodra_gif {
namespace {

// The decoder's pictures: the two the frame choice holds (the frame shown
// and the next), the one being decoded and one it refers to, at up to 4
// bytes a pixel (RGBA; 4:2:0 video takes 1.5, so this leaves room for a
// codec that refers to more).
constexpr uint64_t kDecoderPictures = 4;
constexpr uint64_t kDecodedBytesPerPixel = 4;

uint64_t Product(uint64_t a, uint64_t b) { return a != 0 && b > UINT64_MAX / a ? UINT64_MAX : a * b; }
uint64_t Sum(uint64_t a, uint64_t b) { return b > UINT64_MAX - a ? UINT64_MAX : a + b; }
uint64_t Side(int32_t side) { return side > 0 ? static_cast<uint64_t>(side) : 0; }
uint64_t Pixels(FrameSize size) { return Product(Side(size.width), Side(size.height)); }
FrameSize PictureOf(const ExportPictures& p) {
  return {static_cast<int32_t>(PictureWidthOf(p.frame.width, p.mask)), p.frame.height};
}

uint64_t DecoderPictures(const ExportPictures& p) {
  return Product(kDecoderPictures * kDecodedBytesPerPixel, Pixels(p.decoded));
}

uint64_t HeldFrames(const ExportPictures& p) {
  return Product(p.held_frames > 0 ? static_cast<uint64_t>(p.held_frames) : 0, HeldFrameBytes(p.frame));
}

uint64_t StagingPicture(const ExportPictures& p) {
  return p.staging_channels > 0 ? StagingBytes(p.staging, p.staging_channels) : 0;
}

// A byte a pixel, rows padded to 4.
uint64_t IndexImage(const ExportPictures& p) {
  const FrameSize picture = PictureOf(p);
  return Product(IndexImageStride(Side(picture.width)), Side(picture.height));
}

// The frame as the imaging library encodes it: LZW codes of at most 12 bits,
// each for at least one pixel, in sub-blocks of 255 bytes after a count.
// The stream it is written to doubles as it grows, and the plug-in copies it
// out whole: three times that, at most.
uint64_t EncodedFrame(const ExportPictures& p) {
  const uint64_t pixels = Pixels(PictureOf(p));
  if (pixels == 0) return 0;
  const uint64_t codes = Product(pixels, 3) / 2 + 2;
  return Product(3, Sum(codes, codes / 255 + 1));
}

// What the GIF optimiser holds for the picture with its pool: the frames in
// work, the pictures they show, the coders' tables.
uint64_t Optimiser(const ExportPictures& p) {
  if (p.optimiser_workers <= 0) return 0;
  const FrameSize picture = PictureOf(p);
  return OptimiserBytesNeeded(picture.width, picture.height, p.optimiser_workers);
}

// The terms, in the order a message would name them.
const MemoryTerm kMemoryTerms[] = {
    {"the decoder's pictures", DecoderPictures},
    {"the frames handed to the plug-in", HeldFrames},
    {"the picture before it is turned or masked", StagingPicture},
    {"the plug-in's index image", IndexImage},
    {"the plug-in's encoded frame", EncodedFrame},
    {"the GIF optimiser", Optimiser},
};

}  // namespace

MemoryTerms AllMemoryTerms() { return {kMemoryTerms, sizeof kMemoryTerms / sizeof kMemoryTerms[0]}; }

uint64_t MemoryNeeded(const ExportPictures& pictures) {
  uint64_t total = 0;
  for (const MemoryTerm& term : AllMemoryTerms()) total = Sum(total, term.bytes(pictures));
  return total;
}

bool CheckMemory(const ExportPictures& pictures, uint64_t limit, std::string* why) {
  const uint64_t needed = MemoryNeeded(pictures);
  if (needed <= limit) return true;
  const MemoryTerm* largest = nullptr;
  uint64_t largest_bytes = 0;
  for (const MemoryTerm& term : AllMemoryTerms()) {
    const uint64_t bytes = term.bytes(pictures);
    if (bytes > largest_bytes) {
      largest = &term;
      largest_bytes = bytes;
    }
  }
  *why = ": exporting it needs " + FormatBytes(needed) + " of memory (" + FormatBytes(largest_bytes) + " of it for " +
         largest->what + "), more than the " + FormatBytes(limit) + " --max-memory allows";
  return false;
}

int OptimiserWorkers(const Options& options) { return options.no_optimize ? 0 : AvailableProcessors(); }

bool CheckMemoryOptimising(ExportPictures pictures, uint64_t limit, SourcePlan* plan, std::string* why) {
  std::string ignored;
  if (pictures.optimiser_workers > 0 && plan->optimiser_fits && CheckMemory(pictures, limit, &ignored)) return true;
  const uint64_t optimiser = Optimiser(pictures);
  pictures.optimiser_workers = 0;
  if (!CheckMemory(pictures, limit, why)) return false;
  if (optimiser > 0 && plan->optimiser_fits) {
    plan->optimiser_fits = false;
    plan->notes.push_back("the GIF is not optimised: the optimiser's frames would take " + FormatBytes(optimiser) +
                          " more than the " + FormatBytes(MemoryNeeded(pictures)) + " the export takes, beyond the " +
                          FormatBytes(limit) + " --max-memory allows");
  }
  return true;
}

bool CheckFrameBudget(SourcePlan* plan, uint64_t limit, int optimiser_workers, std::string* why) {
  // A side the plug-in cannot take is said as such; the memory of a size
  // within them, before what the plug-in can address.
  if (CheckHostFrameSize(plan->frame.width, plan->frame.height, plan->mask) == FrameSizeCheck::kPictureSide)
    return CheckFrameSize(plan->frame, plan->mask, why);
  ExportPictures pictures;
  pictures.frame = plan->frame;
  pictures.mask = plan->mask;
  pictures.optimiser_workers = optimiser_workers;
  if (!CheckMemoryOptimising(pictures, limit, plan, why)) {
    *why = "size " + SizeText(plan->frame) + *why;
    return false;
  }
  return CheckFrameSize(plan->frame, plan->mask, why);
}

uint64_t HeldFrameBytes(FrameSize frame) { return Sum(HostFrameBytes(frame), kRowSlack); }

uint64_t StagingStride(int32_t width, int channels) {
  const uint64_t row = Product(channels > 0 ? static_cast<uint64_t>(channels) : 0, Side(width));
  return row > UINT64_MAX - (kRowSlack - 1) ? UINT64_MAX : (row + kRowSlack - 1) / kRowSlack * kRowSlack;
}

uint64_t StagingBytes(FrameSize size, int channels) {
  return Sum(Product(StagingStride(size.width, channels), Side(size.height)), kRowSlack);
}

int64_t MaxDecodedPixels(uint64_t limit) {
  const uint64_t pixels = limit / (kDecoderPictures * kDecodedBytesPerPixel);
  if (pixels < 1) return 1;
  return pixels > INT64_MAX ? INT64_MAX : static_cast<int64_t>(pixels);
}

uint64_t PluginFrameBytes(FrameSize frame, bool mask) {
  ExportPictures pictures;
  pictures.frame = frame;
  pictures.mask = mask;
  return Sum(IndexImage(pictures), EncodedFrame(pictures));
}

bool MemoryAvailable(uint64_t bytes) {
  if (bytes > SIZE_MAX) return false;
  // Called through a volatile pointer: a compiler may otherwise drop an
  // allocation that is freed unused, and take it to have succeeded.
  void* (*volatile allocate)(size_t) = std::malloc;
  void* block = allocate(static_cast<size_t>(bytes));
  std::free(block);
  return block != nullptr;
}

}  // namespace lodra_gif
