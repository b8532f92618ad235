// The GIF optimiser's cost a frame: whole plug-in GIFs optimised from
// memory into memory, fed 64 KiB at a time, with the work in the calling
// thread alone (0 workers) and on a pool of 2.
//
// The GIFs are what lodra-gif --no-optimize writes for the prepared clips
// (bench/compare-gifsicle.sh makes them: <content>/<clip>.gif). Checks before
// anything is timed: the optimised GIF, played with giflib the way a browser
// composites it, shows the input's pictures for the same times, and the
// output is the same with either pool.
//
//   optimiser_bench [--gifs=photo-1920x1080,screen-1920x1080,cartoon-640x360]
//                   [--benchmark_repetitions=N] [Google Benchmark flags]
#include <cstdio>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "host/output/gif_optimiser.h"
#include "host/output/worker_pool.h"
#include "tests/support/gif_composite.h"

namespace {

using bench::Recorder;

constexpr int kPools[] = {0, 2};

struct Workload {
  std::string name;
  std::vector<uint8_t> input;
  int64_t frames = 0;
  size_t output_bytes = 0;
  std::string error;
};

bool Optimise(const std::vector<uint8_t>& input, lodra_gif::WorkerPool* pool, lodra_gif::MemorySink* sink,
              lodra_gif::OptimiserStats* stats, std::string* error) {
  sink->bytes.clear();
  lodra_gif::GifOptimiser optimiser(sink, pool);
  bool ok = true;
  for (size_t at = 0; ok && at < input.size(); at += 1 << 16)
    ok = optimiser.Feed(input.data() + at, std::min<size_t>(1 << 16, input.size() - at));
  ok = ok && optimiser.Finish();
  *stats = optimiser.stats();
  if (!ok) *error = optimiser.Describe();
  return ok;
}

// Reads the GIF and checks the optimiser's output; empty on success.
std::string Prepare(Workload& w) {
  const std::string path = bench::ContentDir() + "/" + w.name + ".gif";
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return path + " is missing: bench/compare-gifsicle.sh makes it with lodra-gif --no-optimize";
  uint8_t buffer[1 << 16];
  for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;) w.input.insert(w.input.end(), buffer, buffer + n);
  std::fclose(file);

  std::vector<std::vector<uint8_t>> outputs;
  for (int workers : kPools) {
    lodra_gif::WorkerPool pool(workers);
    lodra_gif::MemorySink sink;
    lodra_gif::OptimiserStats stats;
    std::string error;
    if (!Optimise(w.input, &pool, &sink, &stats, &error)) return "the optimiser failed: " + error;
    w.frames = stats.frames_in;
    outputs.push_back(sink.bytes);
  }
  if (outputs[0] != outputs[1]) return "the output differs with the pool's size";
  testing_support::Playback have, want;
  std::string error;
  if (!testing_support::PlayGif(w.input, &want, &error)) return "the input: " + error;
  if (!testing_support::PlayGif(outputs[0], &have, &error)) return "the output: " + error;
  const std::string difference = testing_support::PlaybackDifference(have, want);
  if (!difference.empty()) return "the output plays otherwise: " + difference;
  w.output_bytes = outputs[0].size();
  return "";
}

void BenchOptimise(benchmark::State& state, Workload* w, int workers) {
  if (!w->error.empty()) return state.SkipWithError(w->error.c_str());
  lodra_gif::WorkerPool pool(workers);
  lodra_gif::MemorySink sink;
  sink.bytes.reserve(w->input.size());
  lodra_gif::OptimiserStats stats;
  std::string error;
  for (auto _ : state) {
    if (!Optimise(w->input, &pool, &sink, &stats, &error)) return state.SkipWithError(error.c_str());
    benchmark::DoNotOptimize(sink.bytes.data());
  }
  state.counters["frames"] = static_cast<double>(w->frames);
}

void PrintSummary(const Recorder& recorder, const std::vector<std::unique_ptr<Workload>>& workloads) {
  std::cout << "The GIF optimiser, a frame: real time median [min .. max] over the repetitions; process CPU time\n";
  for (const auto& w : workloads) {
    if (w->frames == 0) continue;
    std::cout << "  " << w->name << " (" << w->frames << " frames, " << w->input.size() << " -> " << w->output_bytes
              << " bytes)\n";
    for (int workers : kPools) {
      const std::string name = "optimise/" + w->name + "/workers:" + std::to_string(workers);
      const std::vector<double>* real = recorder.Times(name);
      const std::vector<double>* cpu = recorder.CpuTimes(name);
      if (real == nullptr || cpu == nullptr) continue;
      bench::Spread r = bench::SpreadOf(*real), c = bench::SpreadOf(*cpu);
      for (bench::Spread* s : {&r, &c}) {
        s->median /= static_cast<double>(w->frames);
        s->low /= static_cast<double>(w->frames);
        s->high /= static_cast<double>(w->frames);
      }
      std::cout << "    " << workers << " workers: " << bench::FormatSeconds(r) << " real, " << bench::FormatSeconds(c)
                << " CPU\n";
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> names = {"photo-1920x1080", "screen-1920x1080", "cartoon-640x360"};
  std::vector<char*> rest = {argv[0]};
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg.rfind("--gifs=", 0) == 0) {
      names = bench::SplitList(arg.substr(7));
    } else {
      rest.push_back(argv[i]);
    }
  }
  int rest_count = static_cast<int>(rest.size());
  rest.push_back(nullptr);

  std::vector<std::unique_ptr<Workload>> workloads;
  for (const std::string& name : names) {
    auto w = std::make_unique<Workload>();
    w->name = name;
    const std::string failed = Prepare(*w);
    if (!failed.empty()) {
      w->error = name + ": " + failed;
      std::cerr << "optimiser_bench: " << w->error << "\n";
    } else {
      std::cout << name << ": " << w->frames << " frames checked (the output plays as the input does)\n";
    }
    for (int workers : kPools) {
      benchmark::RegisterBenchmark(("optimise/" + name + "/workers:" + std::to_string(workers)).c_str(), BenchOptimise,
                                   w.get(), workers)
          ->UseRealTime()
          ->MeasureProcessCPUTime()
          ->Unit(benchmark::kMillisecond);
    }
    workloads.push_back(std::move(w));
  }
  return bench::RunBenchmarks(rest_count, rest.data(),
                              [&](const Recorder& recorder) { PrintSummary(recorder, workloads); });
}
