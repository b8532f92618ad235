// The GIF optimiser over small animations made from the input and written
// by giflib's encoder: it takes every one, its output plays (read with
// giflib, composited as browsers do) as the input does, and where the
// frames are the plug-in's kind (the whole screen, disposal 2) the output
// is no larger. Fed in pieces of sizes from the input, on the calling
// thread or on a pool of 2. Or the input's bytes themselves as a GIF: then
// it fails cleanly, or its output plays as the input does.
//
// Input: byte 0 width - 1 (modulo 16); byte 1 height - 1 (modulo 16); byte 2
// frames - 1 (modulo 8); byte 3 flags: bit 0 the rest is the GIF itself;
// bit 1 frames may be transparent; bit 2 frames cover part of the screen
// with any disposal; bit 3 on a pool of 2; bits 4-5 the delays: 4, 30000,
// from the input, 0; bit 6 fed in pieces of 1 + (byte 4) bytes. Then for
// each frame a byte e, and e % 5 edits of 5 bytes: x, y, w, h and an index
// (0 is transparent where frames may be; indices stay below 40), each
// filling a rectangle of the picture before; with bit 2, 5 bytes more a
// frame: left, top, width, height, disposal. Missing bytes count as 0.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "host/output/gif_optimiser.h"
#include "host/output/worker_pool.h"
#include "tests/support/gif_composite.h"

namespace {

class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  uint32_t Byte() { return at_ < size_ ? data_[at_++] : 0; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

testing_support::Animation MakeAnimation(Input& in, int width, int height, int frames, uint32_t flags) {
  const bool transparent = (flags & 2) != 0;
  const bool parts = (flags & 4) != 0;
  testing_support::Animation animation{width, height, 0, {}, {"UUUUUUUU"}};
  std::vector<uint8_t> picture(static_cast<size_t>(width) * height, transparent ? 0 : 1);
  for (int n = 0; n < frames; ++n) {
    for (uint32_t edits = in.Byte() % 5; edits > 0; --edits) {
      const int x = static_cast<int>(in.Byte() % width), y = static_cast<int>(in.Byte() % height);
      const int w = 1 + static_cast<int>(in.Byte() % width), h = 1 + static_cast<int>(in.Byte() % height);
      uint8_t index = static_cast<uint8_t>(in.Byte() % 40);
      if (index == 0 && !transparent) index = 1;
      for (int yy = y; yy < std::min(height, y + h); ++yy)
        for (int xx = x; xx < std::min(width, x + w); ++xx) picture[static_cast<size_t>(yy) * width + xx] = index;
    }
    testing_support::AnimationFrame frame{0, 0, width, height, picture};
    switch (flags >> 4 & 3) {
      case 0: frame.delay = 4; break;
      case 1: frame.delay = 30000; break;  // still runs outgrow the 16-bit field
      case 2: frame.delay = static_cast<int>(in.Byte() | in.Byte() << 8); break;
      default: frame.delay = 0; break;
    }
    if (parts) {
      frame.left = static_cast<int>(in.Byte() % width);
      frame.top = static_cast<int>(in.Byte() % height);
      frame.width = 1 + static_cast<int>(in.Byte() % (width - frame.left));
      frame.height = 1 + static_cast<int>(in.Byte() % (height - frame.top));
      frame.disposal = static_cast<int>(in.Byte() % 4);
      frame.indices.clear();
      for (int y = frame.top; y < frame.top + frame.height; ++y)
        for (int x = frame.left; x < frame.left + frame.width; ++x)
          frame.indices.push_back(picture[static_cast<size_t>(y) * width + x]);
    }
    animation.frames.push_back(frame);
  }
  return animation;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Input in(data, size);
  const int width = 1 + static_cast<int>(in.Byte() % 16);
  const int height = 1 + static_cast<int>(in.Byte() % 16);
  const int frames = 1 + static_cast<int>(in.Byte() % 8);
  const uint32_t flags = in.Byte();
  const size_t piece = (flags & 64) != 0 ? 1 + in.Byte() : SIZE_MAX;
  const bool raw = (flags & 1) != 0;
  const bool plugin_kind = (flags & 4) == 0;

  std::vector<uint8_t> gif;
  if (raw) {
    const size_t head = size < 5 ? size : 5;
    gif.assign(data + head, data + size);
  } else {
    gif = testing_support::GiflibAnimation(MakeAnimation(in, width, height, frames, flags));
  }

  static lodra_gif::WorkerPool inline_pool(0);
  static lodra_gif::WorkerPool two(2);
  lodra_gif::MemorySink sink;
  bool ok;
  std::string why;
  {
    lodra_gif::GifOptimiser optimiser(&sink, (flags & 8) != 0 ? &two : &inline_pool);
    ok = true;
    for (size_t at = 0; ok && at < gif.size(); at += std::min(piece, gif.size() - at))
      ok = optimiser.Feed(gif.data() + at, std::min(piece, gif.size() - at));
    ok = ok && optimiser.Finish();
    why = optimiser.Describe();
  }
  if (raw && !ok) return 0;
  FUZZ_CHECK(ok, "the optimiser refused giflib's animation: " + why);

  // A GIF of the input's own that giflib cannot play (an index past the
  // colour table, say) says nothing of the output.
  testing_support::Playback want, have;
  std::string error;
  const bool input_plays = testing_support::PlayGif(gif, &want, &error);
  FUZZ_CHECK(raw || input_plays, "giflib: " + error);
  if (input_plays) {
    FUZZ_CHECK(testing_support::PlayGif(sink.bytes, &have, &error), "the output: " + error);
    FUZZ_CHECK_EQ(testing_support::PlaybackDifference(have, want), std::string(), "how it plays");
  }
  if (!raw && plugin_kind) FUZZ_CHECK(sink.bytes.size() <= gif.size(), "larger than the input");
  return 0;
}
