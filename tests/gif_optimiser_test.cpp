// The GIF optimiser: the plug-in's animations (and a few giflib writes) in,
// each output played the way a browser composites it and compared with the
// input played the same way; fed whole, a byte at a time and on a pool;
// the inputs it refuses, a failing sink, and errors that stick.
#include "host/output/gif_optimiser.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "host/output/worker_pool.h"
#include "tests/support/gif_composite.h"
#include "tests/support/host_fixture.h"
#include "tests/support/temp_path.h"

namespace {

using Bytes = std::vector<uint8_t>;
using lodra_gif::GifOptimiser;
using lodra_gif::OptimiseError;
using testing_support::Animation;
using testing_support::AnimationFrame;
using testing_support::MakeHostFrame;

lodra_gif::WorkerPool& Inline() {
  static lodra_gif::WorkerPool pool(0);
  return pool;
}

struct Clip {
  int width = 0, height = 0, frames = 0;
  bool mask = false;    // `width` is the picture's; the host frame is twice as wide
  int32_t rate = 25, scale = 1;
  // 0xRRGGBB of picture pixel (x, y) in frame n; -1 where the mask makes it transparent.
  std::function<int64_t(int x, int y, int n)> colour;
};

// The plug-in's file for `clip`, written by the engine's export.
Bytes PluginGif(const Clip& clip) {
  const int host_width = clip.mask ? 2 * clip.width : clip.width;
  testing_support::FakeHost host(host_width, clip.height, clip.frames, testing_support::TempPath("input.gif"));
  host.rate = clip.rate;
  host.scale = clip.scale;
  host.settings.use_mask = clip.mask;
  host.frame_source = [&clip, host_width](int n) {
    return MakeHostFrame(host_width, clip.height, [&clip, n](int x, int y) -> uint32_t {
      const bool in_mask = x >= clip.width;
      const int64_t colour = clip.colour(in_mask ? x - clip.width : x, y, n);
      if (in_mask) return colour < 0 ? 0x000000 : 0xFFFFFF;
      return colour < 0 ? 0x808080 : static_cast<uint32_t>(colour);
    });
  };
  EXPECT_EQ(host.Export(), ExportResult::kWritten);
  const Bytes file = testing_support::ReadFile(host.path);
  std::remove(host.path.c_str());
  return file;
}

struct Optimised {
  Bytes bytes;
  lodra_gif::OptimiserStats stats;
  std::string error;  // Describe(), when it failed
};

// Feeds `input` `piece` bytes at a time.
Optimised Optimise(const Bytes& input, size_t piece = SIZE_MAX, lodra_gif::WorkerPool* pool = &Inline()) {
  lodra_gif::MemorySink sink;
  GifOptimiser optimiser(&sink, pool);
  bool fed = true;
  for (size_t at = 0; fed && at < input.size(); at += std::min(piece, input.size() - at))
    fed = optimiser.Feed(input.data() + at, std::min(piece, input.size() - at));
  const bool finished = fed && optimiser.Finish();
  return Optimised{sink.bytes, optimiser.stats(), finished ? "" : optimiser.Describe()};
}

// "" when `output` plays as `input` does.
std::string PlaysAs(const Bytes& output, const Bytes& input) {
  testing_support::Playback have, want;
  std::string error;
  if (!testing_support::PlayGif(input, &want, &error)) return "the input: " + error;
  if (!testing_support::PlayGif(output, &have, &error)) return "the output: " + error;
  return testing_support::PlaybackDifference(have, want);
}

Bytes Pixels(int width, int height, const std::function<uint8_t(int x, int y)>& index) {
  Bytes pixels(static_cast<size_t>(width) * height);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) pixels[static_cast<size_t>(y) * width + x] = index(x, y);
  return pixels;
}

int64_t Scene(int x, int y) { return (x * 7 & 0xFF) << 16 | (y * 13 & 0xFF) << 8 | 90; }

// ------------------------------------------------------------ what it keeps

TEST(GifOptimiser, PlaysExactlyAsTheInput) {
  // Part frames with every disposal over a 12x9 screen, one interlaced; the
  // second draws what the first shows already.
  Animation giflib_frames{12, 9, 3, {}, {"after"}};
  const int disposals[] = {1, 3, 2, 0, 2};
  for (int n = 0; n < 5; ++n) {
    AnimationFrame frame{n, n / 2, 12 - 2 * n, 9 - n, {}, true, disposals[n], 5, 10 + n, n == 3, 0};
    frame.indices = Pixels(frame.width, frame.height, [n](int x, int y) { return static_cast<uint8_t>((x + y + n) % 7); });
    giflib_frames.frames.push_back(frame);
  }
  const struct {
    const char* what;
    Bytes input;
    int64_t want_frames;  // written
  } cases[] = {
      {"a still clip: one frame, every delay in it", PluginGif({32, 16, 10, false, 25, 1, [](int x, int y, int) {
                                                                  return Scene(x, y);
                                                                }}),
       1},
      {"one pixel changing", PluginGif({40, 30, 6, false, 25, 1, [](int x, int y, int n) {
                                          return x == 17 && y == 9 && n % 2 == 1 ? 0xFF0000 : Scene(x, y);
                                        }}),
       6},
      {"the whole frame changing", PluginGif({24, 18, 4, false, 30, 1, [](int x, int y, int n) {
                                                return Scene(x + 5 * n, y + 3 * n) ^ 0x404040 * (n % 2);
                                              }}),
       4},
      {"a frame going back to an earlier picture", PluginGif({20, 20, 3, false, 25, 1, [](int x, int y, int n) {
                                                                return n == 1 && x > 5 && y > 5 ? 0x00FF00 : Scene(x, y);
                                                              }}),
       3},
      {"mask: pixels turn transparent and opaque again", PluginGif({16, 12, 6, true, 25, 1, [](int x, int y, int n) {
                                                                      const bool hole = n % 3 != 2 && x >= 3 * n && x < 3 * n + 5 && y >= 2 && y < 7;
                                                                      return hole ? -1 : Scene(x, y) ^ (n == 4 ? 0xFF : 0);
                                                                    }}),
       6},
      {"mask: a frame all transparent, between opaque ones", PluginGif({8, 8, 3, true, 25, 1, [](int x, int y, int n) {
                                                                          return n == 1 ? -1 : Scene(x, y);
                                                                        }}),
       3},
      {"1x1", PluginGif({1, 1, 5, false, 25, 1, [](int, int, int n) { return n < 3 ? 0x0000FF : 0xFFFF00; }}), 2},
      {"the widest frame, 65535x1", PluginGif({65535, 1, 3, false, 25, 1, [](int x, int, int n) {
                                                 return x > 40000 + 7 * n && x < 40100 ? 0xFFFFFF : Scene(x, 0);
                                               }}),
       3},
      {"a single frame", PluginGif({9, 7, 1, false, 25, 1, [](int x, int y, int) { return Scene(x, y); }}), 1},
      {"a still stretch longer than one 16-bit delay: 8 x 10000 hundredths",
       PluginGif({6, 5, 8, false, 1, 100, [](int x, int y, int) { return Scene(x, y); }}), 2},
      // Browsers play a delay of 1 as 10: merged, the stretch would play
      // a tenth as long there.
      {"a still clip at 100 fps: delays of 1 are not merged",
       PluginGif({6, 5, 4, false, 100, 1, [](int x, int y, int) { return Scene(x, y); }}), 4},
      {"giflib: part frames, every disposal, interlaced, a comment after", testing_support::GiflibAnimation(giflib_frames), 4},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const Optimised out = Optimise(c.input);
    ASSERT_EQ(out.error, "");
    EXPECT_EQ(PlaysAs(out.bytes, c.input), "");
    EXPECT_EQ(out.stats.frames_out, c.want_frames);
    EXPECT_LE(out.bytes.size(), c.input.size()) << "never larger than the input";
    EXPECT_EQ(out.stats.bytes_out, out.bytes.size());
  }
}

TEST(GifOptimiser, TheSameBytesHoweverItIsFedAndRun) {
  const Bytes input = PluginGif({30, 20, 7, true, 25, 1, [](int x, int y, int n) {
    return (x - 2 * n) * (x - 2 * n) + (y - n) * (y - n) < 20 ? -1 : Scene(x + n / 3, y);
  }});
  const Optimised whole = Optimise(input);
  ASSERT_EQ(whole.error, "");
  ASSERT_EQ(PlaysAs(whole.bytes, input), "");
  lodra_gif::WorkerPool two(2);
  for (size_t piece : {size_t{1}, size_t{3}, size_t{256}, size_t{1000}}) {
    for (lodra_gif::WorkerPool* pool : {&Inline(), &two}) {
      const Optimised out = Optimise(input, piece, pool);
      EXPECT_TRUE(out.bytes == whole.bytes) << piece << " bytes at a time, " << pool->workers() << " workers: "
                                            << out.error;
    }
  }
}

TEST(GifOptimiser, AFrameThatChangesEverywhereKeepsTheInputsBytes) {
  // A pan over noise: nearly every pixel changes, so transparency cannot help.
  const Bytes input = PluginGif({64, 48, 3, false, 25, 1, [](int x, int y, int n) {
    return static_cast<int64_t>((static_cast<uint32_t>(x + 3 * n) * 2654435761u ^ static_cast<uint32_t>(y) * 40503u) >> 8 &
                                0xFFFFFF);
  }});
  const Optimised out = Optimise(input);
  ASSERT_EQ(out.error, "");
  EXPECT_EQ(out.stats.frames_kept, 3);
  EXPECT_EQ(out.bytes.size(), input.size()) << "the same blocks, only the control extensions written anew";
}

// ------------------------------------------------------------ what it refuses

TEST(GifOptimiser, InputsItRefuses) {
  const Bytes good = PluginGif({10, 8, 3, false, 25, 1, [](int x, int y, int n) { return Scene(x + n, y); }});
  auto giflib = [](std::function<void(Animation&)> change) {
    Animation animation{6, 4, 0, {}, {}};
    for (int n = 0; n < 2; ++n)
      animation.frames.push_back(AnimationFrame{0, 0, 6, 4, Pixels(6, 4, [n](int x, int) { return x + n; })});
    change(animation);
    return testing_support::GiflibAnimation(animation);
  };
  const struct {
    const char* what;
    Bytes input;
    std::string want;
  } cases[] = {
      {"nothing", {}, "a malformed GIF: the data ends before the trailer"},
      {"cut inside the last frame", Bytes(good.begin(), good.end() - 30), "frame 2: a malformed GIF: the data ends before the trailer"},
      {"no trailer", Bytes(good.begin(), good.end() - 1), "a malformed GIF: the data ends before the trailer"},
      {"a PNG", {0x89, 'P', 'N', 'G', 13, 10, 26, 10}, "a malformed GIF: no GIF signature"},
      {"a frame with its own colour table", giflib([](Animation& a) { a.frames[1].local_colours = 16; }),
       "frame 1: a frame with a colour table of its own"},
      {"a frame without a control extension", giflib([](Animation& a) { a.frames[1].control = false; }),
       "frame 1: a frame without a transparent index"},
      {"a frame with no transparent index", giflib([](Animation& a) { a.frames[0].transparent_index = -1; }),
       "frame 0: a frame without a transparent index"},
      {"two transparent indices", giflib([](Animation& a) { a.frames[1].transparent_index = 9; }),
       "frame 1: frames with different transparent indices"},
      {"a frame past the screen's edge", giflib([](Animation& a) { a.frames[1].left = 1; }),
       "frame 1: a frame that reaches past the screen"},
      {"a bad code in the image data", [&] {
         Bytes file = good;
         // The first frame's first sub-block (after the head, the looping
         // extension, the control extension, the descriptor and the code
         // size): a clear code, then 511, which no decoder knows yet.
         const size_t data = 781 + 19 + 8 + 10 + 1 + 1;
         file[data] = 0x00, file[data + 1] = 0xFF, file[data + 2] = 0x03;
         return file;
       }(),
       "frame 0: a malformed GIF: LZW data with a code not yet defined"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(Optimise(c.input).error, c.want);
    EXPECT_EQ(Optimise(c.input, 7, &Inline()).error, c.want) << "fed 7 bytes at a time";
  }
}

// Takes bytes until the `fail_at`-th write, which it refuses.
class FailingSink final : public lodra_gif::ByteSink {
 public:
  explicit FailingSink(int fail_at) : fail_at_(fail_at) {}
  bool Write(const uint8_t*, size_t) override { return ++writes != fail_at_; }
  int writes = 0;

 private:
  int fail_at_;
};

TEST(GifOptimiser, AFailureSticks) {
  const Bytes input = PluginGif({10, 8, 4, false, 25, 1, [](int x, int y, int n) { return Scene(x + n, y); }});
  for (int fail_at : {1, 2, 4}) {
    FailingSink sink(fail_at);
    GifOptimiser optimiser(&sink, &Inline());
    EXPECT_FALSE(optimiser.Feed(input.data(), input.size()) && optimiser.Finish()) << "write " << fail_at;
    EXPECT_EQ(optimiser.error(), OptimiseError::kWriteFailed);
    EXPECT_EQ(sink.writes, fail_at) << "nothing is written after the failure";
    EXPECT_FALSE(optimiser.Feed(input.data(), 1));
    EXPECT_FALSE(optimiser.Finish());
  }
  lodra_gif::MemorySink sink;
  GifOptimiser optimiser(&sink, &Inline());
  ASSERT_TRUE(optimiser.Feed(input.data(), input.size()) && optimiser.Finish());
  EXPECT_FALSE(optimiser.Feed(input.data(), 1));
  EXPECT_EQ(optimiser.Describe(), "input after its end");
}

TEST(GifOptimiser, MemoryItNeedsGrowsWithThePicture) {
  const uint64_t small = lodra_gif::OptimiserBytesNeeded(640, 360, 2);
  const uint64_t hd = lodra_gif::OptimiserBytesNeeded(1920, 1080, 2);
  EXPECT_GT(hd, 9 * (small - lodra_gif::OptimiserBytesNeeded(1, 1, 2)));
  EXPECT_GT(lodra_gif::OptimiserBytesNeeded(1920, 1080, 4), hd) << "more workers, more frames in work";
  EXPECT_GT(lodra_gif::OptimiserBytesNeeded(65535, 65535, 2), uint64_t{65535} * 65535 * 8) << "no overflow";
}

}  // namespace
