#include "host/sources/demo.h"

#include "host/sources/memory_budget.h"
#include "host/sources/raw.h"
#include "plugin/plugin_interface.h"

namespace lodra_gif {
namespace {

struct Rgb {
  int r, g, b;
};

// A fully saturated colour around the colour wheel: `hue` 0..1535, six
// segments of 256 steps (red, yellow, green, cyan, blue, magenta).
Rgb Hue(int hue) {
  const int f = hue % 256;
  switch (hue / 256) {
    case 0: return {255, f, 0};
    case 1: return {255 - f, 255, 0};
    case 2: return {0, 255, f};
    case 3: return {0, 255 - f, 255};
    case 4: return {f, 0, 255};
    default: return {255, 0, 255 - f};
  }
}

void Put(uint8_t* pixel, Rgb colour) {
  pixel[0] = static_cast<uint8_t>(colour.b);
  pixel[1] = static_cast<uint8_t>(colour.g);
  pixel[2] = static_cast<uint8_t>(colour.r);
}

class Demo final : public FrameSource {
 public:
  Demo(FrameSize picture, const SourcePlan& plan) : picture_(picture), plan_(plan) {}
  const SourcePlan& plan() const override { return plan_; }
  ReadResult Next(uint8_t** frame) noexcept override {
    DrawDemoFrame(picture_, plan_.mask, plan_.rate, next_++, *frame);
    return ReadResult::kFrame;
  }
  InputEnd Finish(ReadResult, int64_t) override { return {}; }  // the demo cannot fail

 private:
  FrameSize picture_;
  SourcePlan plan_;
  int32_t next_ = 0;
};

}  // namespace

FrameSize DemoFrameSize(FrameSize picture, bool mask) {
  return {mask ? 2 * picture.width : picture.width, picture.height};
}

int32_t DemoFrameCount(FrameRate rate) {
  const int64_t frames = static_cast<int64_t>(kDemoSeconds) * rate.rate / rate.scale;
  if (frames < 1) return 1;
  return frames > INT32_MAX ? INT32_MAX : static_cast<int32_t>(frames);
}

void DrawDemoFrame(FrameSize picture, bool mask, FrameRate rate, int32_t n, uint8_t* frame) noexcept {
  const int64_t w = picture.width, h = picture.height;
  // Every motion below repeats within 6 s, so the clock is taken modulo 6 s
  // (in milliseconds), in parts that cannot overflow: n * scale fits in 62
  // bits, the remainder times 1000 in 41.
  const int64_t ticks = static_cast<int64_t>(n) * rate.scale;
  const int64_t ms = ticks / rate.rate % 6 * 1000 + ticks % rate.rate * 1000 / rate.rate;

  const int64_t shift = ms % 2000 * 1536 / 2000;  // the rainbow goes round every 2 s
  const int64_t radius = h / 5 > 0 ? h / 5 : 1;
  const int64_t travel_x = w > 2 * radius ? w - 2 * radius : 0;
  const int64_t travel_y = h > 2 * radius ? h - 2 * radius : 0;
  const int64_t across = ms % 3000 < 1500 ? ms % 3000 : 3000 - ms % 3000;  // there and back in 3 s
  const int64_t bounce = ms % 1000;                                        // a hop a second
  const int64_t centre_x = radius + travel_x * across / 1500;
  const int64_t centre_y = h - radius - travel_y * 4 * bounce * (1000 - bounce) / 1000000;

  const FrameSize whole = DemoFrameSize(picture, mask);
  const size_t stride = static_cast<size_t>(HostFrameStride(whole.width));
  for (int64_t y = 0; y < h; ++y) {
    uint8_t* row = frame + static_cast<size_t>(h - 1 - y) * stride;  // bottom-up
    const int64_t shade = 255 - 128 * y / h;                          // darker towards the bottom
    for (int64_t x = 0; x < w; ++x) {
      const Rgb bright = Hue(static_cast<int>((x * 1536 / w + shift) % 1536));
      Rgb colour = {static_cast<int>(bright.r * shade / 255), static_cast<int>(bright.g * shade / 255),
                    static_cast<int>(bright.b * shade / 255)};
      const int64_t dx = x - centre_x, dy = y - centre_y;
      const bool in_ball = dx * dx + dy * dy < radius * radius;
      if (mask) {
        Put(row + 3 * (w + x), in_ball ? Rgb{255, 255, 255} : Rgb{0, 0, 0});
      } else if (in_ball) {
        colour = {255, 255, 255};
      }
      Put(row + 3 * x, colour);
    }
  }
}

std::unique_ptr<FrameSource> OpenDemo(const Options& options, OpenFailure* failure, std::string* why) {
  const FrameSize picture = options.size.value_or(kDemoPictureSize);
  SourcePlan plan;
  plan.name = "the demo";
  plan.frame = DemoFrameSize(picture, options.mask);
  plan.rate = options.rate.value_or(kDemoRate);
  plan.mask = options.mask;
  plan.length = DemoFrameCount(plan.rate);
  plan.endless = true;
  plan.lower_rate = kLowerRawRate;
  if (!CheckFrameBudget(&plan, options.max_memory, OptimiserWorkers(options), why)) {
    if (options.mask) *why += " (the demo's frames are twice the picture's width in mask mode)";
    *failure = OpenFailure::kUsage;
    return nullptr;
  }
  return std::make_unique<Demo>(picture, plan);
}

}  // namespace lodra_gif
