// The ordered dither: its cost on a 1920x1080 host frame, and what it buys.
//
// Cost: OrderedDither::Apply over one frame of each content, again and
// again in place (each pass adds the pattern again; the work is the same).
// Checked first: every pixel of a dithered frame moved by the threshold of
// its place, taken from the Bayer matrix as published, over the grey
// ramp's step where its channels lie close together and the cube's
// elsewhere.
//
// What it buys, for each strength (and, at the default, other grey
// reaches): the quarter-area PSNR of the plug-in's frames against the
// source (both shrunk to a quarter of the area by 2x2 means, before and
// after the plug-in maps the dithered frames to its palette) and the sizes
// of the plug-in's GIF and of the optimised GIF, over 60 frames of each
// content exported through the output pass.
//
//   dither_bench [--content=photo,gradient] [--quality=photo,gradient,cartoon,screen]
//                [--benchmark_repetitions=N] [Google Benchmark flags]
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "gif/frame_encoder_internal.h"
#include "gif/output_pass.h"
#include "host/output/gif_optimiser.h"
#include "host/output/worker_pool.h"
#include "host/sources/dither.h"
#include "plugin/plugin_interface.h"

namespace {

using bench::Recorder;

// The 8x8 Bayer matrix as it is published, row by row.
constexpr int kBayer[8][8] = {
    {0, 32, 8, 40, 2, 34, 10, 42},   {48, 16, 56, 24, 50, 18, 58, 26}, {12, 44, 4, 36, 14, 46, 6, 38},
    {60, 28, 52, 20, 62, 30, 54, 22}, {3, 35, 11, 43, 1, 33, 9, 41},   {51, 19, 59, 27, 49, 17, 57, 25},
    {15, 47, 7, 39, 13, 45, 5, 37},  {63, 31, 55, 23, 61, 29, 53, 21},
};

struct Content {
  std::string name;
  int width = 0, height = 0;
};
Content ContentFor(const std::string& name) {
  if (name == "cartoon") return {name, 640, 360};
  return {name, 1920, 1080};
}

// Every pixel of `dithered` (from `source`, both host frames of a plain
// picture) moved by its place's threshold; empty when so.
std::string CheckDither(const std::vector<uint8_t>& source, const std::vector<uint8_t>& dithered, int width,
                        int height) {
  const size_t stride = static_cast<size_t>(HostFrameStride(width));
  for (int r = 0; r < height; ++r) {
    const int y = height - 1 - r;
    for (int x = 0; x < width; ++x) {
      const uint8_t* in = source.data() + r * stride + 3 * static_cast<size_t>(x);
      const uint8_t* out = dithered.data() + r * stride + 3 * static_cast<size_t>(x);
      const int spread = std::max({in[0], in[1], in[2]}) - std::min({in[0], in[1], in[2]});
      const int step = spread <= lodra_gif::kGreySpread ? kGreyRampStep : kCubeStep;
      const long offset = std::lround(((kBayer[y % 8][x % 8] + 0.5) / 64 - 0.5) * step *
                                      lodra_gif::kDefaultDitherStrength / 100.0);
      for (int c = 0; c < 3; ++c) {
        const long want = in[c] == 0 || in[c] == 255 ? in[c] : std::min(255L, std::max(0L, in[c] + offset));
        if (out[c] != want)
          return "pixel (" + std::to_string(x) + ", " + std::to_string(y) + ") channel " + std::to_string(c) +
                 ": have " + std::to_string(out[c]) + ", want " + std::to_string(want);
      }
    }
  }
  return "";
}

struct CostWorkload {
  std::string name;
  std::vector<uint8_t> frame;
  std::string error;
};

void BenchDither(benchmark::State& state, CostWorkload* w) {
  if (!w->error.empty()) return state.SkipWithError(w->error.c_str());
  const lodra_gif::OrderedDither dither;
  std::vector<uint8_t> frame = w->frame;
  for (auto _ : state) {
    dither.Apply(frame.data(), 1920, 1080, false);
    benchmark::DoNotOptimize(frame.data());
  }
}

// --------------------------------------------------------------- quality

// Frames in memory, each dithered (unless `dither` is null) as it is asked for.
class DitheringSource final : public FrameSource {
 public:
  DitheringSource(const bench::RawVideo& video, const lodra_gif::OrderedDither* dither)
      : video_(video), dither_(dither) {}
  bool IsAborted() override { return false; }
  void ReportProgress(int32_t, int32_t) override {}
  const void* Pixels(int32_t n) override {
    frame_ = bench::HostFrame(video_, n);
    if (dither_ != nullptr) dither_->Apply(frame_.data(), video_.width, video_.height, false);
    return frame_.data();
  }
  void Refresh() override {}

 private:
  const bench::RawVideo& video_;
  const lodra_gif::OrderedDither* dither_;
  std::vector<uint8_t> frame_;
};

struct Quality {
  double psnr = 0;          // quarter area, dB, of the whole clip's squared error
  size_t gif_bytes = 0;     // the plug-in's GIF
  size_t optimised = 0;     // the same optimised
};

// 2x2 means of the three channels of a top-down picture given by `at`.
template <typename At>
std::vector<double> Quarter(int width, int height, At at) {
  std::vector<double> out;
  out.reserve(static_cast<size_t>(width / 2) * (height / 2) * 3);
  for (int y = 0; y + 1 < height; y += 2)
    for (int x = 0; x + 1 < width; x += 2)
      for (int c = 0; c < 3; ++c) out.push_back((at(x, y, c) + at(x + 1, y, c) + at(x, y + 1, c) + at(x + 1, y + 1, c)) / 4.0);
  return out;
}

std::string Measure(const bench::RawVideo& video, const lodra_gif::OrderedDither* dither, Quality* out) {
  // The plug-in's file.
  const std::string path = bench::ContentDir() + "/dither-bench.gif";
  DitheringSource source(video, dither);
  AnimationRequest request;
  request.host_width = video.width;
  request.height = video.height;
  request.rate = 30;
  request.scale = 1;
  request.frame_count = video.frame_count;
  request.path = path.c_str();
  if (WriteAnimatedGif(request, AnimationSettings(), source) != ExportResult::kWritten) return "the export failed";
  std::vector<uint8_t> gif;
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return "cannot read " + path;
  uint8_t buffer[1 << 16];
  for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;) gif.insert(gif.end(), buffer, buffer + n);
  std::fclose(file);
  std::remove(path.c_str());
  out->gif_bytes = gif.size();
  lodra_gif::MemorySink sink;
  lodra_gif::GifOptimiser optimiser(&sink, &lodra_gif::ProcessPool());
  if (!optimiser.Feed(gif.data(), gif.size()) || !optimiser.Finish()) return "the optimiser: " + optimiser.Describe();
  out->optimised = sink.bytes.size();

  // The pictures the plug-in makes of the frames, against the frames.
  const Palette& palette = FixedPalette();
  const size_t index_stride = static_cast<size_t>(IndexImageStride(video.width));
  std::vector<uint8_t> indices(index_stride * video.height);
  double squared = 0;
  size_t samples = 0;
  for (int n = 0; n < video.frame_count; ++n) {
    std::vector<uint8_t> host = bench::HostFrame(video, n);
    if (dither != nullptr) dither->Apply(host.data(), video.width, video.height, false);
    MapFrameToIndices(FrameLayout::kPlain, palette, video.width, host.data(), video.height, indices.data(),
                      index_stride);
    const uint8_t* raw = video.Frame(n);
    const std::vector<double> want = Quarter(video.width, video.height, [&](int x, int y, int c) {
      return static_cast<double>(raw[(static_cast<size_t>(y) * video.width + x) * 3 + c]);
    });
    const std::vector<double> have = Quarter(video.width, video.height, [&](int x, int y, int c) {
      const uint32_t entry = palette.entries[indices[static_cast<size_t>(y) * index_stride + x]];
      return static_cast<double>(entry >> (8 * c) & 0xFF);  // blue, green, red, as the raw frame
    });
    for (size_t i = 0; i < want.size(); ++i) squared += (have[i] - want[i]) * (have[i] - want[i]);
    samples += want.size();
  }
  out->psnr = 10 * std::log10(255.0 * 255.0 / (squared / static_cast<double>(samples)));
  return "";
}

void PrintQuality(const std::vector<std::string>& contents) {
  struct Variant {
    const char* what;
    int strength, grey_spread;
  };
  const Variant variants[] = {
      {"none", -1, 0},
      {"25%", 25, lodra_gif::kGreySpread},
      {"50%", 50, lodra_gif::kGreySpread},
      {"75%", 75, lodra_gif::kGreySpread},
      {"100%", 100, lodra_gif::kGreySpread},
      {"100%, cube step for all", 100, -1},
      {"100%, grey step to spread 40", 100, 40},
  };
  std::cout << "Quarter-area PSNR of the plug-in's frames and the GIFs' sizes (60 frames) by dither strength\n";
  for (const std::string& name : contents) {
    const Content content = ContentFor(name);
    bench::RawVideo video;
    std::string error;
    if (!bench::LoadRaw(name, content.width, content.height, &video, &error)) {
      std::cout << "  " << name << ": " << error << "\n";
      continue;
    }
    video.frame_count = std::min(video.frame_count, 60);
    double base_psnr = 0;
    for (const Variant& v : variants) {
      Quality q;
      const lodra_gif::OrderedDither dither(std::max(v.strength, 0), v.grey_spread);
      const std::string failed = Measure(video, v.strength < 0 ? nullptr : &dither, &q);
      if (!failed.empty()) {
        std::cout << "  " << name << " " << v.what << ": " << failed << "\n";
        continue;
      }
      if (v.strength < 0) base_psnr = q.psnr;
      char line[300];
      std::snprintf(line, sizeof line, "  %-8s %-30s %6.2f dB (%+5.2f)  GIF %9zu bytes  optimised %9zu bytes\n",
                    name.c_str(), v.what, q.psnr, q.psnr - base_psnr, q.gif_bytes, q.optimised);
      std::cout << line;
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> contents = {"photo", "gradient"};
  std::vector<std::string> quality = {"photo", "gradient", "cartoon", "screen"};
  std::vector<char*> rest = {argv[0]};
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg.rfind("--content=", 0) == 0) {
      contents = bench::SplitList(arg.substr(10));
    } else if (arg.rfind("--quality=", 0) == 0) {
      quality = bench::SplitList(arg.substr(10));
    } else {
      rest.push_back(argv[i]);
    }
  }
  int rest_count = static_cast<int>(rest.size());
  rest.push_back(nullptr);

  std::vector<std::unique_ptr<CostWorkload>> workloads;
  for (const std::string& name : contents) {
    auto w = std::make_unique<CostWorkload>();
    w->name = name;
    bench::RawVideo video;
    std::string error;
    if (!bench::LoadRaw(name, 1920, 1080, &video, &error)) {
      w->error = name + ": " + error;
    } else {
      const std::vector<uint8_t> source = bench::HostFrame(video, video.frame_count / 2);
      w->frame = source;
      lodra_gif::OrderedDither().Apply(w->frame.data(), 1920, 1080, false);
      const std::string difference = CheckDither(source, w->frame, 1920, 1080);
      if (!difference.empty()) w->error = name + ": the dither: " + difference;
    }
    if (!w->error.empty()) {
      std::cerr << "dither_bench: " << w->error << "\n";
    } else {
      std::cout << name << ": a dithered frame checked against the Bayer matrix\n";
    }
    benchmark::RegisterBenchmark(("dither/" + name).c_str(), BenchDither, w.get())->Unit(benchmark::kMillisecond);
    workloads.push_back(std::move(w));
  }
  return bench::RunBenchmarks(rest_count, rest.data(), [&](const Recorder&) { PrintQuality(quality); });
}
