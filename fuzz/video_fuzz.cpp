// Fuzz target: lodra-gif's video input on any bytes, read from memory
// through an AVIOContext (nothing else may be opened).
//
// The first byte chooses options: bit 0 --no-alpha, bit 1 --fps 10, bit 2
// --start 0.1, bit 3 --duration 0.3, bit 4 --mask (side-by-side frames),
// bit 5 --speed 3, bit 6 --max-width 16, bit 7 --crop 8x8+1+1. The rest is
// the file. The picture
// is always scaled to --width 32 (then bounded) and the
// decoder held to a million pixels, so that memory stays small whatever the
// input claims.
//
// OpenVideoInput must refuse with a one-line reason, or give a plan the
// plug-in can take; then every frame is whole (each pixel byte is read),
// frames come until the end and no further, and stopping early (after
// kMaxFrames) ends decoding cleanly.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "host/video/video_internal.h"
#include "plugin/plugin_interface.h"

namespace {

constexpr int kMaxFrames = 12;
constexpr uint64_t kMaxMemory = 16 << 20;

bool OneLine(const std::string& text) { return text.find('\n') == std::string::npos; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t choice = data[0];
  lodra_gif::Options options;
  options.no_alpha = (choice & 1) != 0;
  if ((choice & 2) != 0) options.fps = lodra_gif::FrameRate{10, 1};
  if ((choice & 4) != 0) options.start_us = 100000;
  if ((choice & 8) != 0) options.duration_us = 300000;
  options.mask = (choice & 16) != 0;
  if ((choice & 32) != 0) options.speed = lodra_gif::FrameRate{3, 1};
  if ((choice & 64) != 0) options.max_width = 16;
  if ((choice & 128) != 0) options.crop = lodra_gif::CropRect{{8, 8}, 1, 1};
  options.width = 32;
  options.max_memory = kMaxMemory;

  lodra_gif::VideoBytes bytes;
  bytes.data = data + 1;
  bytes.size = size - 1;
  lodra_gif::OpenFailure failure = lodra_gif::OpenFailure::kNone;
  std::string why;
  std::unique_ptr<lodra_gif::FrameSource> input =
      lodra_gif::OpenVideoInput(bytes, "input", options, nullptr, &failure, &why);
  if (input == nullptr) {
    FUZZ_CHECK(failure != lodra_gif::OpenFailure::kNone, "refused without a kind: " + why);
    FUZZ_CHECK(!why.empty() && OneLine(why), "the reason \"" + why + "\"");
    return 0;
  }
  FUZZ_CHECK(failure == lodra_gif::OpenFailure::kNone, "opened with a failure: " + why);
  const lodra_gif::SourcePlan& plan = input->plan();
  // A mask the options did not ask for is the file's alpha.
  const bool alpha = plan.mask && !options.mask;
  FUZZ_CHECK(plan.own_frames, "a video hands over frames of its own");
  // The picture is --width, or --max-width below it; a mask goes beside it.
  const int32_t picture_width = options.max_width ? 16 : 32;
  FUZZ_CHECK_EQ(plan.frame.width, plan.mask ? 2 * picture_width : picture_width, "frame width");
  FUZZ_CHECK(plan.frame.height >= 1 && plan.frame.height <= 65535, "frame height");
  FUZZ_CHECK(!(alpha && options.no_alpha), "alpha when not asked for");
  FUZZ_CHECK(plan.mask == (alpha || options.mask), "mask mode as --mask or the alpha say");
  FUZZ_CHECK(plan.rate.rate > 0 && plan.rate.scale > 0, "rate");
  if (options.fps) FUZZ_CHECK(plan.rate.rate == 10 && plan.rate.scale == 1, "--fps not taken");
  if (!options.fps) FUZZ_CHECK(!lodra_gif::RateTooHighForBrowsers(plan.rate), "rate above 50 fps");
  if (options.duration_us) FUZZ_CHECK(plan.length && *plan.length >= 1, "--duration without a limit");
  for (const std::string& note : plan.notes) FUZZ_CHECK(OneLine(note), "the note \"" + note + "\"");

  const size_t stride = static_cast<size_t>(::HostFrameStride(plan.frame.width));
  std::vector<uint8_t> buffer(static_cast<size_t>(::HostFrameBytes(plan.frame.width, plan.frame.height)), 0);
  int frames = 0;
  uint32_t sum = 0;
  for (; frames < kMaxFrames; ++frames) {
    uint8_t* frame = buffer.data();
    const lodra_gif::ReadResult result = input->Next(&frame);
    if (result != lodra_gif::ReadResult::kFrame) {
      FUZZ_CHECK(result == lodra_gif::ReadResult::kEnd, "a video input ends with kEnd");
      uint8_t* again = buffer.data();
      FUZZ_CHECK(input->Next(&again) == lodra_gif::ReadResult::kEnd, "a frame after the end");
      break;
    }
    FUZZ_CHECK(frame != nullptr, "a null frame");
    // Every pixel byte is read, so that the sanitizer sees a short buffer.
    for (int32_t y = 0; y < plan.frame.height; ++y)
      for (size_t x = 0; x < 3 * static_cast<size_t>(plan.frame.width); ++x) sum += frame[y * stride + x];
    if (alpha) {
      // The mask half is white or black, nothing else.
      for (int32_t y = 0; y < plan.frame.height; ++y)
        for (size_t x = 3 * static_cast<size_t>(picture_width); x < 6 * static_cast<size_t>(picture_width); ++x) {
          const uint8_t v = frame[y * stride + x];
          FUZZ_CHECK(v == 0 || v == 255, "mask byte " + std::to_string(v));
        }
    }
  }
  FUZZ_CHECK(frames >= 1, "opened, but no frame");
  if (plan.length) FUZZ_CHECK(frames <= *plan.length, "more frames than --duration gives");
  const lodra_gif::InputEnd end = input->Finish(frames < kMaxFrames ? lodra_gif::ReadResult::kEnd
                                                                     : lodra_gif::ReadResult::kFrame,
                                                frames);
  FUZZ_CHECK(OneLine(end.warning), "the warning \"" + end.warning + "\"");
  FUZZ_CHECK(end.error.empty(), "an error after " + std::to_string(frames) + " frames: " + end.error);
  volatile uint32_t keep = sum;  // the reads must not be optimised away
  (void)keep;
  return 0;
}
