// A whole export through the plug-in's export entry, natively, at 640x360
// and 1920x1080, driven by a lean host of our own; the same work cut into
// its stages, each timed alone over the same frames (colour matching, the
// imaging library's GIF coding of the index images, splicing and writing the
// file); and the peak memory of an export in a process of its own, for two
// frame counts.
//
// Checks before anything is timed: the export's GIF decodes with giflib, has
// every frame, and each frame's indices are the colour map's (and frame 0's
// the reference search's); the GIF coding stage decodes to its index images;
// the writing stage writes the export's file byte for byte.
//
//   export_bench [--content=photo,illustration,gradient] [--memory_frames=30,120]
//                [--benchmark_repetitions=N] [Google Benchmark flags]
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "gif/frame_encoder_internal.h"
#include "gif/frame_timing.h"
#include "gif/output_pass.h"
#include "gif/output_pass_internal.h"
#include "plugin/plugin_interface.h"

namespace {

using bench::Recorder;

struct Size {
  int width;
  int height;
  std::string Name() const { return std::to_string(width) + "x" + std::to_string(height); }
};
const Size kSizes[] = {{640, 360}, {1920, 1080}};
constexpr int kRate = 30;

// ------------------------------------------------------------ the driver

// Hands frames to the export the way a host does: one frame's pixels at a
// time, valid until the next request. Frames come either from memory (all
// of them prepared in the host's layout, for timing) or from the raw file,
// read into one buffer on each request (for memory: the driver then holds
// one frame, as a host does).
class Driver final : public FrameSource {
 public:
  // In-memory frames, played forth and back up to `frame_count`.
  Driver(const std::vector<std::vector<uint8_t>>* frames, int width, int height, int frame_count)
      : frames_(frames), width_(width), height_(height), frame_count_(frame_count) {}
  // Frames read from `raw_file` (an open descriptor of `available` frames).
  Driver(int raw_file, int available, int width, int height, int frame_count)
      : raw_file_(raw_file), available_(available), width_(width), height_(height), frame_count_(frame_count) {
    buffer_.resize(static_cast<size_t>(HostFrameBytes(width, height)));
  }

  // The output pass with the default settings; true when the file is written.
  bool Export(const std::string& path) {
    AnimationRequest request;
    request.host_width = width_;
    request.height = height_;
    request.rate = kRate;
    request.scale = 1;
    request.frame_count = frame_count_;
    request.path = path.c_str();
    return WriteAnimatedGif(request, AnimationSettings(), *this) == ExportResult::kWritten;
  }

  bool IsAborted() override { return false; }
  void ReportProgress(int32_t, int32_t) override {}
  const void* Pixels(int32_t n) override { return Frame(n); }
  void Refresh() override {}

  // Every frame fetched, nothing exported: the driver's own share.
  bool FetchAll() {
    for (int n = 0; n < frame_count_; ++n)
      if (Frame(n) == nullptr) return false;
    return true;
  }

 private:
  const std::vector<std::vector<uint8_t>>* frames_ = nullptr;
  int raw_file_ = -1;
  int available_ = 0;
  int width_, height_, frame_count_;
  std::vector<uint8_t> buffer_;

  void* Frame(int n) {
    if (frames_ != nullptr) {
      const int count = static_cast<int>(frames_->size());
      return const_cast<uint8_t*>((*frames_)[static_cast<size_t>(bench::PingPong(n, count))].data());
    }
    // Raw rows are top-down and unpadded; each is read straight into its
    // bottom-up place.
    const size_t row_bytes = 3 * static_cast<size_t>(width_);
    const size_t stride = static_cast<size_t>(HostFrameStride(width_));
    const off_t frame_start =
        static_cast<off_t>(bench::PingPong(n, available_)) * static_cast<off_t>(row_bytes) * height_;
    for (int y = 0; y < height_; ++y) {
      uint8_t* row = buffer_.data() + static_cast<size_t>(height_ - 1 - y) * stride;
      if (pread(raw_file_, row, row_bytes, frame_start + static_cast<off_t>(y) * static_cast<off_t>(row_bytes)) !=
          static_cast<ssize_t>(row_bytes))
        return nullptr;
    }
    return buffer_.data();
  }
};

// ----------------------------------------------------------- the content

// One content at one size, with everything the stages start from.
struct Workload {
  std::string content;
  Size size;
  std::vector<std::vector<uint8_t>> host_frames;
  std::vector<std::vector<uint8_t>> index_images;  // the map's, padded rows
  std::vector<std::vector<uint8_t>> frame_gifs;    // the GIF coding stage's output
  std::string export_path;
  std::string stage_path;
  std::vector<uint8_t> exported;  // the export's file, for the writing check
  std::string error;              // set when the content is missing
};

std::vector<uint8_t> ReadWholeFile(const std::string& path) {
  std::vector<uint8_t> bytes;
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return bytes;
  uint8_t buffer[1 << 16];
  size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) bytes.insert(bytes.end(), buffer, buffer + got);
  std::fclose(file);
  return bytes;
}

// ------------------------------------------------------------- the stages

void MatchAll(Workload& w) {
  for (size_t n = 0; n < w.host_frames.size(); ++n)
    MapFrameToIndices(FrameLayout::kPlain, FixedPalette(), w.size.width, w.host_frames[n].data(), w.size.height,
                      w.index_images[n].data(), IndexImageStride(w.size.width));
}

// The encoder's imaging-library stage on an index image, as it runs it: the
// library started, the image saved as GIF, the bytes copied out. Empty on
// any failure.
std::vector<uint8_t> CodeGif(uint8_t* indices, int width, int height) {
  std::vector<uint8_t> out;
  ImagingSession imaging;
  if (!imaging.started()) return out;
  uint32_t length = 0;
  uint8_t* block = SaveIndexImageAsGif(FixedPalette(), width, height, indices,
                                       static_cast<int32_t>(IndexImageStride(width)), &length, nullptr);
  if (block == nullptr) return out;
  out.assign(block, block + length);
  FreeFrameGif(block);
  return out;
}

bool CodeAll(Workload& w) {
  for (size_t n = 0; n < w.index_images.size(); ++n) {
    w.frame_gifs[n] = CodeGif(w.index_images[n].data(), w.size.width, w.size.height);
    if (w.frame_gifs[n].empty()) return false;
  }
  return true;
}

// Splices every frame GIF into the animation file, as the export does.
bool WriteAll(const Workload& w) {
  AnimationFile file;
  if (!file.Open(w.stage_path.c_str())) return false;
  FrameTiming timing;
  ReduceFrameRate(kRate, 1, &timing);
  for (size_t n = 0; n < w.frame_gifs.size(); ++n) {
    if (file.AppendFrame(w.frame_gifs[n].data(), static_cast<uint32_t>(w.frame_gifs[n].size()), FixedPalette(),
                         FrameDelay(timing, static_cast<int64_t>(n)), LoopCountField(0)) != ExportResult::kWritten)
      return false;
  }
  return file.Finish();
}

// ------------------------------------------------------------- the checks

// Loads the content and checks the export and every stage's output; the
// stages' inputs are left in `w`. Empty on success, else what failed.
std::string Prepare(Workload& w) {
  bench::RawVideo video;
  if (!bench::LoadRaw(w.content, w.size.width, w.size.height, &video, &w.error)) return w.error;
  for (int n = 0; n < video.frame_count; ++n) w.host_frames.push_back(bench::HostFrame(video, n));
  const size_t count = w.host_frames.size();
  w.index_images.assign(count, std::vector<uint8_t>(IndexImageStride(w.size.width) * w.size.height));
  w.frame_gifs.resize(count);
  w.export_path = bench::ContentDir() + "/export-" + w.content + "-" + w.size.Name() + ".gif";
  w.stage_path = bench::ContentDir() + "/stages-" + w.content + "-" + w.size.Name() + ".gif";

  // The map against the reference on frame 0, then the export against the map.
  MatchAll(w);
  const std::vector<uint8_t> reference = bench::ReferenceIndices(w.host_frames[0].data(), w.size.width, w.size.height);
  std::string difference = bench::FirstDifference(w.index_images[0].data(), IndexImageStride(w.size.width),
                                                  reference.data(), w.size.width, w.size.width, w.size.height);
  if (!difference.empty()) return "frame 0: map against the reference: " + difference;

  Driver driver(&w.host_frames, w.size.width, w.size.height, static_cast<int>(count));
  if (!driver.Export(w.export_path)) return "the export failed";
  std::vector<bench::DecodedFrame> decoded;
  std::string error;
  if (!bench::DecodeGifFile(w.export_path, &decoded, &error)) return "the exported GIF: " + error;
  if (decoded.size() != count)
    return "the exported GIF has " + std::to_string(decoded.size()) + " frames, want " + std::to_string(count);
  for (size_t n = 0; n < count; ++n) {
    if (decoded[n].width != w.size.width || decoded[n].height != w.size.height)
      return "exported frame " + std::to_string(n) + " is " + std::to_string(decoded[n].width) + "x" +
             std::to_string(decoded[n].height);
    difference = bench::FirstDifference(decoded[n].indices.data(), w.size.width, w.index_images[n].data(),
                                        IndexImageStride(w.size.width), w.size.width, w.size.height);
    if (!difference.empty()) return "exported frame " + std::to_string(n) + ": " + difference;
  }
  w.exported = ReadWholeFile(w.export_path);

  // The stages: coded frames decode to their index images; the written file
  // is the export's.
  if (!CodeAll(w)) return "the GIF coding stage failed";
  std::FILE* one = std::fopen(w.stage_path.c_str(), "wb");
  if (one == nullptr) return "cannot write " + w.stage_path;
  const bool written = std::fwrite(w.frame_gifs[0].data(), 1, w.frame_gifs[0].size(), one) == w.frame_gifs[0].size();
  if (std::fclose(one) != 0 || !written) return "cannot write " + w.stage_path;
  if (!bench::DecodeGifFile(w.stage_path, &decoded, &error) || decoded.size() != 1)
    return "the coded frame 0 does not decode: " + error;
  difference = bench::FirstDifference(decoded[0].indices.data(), w.size.width, w.index_images[0].data(),
                                      IndexImageStride(w.size.width), w.size.width, w.size.height);
  if (!difference.empty()) return "coded frame 0: " + difference;
  if (!WriteAll(w)) return "the writing stage failed";
  if (ReadWholeFile(w.stage_path) != w.exported) return "the writing stage's file differs from the export's";
  return "";
}

// ------------------------------------------------------- the benchmarks

// Frames per second of real time (the benchmarks use real time throughout).
void SetFrameCounters(benchmark::State& state, size_t frames) {
  state.counters["frames"] = static_cast<double>(frames);
  state.counters["fps"] =
      benchmark::Counter(static_cast<double>(frames), benchmark::Counter::kIsIterationInvariantRate);
}

void BenchExport(benchmark::State& state, Workload* w) {
  if (!w->error.empty()) {
    state.SkipWithError(w->error.c_str());
    return;
  }
  Driver driver(&w->host_frames, w->size.width, w->size.height, static_cast<int>(w->host_frames.size()));
  for (auto _ : state) {
    if (!driver.Export(w->export_path)) {
      state.SkipWithError("the export failed");
      return;
    }
  }
  SetFrameCounters(state, w->host_frames.size());
  state.counters["gif_MiB"] = static_cast<double>(w->exported.size()) / (1 << 20);
}

void BenchMatching(benchmark::State& state, Workload* w) {
  if (!w->error.empty()) return state.SkipWithError(w->error.c_str());
  for (auto _ : state) {
    MatchAll(*w);
    benchmark::ClobberMemory();
  }
  SetFrameCounters(state, w->host_frames.size());
}

void BenchGifCoding(benchmark::State& state, Workload* w) {
  if (!w->error.empty()) return state.SkipWithError(w->error.c_str());
  for (auto _ : state) {
    if (!CodeAll(*w)) return state.SkipWithError("the GIF coding stage failed");
  }
  SetFrameCounters(state, w->host_frames.size());
}

void BenchWriting(benchmark::State& state, Workload* w) {
  if (!w->error.empty()) return state.SkipWithError(w->error.c_str());
  for (auto _ : state) {
    if (!WriteAll(*w)) return state.SkipWithError("the writing stage failed");
  }
  SetFrameCounters(state, w->host_frames.size());
}

// ----------------------------------------------------------------- memory

// The child: one export (or, with `fetch_only`, the same frames fetched and
// nothing exported), reading frames from the raw file. Prints the seconds
// it took and its peak resident memory in KiB.
int MemoryChild(bool fetch_only, const char* raw_path, int width, int height, int frames, const char* out_path) {
  const int file = open(raw_path, O_RDONLY);
  if (file < 0) return 3;
  const off_t size = lseek(file, 0, SEEK_END);
  const int available = static_cast<int>(size / (3 * static_cast<off_t>(width) * height));
  if (available < 1) return 3;
  Driver driver(file, available, width, height, frames);
  const uint64_t start = bench::NowNanoseconds();
  const bool ok = fetch_only ? driver.FetchAll() : driver.Export(out_path);
  const double seconds = static_cast<double>(bench::NowNanoseconds() - start) * 1e-9;
  std::printf("%.6f %ld\n", seconds, bench::PeakResidentKib());
  close(file);
  return ok ? 0 : 1;
}

constexpr double kMiB = 1024.0 * 1024.0;

void BenchMemory(benchmark::State& state, std::string content, Size size, int frames) {
  const std::string raw = bench::RawPath(content, size.width, size.height);
  const std::string out =
      bench::ContentDir() + "/memory-" + content + "-" + size.Name() + "-" + std::to_string(frames) + ".gif";
  const std::vector<std::string> common = {raw, std::to_string(size.width), std::to_string(size.height),
                                           std::to_string(frames), out};
  auto run = [&](const char* mode, bench::ChildResult* child) -> bool {
    std::vector<std::string> args = {mode};
    args.insert(args.end(), common.begin(), common.end());
    std::string error;
    if (!bench::RunSelf(args, child, &error) || child->exit_status != 0) {
      state.SkipWithError((std::string(mode) + " child failed (status " + std::to_string(child->exit_status) + ") " +
                           error + "; is " + raw + " there?")
                              .c_str());
      return false;
    }
    return true;
  };
  bench::ChildResult exported;
  bench::ChildResult fetched;
  double seconds = 0;
  long export_kib = 0;
  long fetch_kib = 0;
  for (auto _ : state) {
    if (!run("--child=export", &exported) || !run("--child=fetch-only", &fetched)) return;
    double unused = 0;
    if (std::sscanf(exported.output.c_str(), "%lf %ld", &seconds, &export_kib) != 2 ||
        std::sscanf(fetched.output.c_str(), "%lf %ld", &unused, &fetch_kib) != 2 || export_kib <= 0)
      return state.SkipWithError("a memory child printed no figures");
    state.SetIterationTime(seconds);
  }
  // The GIF the child wrote must hold every frame.
  std::vector<bench::DecodedFrame> decoded;
  std::string error;
  if (!bench::DecodeGifFile(out, &decoded, &error) || decoded.size() != static_cast<size_t>(frames))
    return state.SkipWithError(
        ("the child's GIF: " + error + ", " + std::to_string(decoded.size()) + " frames").c_str());
  const double four_buffers = 4.0 * 1920 * 1080 * 3;
  state.counters["peak_MiB"] = static_cast<double>(export_kib) / 1024;
  state.counters["driver_MiB"] = static_cast<double>(fetch_kib) / 1024;
  state.counters["plugin_MiB"] = static_cast<double>(export_kib - fetch_kib) / 1024;
  state.counters["of_4x1080p"] = static_cast<double>(export_kib) * 1024 / four_buffers;
  state.counters["fps"] = static_cast<double>(frames) / seconds;
  state.SetLabel("frames read from " + raw);
}

// ---------------------------------------------------------------- summary

bench::Spread Scaled(bench::Spread s, double factor) {
  s.median *= factor;
  s.low *= factor;
  s.high *= factor;
  return s;
}

// Frames per second from seconds per export: the range turns round.
bench::Spread Rate(const bench::Spread& seconds, double frames) {
  bench::Spread rate = seconds;
  rate.median = frames / seconds.median;
  rate.low = frames / seconds.high;
  rate.high = frames / seconds.low;
  return rate;
}

void PrintSummary(const Recorder& recorder, const std::vector<std::string>& contents,
                  const std::vector<int>& memory_frames) {
  std::cout << "Whole export through the plug-in, one core: median [min .. max] over the repetitions,\n"
            << "real time (CPU time of the process)\n";
  for (const std::string& content : contents)
    for (const Size& size : kSizes) {
      const std::string key = content + "/" + size.Name();
      const std::vector<double>* total = recorder.Times("export/" + key);
      const std::vector<double>* counts = recorder.Counter("export/" + key, "frames");
      if (total == nullptr || counts == nullptr || counts->empty()) continue;
      const double frames = counts->front();
      const bench::Spread t = bench::SpreadOf(*total);
      const bench::Spread t_cpu = bench::SpreadOf(*recorder.CpuTimes("export/" + key));
      std::cout << "  " << key << " (" << frames << " frames): " << bench::FormatNumber(Rate(t, frames), " frames/s", 1)
                << " (" << bench::FormatNumber(Rate(t_cpu, frames), " frames/s", 1) << "), per frame "
                << bench::FormatSeconds(Scaled(t, 1 / frames)) << " ("
                << bench::FormatSeconds(Scaled(t_cpu, 1 / frames)) << ")\n";
      double staged = 0;
      double staged_cpu = 0;
      int stages = 0;
      for (const char* stage : {"matching", "gif_coding", "writing"}) {
        const std::string name = "stage/" + std::string(stage) + "/" + key;
        const std::vector<double>* times = recorder.Times(name);
        if (times == nullptr) continue;
        const bench::Spread s = bench::SpreadOf(*times);
        const bench::Spread s_cpu = bench::SpreadOf(*recorder.CpuTimes(name));
        ++stages;
        staged += s.median;
        staged_cpu += s_cpu.median;
        char line[200];
        std::snprintf(line, sizeof line, "    %-11s %s a frame (%s), %4.1f%% (%4.1f%%) of the export\n", stage,
                      bench::FormatSeconds(Scaled(s, 1 / frames)).c_str(),
                      bench::FormatSeconds(Scaled(s_cpu, 1 / frames)).c_str(), 100 * s.median / t.median,
                      100 * s_cpu.median / t_cpu.median);
        std::cout << line;
      }
      if (stages == 3) {
        char rest[200];
        std::snprintf(rest, sizeof rest, "    %-11s %.1f%% (%.1f%%): the export's time not in the stages timed alone\n",
                      "other", 100 * (1 - staged / t.median), 100 * (1 - staged_cpu / t_cpu.median));
        std::cout << rest;
      }
    }
  const double four_buffers_mib = 4.0 * 1920 * 1080 * 3 / kMiB;
  char budget[160];
  std::snprintf(budget, sizeof budget, "4 frame buffers at 1920x1080 = 4 x 1920*1080*3 bytes = %.1f MiB",
                four_buffers_mib);
  std::cout << "Peak memory (VmHWM) of an export in a process of its own, frames read from the raw file\n"
            << "one at a time; against " << budget << ":\n";
  for (const std::string& content : contents)
    for (const Size& size : kSizes)
      for (int frames : memory_frames) {
        const std::string key = "memory/" + content + "/" + size.Name() + "/" + std::to_string(frames);
        const std::vector<double>* peak = recorder.Counter(key, "peak_MiB");
        const std::vector<double>* driver = recorder.Counter(key, "driver_MiB");
        if (peak == nullptr || driver == nullptr) continue;
        const bench::Spread p = bench::SpreadOf(*peak);
        std::cout << "  " << key << " frames: peak " << bench::FormatNumber(p, " MiB", 1) << " (the driver alone "
                  << bench::FormatNumber(bench::SpreadOf(*driver), " MiB", 1) << "), "
                  << (p.high < four_buffers_mib ? "under" : "OVER") << " 4 frame buffers\n";
      }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 7 && (std::strcmp(argv[1], "--child=export") == 0 || std::strcmp(argv[1], "--child=fetch-only") == 0))
    return MemoryChild(std::strcmp(argv[1], "--child=fetch-only") == 0, argv[2], std::atoi(argv[3]), std::atoi(argv[4]),
                       std::atoi(argv[5]), argv[6]);

  // Our own flags first; the rest are Google Benchmark's.
  std::vector<std::string> contents = {"photo"};
  std::vector<int> memory_frames = {30, 120};
  std::vector<char*> rest = {argv[0]};
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg.rfind("--content=", 0) == 0) {
      contents = bench::SplitList(arg.substr(10));
    } else if (arg.rfind("--memory_frames=", 0) == 0) {
      memory_frames.clear();
      for (const std::string& n : bench::SplitList(arg.substr(16))) memory_frames.push_back(std::stoi(n));
    } else {
      rest.push_back(argv[i]);
    }
  }
  int rest_count = static_cast<int>(rest.size());
  rest.push_back(nullptr);

  std::vector<std::unique_ptr<Workload>> workloads;
  for (const std::string& content : contents)
    for (const Size& size : kSizes) {
      auto w = std::make_unique<Workload>();
      w->content = content;
      w->size = size;
      const std::string failed = Prepare(*w);
      if (!failed.empty()) {
        w->error = content + " " + size.Name() + ": " + failed;
        std::cerr << "export_bench: " << w->error << "\n";
        w->host_frames.clear();
      } else {
        std::cout << content << " " << size.Name() << ": " << w->host_frames.size()
                  << " frames checked (export decodes, indices = map = reference on frame 0, stages = export)\n";
      }
      const std::string key = content + "/" + size.Name();
      Workload* p = w.get();
      for (const auto& [name, function] :
           {std::make_pair("export/", &BenchExport), std::make_pair("stage/matching/", &BenchMatching),
            std::make_pair("stage/gif_coding/", &BenchGifCoding), std::make_pair("stage/writing/", &BenchWriting)})
        benchmark::RegisterBenchmark((name + key).c_str(), function, p)->UseRealTime()->Unit(benchmark::kMillisecond);
      workloads.push_back(std::move(w));
    }
  for (const std::string& content : contents)
    for (const Size& size : kSizes)
      for (int frames : memory_frames)
        benchmark::RegisterBenchmark(("memory/" + content + "/" + size.Name() + "/" + std::to_string(frames)).c_str(),
                                     BenchMemory, content, size, frames)
            ->UseManualTime()
            ->Iterations(1)
            ->Unit(benchmark::kMillisecond);

  return bench::RunBenchmarks(rest_count, rest.data(),
                              [&](const Recorder& recorder) { PrintSummary(recorder, contents, memory_frames); });
}
