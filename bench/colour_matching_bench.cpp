// Colour matching of one 1920x1080 frame: the exhaustive reference search
// against the tabulated map the encoder uses, on real content (a frame from
// the middle of each prepared pan) and on a synthetic worst case in which
// every pixel has a colour of its own, in shuffled order; plus the one-time
// cost of building the map, measured in a fresh process (real and CPU time).
// Targets: the photo frame in at most 2 ms, the build in at most 20 ms.
//
// Every benchmark first checks that its index image equals the reference's.
//
//   colour_matching_bench [--benchmark_repetitions=N] [Google Benchmark flags]
#include <algorithm>
#include <cstdio>
#include <ctime>
#include <cstring>
#include <iostream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "gif/frame_encoder_internal.h"
#include "plugin/plugin_interface.h"
#include "quantize/colour_map.h"
#include "quantize/colour_map_internal.h"

namespace {

using bench::Recorder;

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;
const char* const kContents[] = {"photo", "illustration"};

struct Frame {
  std::string what;           // for the report
  std::vector<uint8_t> host;  // host layout
  // The reference's indices, top-down, unpadded; made when first asked for
  // (about a second), so a filtered run pays only for the frames it uses.
  const std::vector<uint8_t>& Reference() {
    if (reference.empty()) reference = bench::ReferenceIndices(host.data(), kWidth, kHeight);
    return reference;
  }
  std::vector<uint8_t> reference;
};

// Every pixel a different colour: the 2^21 colours that keep the top 7 bits
// of each channel distinct, each with a random lowest bit, in a random order
// (fixed seed), so reusing the last answer never helps and the map is read
// all over.
std::unique_ptr<Frame> DistinctColoursFrame() {
  std::mt19937 random(20240611);
  std::vector<uint32_t> colours(1u << 21);
  for (uint32_t i = 0; i < colours.size(); ++i) {
    const uint32_t r = (i >> 14 & 0x7F) << 1 | (random() & 1);
    const uint32_t g = (i >> 7 & 0x7F) << 1 | (random() & 1);
    const uint32_t b = (i & 0x7F) << 1 | (random() & 1);
    colours[i] = r << 16 | g << 8 | b;
  }
  std::shuffle(colours.begin(), colours.end(), random);
  auto frame = std::make_unique<Frame>();
  frame->what = "synthetic: every pixel a different colour";
  frame->host.assign(HostFrameStride(kWidth) * kHeight, 0);
  for (int y = 0; y < kHeight; ++y)
    for (int x = 0; x < kWidth; ++x) {
      const uint32_t colour = colours[static_cast<size_t>(y) * kWidth + x];
      uint8_t* pixel = frame->host.data() + static_cast<size_t>(y) * HostFrameStride(kWidth) + 3 * x;
      pixel[0] = static_cast<uint8_t>(colour);
      pixel[1] = static_cast<uint8_t>(colour >> 8);
      pixel[2] = static_cast<uint8_t>(colour >> 16);
    }
  return frame;
}

std::unique_ptr<Frame> ContentFrame(const std::string& content, std::string* error) {
  bench::RawVideo video;
  if (!bench::LoadRaw(content, kWidth, kHeight, &video, error)) return nullptr;
  auto frame = std::make_unique<Frame>();
  const int n = video.frame_count / 2;
  frame->what = content + " frame " + std::to_string(n) + " of " + bench::RawPath(content, kWidth, kHeight);
  frame->host = bench::HostFrame(video, n);
  return frame;
}

size_t DistinctColours(const std::vector<uint8_t>& host) {
  std::vector<bool> seen(1u << 24);
  size_t count = 0;
  for (size_t i = 0; i + 2 < host.size(); i += 3) {
    const uint32_t colour = host[i] | host[i + 1] << 8 | static_cast<uint32_t>(host[i + 2]) << 16;
    if (!seen[colour]) {
      seen[colour] = true;
      ++count;
    }
  }
  return count;
}

// How the encoder fills the index image: through the map for the fixed
// palette (kMap), or with the reference search for any other palette
// (kReference: the same colours with the palette's flags word changed, which
// the encoder does not take for the fixed palette).
enum class Way { kReference, kMap };

const Palette& ReferencePathPalette() {
  static const Palette palette = [] {
    Palette p = FixedPalette();
    p.flags = 1;
    return p;
  }();
  return palette;
}

void Match(Way way, const Frame& frame, uint8_t* indices) {
  MapFrameToIndices(FrameLayout::kPlain, way == Way::kMap ? FixedPalette() : ReferencePathPalette(), kWidth,
                    frame.host.data(), kHeight, indices, IndexImageStride(kWidth));
}

void BenchMatch(benchmark::State& state, Frame* frame, Way way) {
  if (FixedPaletteColourMap() == nullptr) {
    state.SkipWithError("no colour map for the fixed palette");
    return;
  }
  std::vector<uint8_t> indices(IndexImageStride(kWidth) * kHeight);
  Match(way, *frame, indices.data());
  const std::string difference = bench::FirstDifference(indices.data(), IndexImageStride(kWidth),
                                                        frame->Reference().data(), kWidth, kWidth, kHeight);
  if (!difference.empty()) {
    state.SkipWithError(("index image differs from the reference's: " + difference).c_str());
    return;
  }
  for (auto _ : state) {
    Match(way, *frame, indices.data());
    benchmark::DoNotOptimize(indices.data());
    benchmark::ClobberMemory();
  }
  state.counters["ns_per_pixel"] =
      benchmark::Counter(static_cast<double>(kWidth) * kHeight,
                         benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
  state.SetLabel(frame->what);
}

// ------------------------------------------------------------ map build

// The child: times the first FixedPaletteColourMap call of a fresh process,
// which builds the map, and prints real and CPU nanoseconds, boundary cells
// and table bytes.
int BuildMapChild() {
  const Palette& palette = FixedPalette();
  const std::clock_t cpu_start = std::clock();
  const uint64_t start = bench::NowNanoseconds();
  const ColourMap* map = FixedPaletteColourMap();
  const uint64_t elapsed = bench::NowNanoseconds() - start;
  const double cpu_nanoseconds = 1e9 * static_cast<double>(std::clock() - cpu_start) / CLOCKS_PER_SEC;
  if (map == nullptr) return 1;
  // A few answers against the reference, so a broken build does not pass
  // for a fast one.
  for (uint32_t colour = 0; colour < (1u << 24); colour += 4099)
    if (map->Find(colour) != FindNearestColor(colour, &palette)) return 2;
  std::printf("%llu %.0f %d %zu\n", static_cast<unsigned long long>(elapsed), cpu_nanoseconds, map->boundary_cells(),
              map->table_bytes());
  return 0;
}

void BenchMapBuild(benchmark::State& state) {
  int boundary_cells = 0;
  size_t table_bytes = 0;
  double cpu_seconds = 0;
  for (auto _ : state) {
    bench::ChildResult child;
    std::string error;
    if (!bench::RunSelf({"--child=build-map"}, &child, &error) || child.exit_status != 0) {
      state.SkipWithError(
          ("map build child failed: " + error + " status " + std::to_string(child.exit_status)).c_str());
      return;
    }
    unsigned long long nanoseconds = 0;
    double cpu_nanoseconds = 0;
    if (std::sscanf(child.output.c_str(), "%llu %lf %d %zu", &nanoseconds, &cpu_nanoseconds, &boundary_cells,
                    &table_bytes) != 4) {
      state.SkipWithError("map build child printed nothing");
      return;
    }
    state.SetIterationTime(static_cast<double>(nanoseconds) * 1e-9);
    cpu_seconds += cpu_nanoseconds * 1e-9;
  }
  state.counters["child_cpu_ms"] = benchmark::Counter(1e3 * cpu_seconds, benchmark::Counter::kAvgIterations);
  state.counters["boundary_cells"] = boundary_cells;
  state.counters["table_KiB"] = static_cast<double>(table_bytes) / 1024;
}

// ------------------------------------------------------------- summary

bench::Spread Ratio(const bench::Spread& slow, const bench::Spread& fast) {
  bench::Spread ratio;
  ratio.median = slow.median / fast.median;
  ratio.low = slow.low / fast.high;
  ratio.high = slow.high / fast.low;
  ratio.count = std::min(slow.count, fast.count);
  return ratio;
}

void PrintSummary(const Recorder& recorder, const std::vector<std::string>& frames) {
  std::cout << "Colour matching of one " << kWidth << "x" << kHeight
            << " frame, one core: median [min .. max] over the repetitions,\n"
            << "real time (CPU time of the process); target: the photo frame through the map in <= 2 ms,\n"
            << "the map's build <= 20 ms\n";
  for (const std::string& frame : frames) {
    const std::string prefix = "match/" + frame + "/";
    const std::vector<double>* reference = recorder.Times(prefix + "reference");
    const std::vector<double>* map = recorder.Times(prefix + "map");
    if (map == nullptr) continue;
    const bench::Spread m = bench::SpreadOf(*map);
    const bench::Spread m_cpu = bench::SpreadOf(*recorder.CpuTimes(prefix + "map"));
    std::cout << "  " << frame << ":\n"
              << "    map        " << bench::FormatSeconds(m) << " (" << bench::FormatSeconds(m_cpu) << ")";
    if (frame == "photo")
      std::cout << ": target " << (m.median <= 2e-3 ? "met" : "MISSED") << " (" << (m_cpu.median <= 2e-3 ? "met" : "MISSED")
                << ")";
    std::cout << "\n";
    if (reference == nullptr) continue;
    const bench::Spread r = bench::SpreadOf(*reference);
    const bench::Spread r_cpu = bench::SpreadOf(*recorder.CpuTimes(prefix + "reference"));
    std::cout << "    reference  " << bench::FormatSeconds(r) << " (" << bench::FormatSeconds(r_cpu) << ")\n"
              << "    ratio      " << bench::FormatNumber(Ratio(r, m), "x", 0) << " ("
              << bench::FormatNumber(Ratio(r_cpu, m_cpu), "x", 0) << ")\n";
  }
  const ColourMap* map = FixedPaletteColourMap();
  const int way = map->shortcut().pixels;
  std::cout << "  tables: the map " << map->table_bytes() / 1024 << " KiB (" << map->boundary_cells()
            << " boundary cells); rows "
            << (way == 0 ? std::string("one pixel at a time")
                         : "through the cube shortcut, " + std::to_string(way) + " pixels at a time (" +
                               (way == 32 ? "AVX2" : "SSSE3") + ")")
            << "\n";
  if (const std::vector<double>* build = recorder.Times("map_build")) {
    const bench::Spread b = bench::SpreadOf(*build);
    std::cout << "  map build, once per process (timed in a fresh process): " << bench::FormatSeconds(b);
    if (const std::vector<double>* cpu_ms = recorder.Counter("map_build", "child_cpu_ms")) {
      std::vector<double> cpu_seconds;
      for (double ms : *cpu_ms) cpu_seconds.push_back(ms * 1e-3);
      const bench::Spread c = bench::SpreadOf(cpu_seconds);
      std::cout << " (" << bench::FormatSeconds(c) << "): target " << (b.median <= 20e-3 ? "met" : "MISSED") << " ("
                << (c.median <= 20e-3 ? "met" : "MISSED") << ")";
    }
    std::cout << "\n";
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "--child=build-map") == 0) return BuildMapChild();

  // The frames live until the end: the benchmarks point at them.
  std::vector<std::unique_ptr<Frame>> frames;
  std::vector<std::string> names;
  for (const char* content : kContents) {
    std::string error;
    std::unique_ptr<Frame> frame = ContentFrame(content, &error);
    if (!frame) {
      std::cerr << "colour_matching_bench: " << error << "\n";
      if (std::strcmp(content, "photo") == 0) return 1;  // the one content every run needs
      continue;
    }
    std::cout << content << ": " << frame->what << ", " << DistinctColours(frame->host) << " distinct colours\n";
    frames.push_back(std::move(frame));
    names.push_back(content);
  }
  frames.push_back(DistinctColoursFrame());
  names.push_back("distinct");
  std::cout << "distinct: " << frames.back()->what << ", " << DistinctColours(frames.back()->host)
            << " distinct colours\n";

  for (size_t i = 0; i < frames.size(); ++i) {
    Frame* frame = frames[i].get();
    const std::string prefix = "match/" + names[i] + "/";
    // The reference takes about a second a frame: one iteration a repetition.
    benchmark::RegisterBenchmark((prefix + "reference").c_str(), BenchMatch, frame, Way::kReference)
        ->Iterations(1)
        ->UseRealTime()
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark((prefix + "map").c_str(), BenchMatch, frame, Way::kMap)
        ->UseRealTime()
        ->Unit(benchmark::kMillisecond);
  }
  benchmark::RegisterBenchmark("map_build", BenchMapBuild)
      ->UseManualTime()
      ->Iterations(5)
      ->Unit(benchmark::kMillisecond);

  return bench::RunBenchmarks(argc, argv, [&names](const Recorder& recorder) { PrintSummary(recorder, names); });
}
