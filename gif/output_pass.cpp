#include "gif/output_pass.h"

#include <memory>
#include <new>

#include "gif/export_limits.h"
#include "gif/frame_encoder.h"
#include "gif/frame_timing.h"
#include "gif/gif_splice.h"
#include "gif/output_pass_internal.h"
#include "gifformat/gif_format.h"

namespace {

// The closing comment extension ("UUUUUUUU"), then the trailer.
constexpr uint8_t kClosing[] = {gifformat::kExtensionIntroducer, gifformat::kCommentLabel, 0x08,
                                'U', 'U', 'U', 'U', 'U', 'U', 'U', 'U', gifformat::kBlockTerminator,
                                gifformat::kTrailer};

struct FreeFrameGifDeleter {
  void operator()(uint8_t* block) const { FreeFrameGif(block); }
};
using FrameGif = std::unique_ptr<uint8_t, FreeFrameGifDeleter>;

}  // namespace

// ------------------------------------------------------------ AnimationFile

bool AnimationFile::Open(const char* path) {
  if (file_ != nullptr || path == nullptr) return false;
  file_ = std::fopen(path, "wb");
  failed_ = false;
  has_frames_ = false;
  return file_ != nullptr;
}

AnimationFile::~AnimationFile() {
  if (file_ != nullptr) std::fclose(file_);
}

void AnimationFile::Write(const void* data, size_t size) {
  if (failed_ || size == 0) return;
  if (file_ == nullptr || std::fwrite(data, 1, size, file_) != size) failed_ = true;
}

ExportResult AnimationFile::AppendFrame(const uint8_t* block, uint32_t length, const Palette& palette,
                                        uint16_t delay, uint16_t loop_field) {
  gif::SplicedFrame frame;
  if (!gif::SpliceFrameGif(block, length, palette, delay, &frame)) return ExportResult::kImagingLibrary;
  if (!has_frames_) {
    Write(frame.head, sizeof frame.head);
    uint8_t looping[gifformat::kLoopingExtensionSize];
    gifformat::WriteLoopingExtension(loop_field, looping);
    Write(looping, sizeof looping);
    has_frames_ = true;
  }
  Write(frame.prefix, frame.prefix_size);
  for (int i = 0; i < frame.rest_count; ++i) Write(frame.rest[i].data, frame.rest[i].size);
  return failed_ ? ExportResult::kWriteFailed : ExportResult::kWritten;
}

bool AnimationFile::Finish() {
  Write(kClosing, sizeof kClosing);
  if (file_ == nullptr) return false;
  // The last bytes reach the file here, and a C library may drop the error
  // of that write from fclose's result (Wine's msvcrt does): asked apart.
  const bool flushed = std::fflush(file_) == 0;
  const bool closed = std::fclose(file_) == 0;
  file_ = nullptr;
  return flushed && closed && !failed_;
}

// -------------------------------------------------------------- the pass

ExportResult WriteAnimatedGif(const AnimationRequest& request, const AnimationSettings& settings,
                              FrameSource& source) {
  FrameTiming timing;
  if (request.path == nullptr || !ReduceFrameRate(request.rate, request.scale, &timing))
    return ExportResult::kRefused;

  // Each export has a palette of its own on the standard heap.
  std::unique_ptr<Palette> palette(new (std::nothrow) Palette);
  if (!palette) return ExportResult::kAllocation;
  BuildPalette(palette.get());

  AnimationFile file;
  if (!file.Open(request.path)) return ExportResult::kOpenFailed;

  // Every failure ends the same way: the host may repaint once, the file is
  // closed with what it has (and no closing blocks), the palette is freed.
  auto fail = [&source](ExportResult why) {
    source.Refresh();
    return why;
  };

  const FrameLayout layout = settings.use_mask ? FrameLayout::kMasked : FrameLayout::kPlain;
  const uint16_t loop_field = LoopCountField(settings.loop_count);
  for (int32_t n = 0; n < request.frame_count; ++n) {
    if (source.IsAborted()) break;  // a stop keeps what was written, as a success
    source.ReportProgress(n, request.frame_count);
    const void* pixels = source.Pixels(n);

    uint32_t length = 0;
    ExportResult failure = ExportResult::kImagingLibrary;
    FrameGif block(EncodeFrameGif(layout, palette.get(), request.host_width, pixels, request.height, &length,
                                  &failure));
    if (!block) return fail(failure);

    const ExportResult appended = file.AppendFrame(block.get(), length, *palette, FrameDelay(timing, n), loop_field);
    if (appended != ExportResult::kWritten) return fail(appended);
    block.reset();
    source.Refresh();
  }

  if (!file.Finish()) return fail(ExportResult::kWriteFailed);
  return ExportResult::kWritten;
}
