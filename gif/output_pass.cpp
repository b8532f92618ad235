#include "gif/output_pass.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "gif/frame_encoder.h"
#include "gif/gif_splice.h"
#include "quantize/palette.h"

namespace {

constexpr int64_t kMaxField = 65535;  // GIF delays and loop counts are 16-bit

// Application extension that makes viewers loop: 21 FF 0B "NETSCAPE2.0",
// then one sub-block 03 01 <count lo> <count hi>, then the terminator 00.
// A count of 0 means forever.
constexpr size_t kLoopingExtensionSize = 19;
void WriteLoopingExtension(uint8_t* out, uint16_t loop_count) {
  const uint8_t head[] = {gif::kExtensionIntroducer, gif::kApplicationLabel, 0x0B};
  std::memcpy(out, head, sizeof head);
  std::memcpy(out + 3, "NETSCAPE2.0", 11);
  out[14] = 0x03;  // sub-block size
  out[15] = 0x01;  // sub-block id: loop count
  out[16] = static_cast<uint8_t>(loop_count & 0xFF);
  out[17] = static_cast<uint8_t>(loop_count >> 8);
  out[18] = 0x00;
}

// The closing comment extension, then the trailer.
constexpr uint8_t kClosing[] = {gif::kExtensionIntroducer, gif::kCommentLabel, 0x08,
                                'U', 'U', 'U', 'U', 'U', 'U', 'U', 'U', 0x00, gif::kTrailer};

// The output file. A failed write sticks: nothing after it is written, and
// Close reports it.
class OutputFile {
 public:
  explicit OutputFile(std::FILE* file) : file_(file) {}
  ~OutputFile() {
    if (file_ != nullptr) std::fclose(file_);
  }
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  void Write(const void* data, size_t size) {
    if (failed_ || size == 0) return;
    if (std::fwrite(data, 1, size, file_) != size) failed_ = true;
  }
  bool failed() const { return failed_; }
  // True when every byte reached the file.
  bool Close() {
    const bool closed = std::fclose(file_) == 0;
    file_ = nullptr;
    return closed && !failed_;
  }

 private:
  std::FILE* file_;
  bool failed_ = false;
};

struct GlobalFreeDeleter {
  void operator()(uint8_t* block) const { GlobalFree(block); }
};
using FrameGif = std::unique_ptr<uint8_t, GlobalFreeDeleter>;

}  // namespace

bool ReduceFrameRate(int32_t rate, int32_t scale, FrameTiming* timing) {
  if (rate <= 0 || scale <= 0) return false;
  int64_t r = rate;
  int64_t s = scale;
  // Bring the rate into 16 bits: exactly where both are multiples of 10000
  // (as NTSC-style rates are given), else by rounding both up a digit at a
  // time.
  if (r > kMaxField) {
    if (s % 10000 == 0 && r % 10000 == 0) {
      s /= 10000;
      r /= 10000;
    }
    while (r > kMaxField) {
      s = (s + 9) / 10;
      r = (r + 9) / 10;
    }
  }
  timing->rate = r;
  timing->scale = s;
  return true;
}

namespace {

// scale * 100 / rate hundredths a frame, as a whole part and a remainder, so
// that no intermediate below exceeds 64 bits for any 32-bit frame number.
struct PerFrame {
  int64_t whole;
  int64_t remainder;
};
PerFrame SplitPerFrame(const FrameTiming& timing) {
  const int64_t per_frame = timing.scale * 100;
  return {per_frame / timing.rate, per_frame % timing.rate};
}

}  // namespace

int64_t FrameEndTime(const FrameTiming& timing, int64_t n) {
  const PerFrame p = SplitPerFrame(timing);
  return (n + 1) * p.whole + (n + 1) * p.remainder / timing.rate;
}

uint16_t FrameDelay(const FrameTiming& timing, int64_t n) {
  // The difference of two end times, taken part by part so that it stays
  // exact where the end times themselves would not fit.
  const PerFrame p = SplitPerFrame(timing);
  const int64_t delay = p.whole + (n + 1) * p.remainder / timing.rate - n * p.remainder / timing.rate;
  return static_cast<uint16_t>(delay > kMaxField ? kMaxField : delay);
}

uint16_t LoopCountField(int32_t loop_count) {
  if (loop_count < 0) return 0;
  if (loop_count > kMaxField) return static_cast<uint16_t>(kMaxField);
  return static_cast<uint16_t>(loop_count);
}

int32_t LODRA_CDECL OutputAnimatedGif(OutputInfo* info) {
  if (info == nullptr || info->save_file == nullptr || info->get_frame == nullptr ||
      info->is_aborted == nullptr || info->report_progress == nullptr || info->host_refresh == nullptr)
    return 0;
  const int32_t width = info->width;
  const int32_t height = info->height;
  const int32_t frame_count = info->frame_count;
  FrameTiming timing;
  if (!ReduceFrameRate(info->rate, info->scale, &timing)) return 0;

  std::unique_ptr<Palette> palette(new (std::nothrow) Palette);
  if (!palette) return 0;
  BuildPalette(palette.get());

  std::FILE* opened = std::fopen(info->save_file, "wb");
  if (opened == nullptr) return 0;
  OutputFile file(opened);

  // Every failure ends the same way: the host may repaint once, the file is
  // closed with what it has (and no trailer), the palette is freed.
  auto fail = [info]() -> int32_t {
    info->host_refresh();
    return 0;
  };

  for (int32_t n = 0; n < frame_count; ++n) {
    if (info->is_aborted() != 0) break;  // a stop keeps what was written, as a success
    info->report_progress(n, frame_count);
    const void* pixels = info->get_frame(n);

    uint32_t length = 0;
    FrameGif block(g_settings.use_mask != 0 ? EncodeMaskedFrame(palette.get(), width, pixels, height, &length)
                                            : EncodeFrame(palette.get(), width, pixels, height, &length));
    if (!block) return fail();

    gif::SplicedFrame frame;
    if (!gif::SpliceFrameGif(block.get(), length, *palette, FrameDelay(timing, n), &frame)) return fail();

    if (n == 0) {
      file.Write(frame.head, sizeof frame.head);
      uint8_t looping[kLoopingExtensionSize];
      WriteLoopingExtension(looping, LoopCountField(g_settings.loop_count));
      file.Write(looping, sizeof looping);
    }
    file.Write(frame.prefix, frame.prefix_size);
    for (int i = 0; i < frame.rest_count; ++i) file.Write(frame.rest[i].data, frame.rest[i].size);
    if (file.failed()) return fail();

    block.reset();
    info->host_refresh();
  }

  file.Write(kClosing, sizeof kClosing);
  if (!file.Close()) return fail();
  return 1;
}
