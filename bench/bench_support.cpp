#include "bench/bench_support.h"

#include "plugin/plugin_interface.h"

#include <gif_lib.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>

namespace bench {

// ------------------------------------------------------------------ content

std::string ContentDir() {
  const char* folder = std::getenv("LODRA_BENCH_CONTENT");
  return folder != nullptr && folder[0] != '\0' ? folder : LODRA_BENCH_CONTENT_DIR;
}

std::string RawPath(const std::string& content, int width, int height) {
  return ContentDir() + "/" + content + "-" + std::to_string(width) + "x" + std::to_string(height) + ".raw";
}

bool LoadRaw(const std::string& content, int width, int height, RawVideo* out, std::string* error) {
  const std::string path = RawPath(content, width, height);
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in) {
    *error = path + " is missing: run bench/prepare-content.sh " + ContentDir();
    return false;
  }
  const std::streamoff size = in.tellg();
  const size_t frame_bytes = 3 * static_cast<size_t>(width) * static_cast<size_t>(height);
  if (size < static_cast<std::streamoff>(frame_bytes)) {
    *error = path + " holds no whole " + std::to_string(width) + "x" + std::to_string(height) + " frame";
    return false;
  }
  out->width = width;
  out->height = height;
  out->frame_count = static_cast<int>(static_cast<size_t>(size) / frame_bytes);
  out->bytes.resize(static_cast<size_t>(out->frame_count) * frame_bytes);
  in.seekg(0);
  if (!in.read(reinterpret_cast<char*>(out->bytes.data()), static_cast<std::streamsize>(out->bytes.size()))) {
    *error = path + ": read failed";
    return false;
  }
  return true;
}

void ToHostLayout(const uint8_t* raw, int width, int height, uint8_t* host) {
  const size_t row_bytes = 3 * static_cast<size_t>(width);
  const size_t stride = static_cast<size_t>(HostFrameStride(width));
  for (int y = 0; y < height; ++y) {
    // The host's first row in memory is the picture's bottom row.
    uint8_t* row = host + static_cast<size_t>(height - 1 - y) * stride;
    std::memcpy(row, raw + static_cast<size_t>(y) * row_bytes, row_bytes);
    std::memset(row + row_bytes, 0, stride - row_bytes);
  }
}

std::vector<uint8_t> HostFrame(const RawVideo& video, int n) {
  std::vector<uint8_t> host(static_cast<size_t>(HostFrameBytes(video.width, video.height)));
  ToHostLayout(video.Frame(n), video.width, video.height, host.data());
  return host;
}

int PingPong(int n, int available) {
  if (available <= 1) return 0;
  const int period = 2 * (available - 1);
  const int phase = n % period;
  return phase < available ? phase : period - phase;
}

// --------------------------------------------------------------- matching

std::vector<uint8_t> ReferenceIndices(const uint8_t* host, int width, int height) {
  std::vector<uint8_t> indices(static_cast<size_t>(width) * static_cast<size_t>(height));
  const size_t stride = static_cast<size_t>(HostFrameStride(width));
  for (int y = 0; y < height; ++y) {
    const uint8_t* row = host + static_cast<size_t>(height - 1 - y) * stride;
    for (int x = 0; x < width; ++x) {
      const uint8_t* pixel = row + 3 * static_cast<size_t>(x);
      const uint32_t colour = pixel[0] | pixel[1] << 8 | static_cast<uint32_t>(pixel[2]) << 16;
      indices[static_cast<size_t>(y) * width + x] = static_cast<uint8_t>(FindNearestColor(colour, &FixedPalette()));
    }
  }
  return indices;
}

std::string FirstDifference(const uint8_t* have, size_t have_stride, const uint8_t* want, size_t want_stride, int width,
                            int height) {
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      const int a = have[static_cast<size_t>(y) * have_stride + x];
      const int b = want[static_cast<size_t>(y) * want_stride + x];
      if (a != b)
        return "have " + std::to_string(a) + ", want " + std::to_string(b) + " at (" + std::to_string(x) + ", " +
               std::to_string(y) + ")";
    }
  return "";
}

// ------------------------------------------------------------- GIF checks

bool DecodeGifFile(const std::string& path, std::vector<DecodedFrame>* frames, std::string* error) {
  int code = 0;
  GifFileType* gif = DGifOpenFileName(path.c_str(), &code);
  if (gif == nullptr) {
    *error = path + ": " + GifErrorString(code);
    return false;
  }
  const bool slurped = DGifSlurp(gif) == GIF_OK;
  if (!slurped) *error = path + ": " + GifErrorString(gif->Error);
  frames->clear();
  for (int i = 0; slurped && i < gif->ImageCount; ++i) {
    const SavedImage& image = gif->SavedImages[i];
    DecodedFrame frame;
    frame.width = image.ImageDesc.Width;
    frame.height = image.ImageDesc.Height;
    frame.indices.assign(image.RasterBits,
                         image.RasterBits + static_cast<size_t>(frame.width) * static_cast<size_t>(frame.height));
    frames->push_back(std::move(frame));
  }
  int close_code = 0;
  DGifCloseFile(gif, &close_code);
  return slurped;
}

std::vector<std::string> SplitList(const std::string& text) {
  std::vector<std::string> items;
  std::stringstream stream(text);
  std::string item;
  while (std::getline(stream, item, ','))
    if (!item.empty()) items.push_back(item);
  return items;
}

// ------------------------------------------------------ child processes

bool RunSelf(const std::vector<std::string>& args, ChildResult* result, std::string* error) {
  int pipe_ends[2];
  if (pipe(pipe_ends) != 0) {
    *error = "pipe failed";
    return false;
  }
  std::vector<std::string> all = {"/proc/self/exe"};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& arg : all) argv.push_back(&arg[0]);
  argv.push_back(nullptr);

  const pid_t child = fork();
  if (child < 0) {
    close(pipe_ends[0]);
    close(pipe_ends[1]);
    *error = "fork failed";
    return false;
  }
  if (child == 0) {
    dup2(pipe_ends[1], STDOUT_FILENO);
    close(pipe_ends[0]);
    close(pipe_ends[1]);
    execv("/proc/self/exe", argv.data());
    _exit(127);
  }
  close(pipe_ends[1]);
  result->output.clear();
  char buffer[4096];
  ssize_t got;
  while ((got = read(pipe_ends[0], buffer, sizeof buffer)) > 0) result->output.append(buffer, static_cast<size_t>(got));
  close(pipe_ends[0]);

  int status = 0;
  if (waitpid(child, &status, 0) != child) {
    *error = "waitpid failed";
    return false;
  }
  result->exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return true;
}

long PeakResidentKib() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6);
  return 0;
}

uint64_t NowNanoseconds() {
  return static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
          .count());
}

// --------------------------------------------------------------- reporting

Recorder::Recorder() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_ColorTabular : OO_Tabular) {}

void Recorder::ReportRuns(const std::vector<Run>& runs) {
  for (const Run& run : runs) {
    if (run.error_occurred) {
      any_error_ = true;
      continue;
    }
    if (run.run_type != Run::RT_Iteration) continue;
    const std::string name = run.run_name.function_name;
    const double seconds = run.iterations > 0 ? run.real_accumulated_time / static_cast<double>(run.iterations)
                                              : run.real_accumulated_time;
    times_[name].push_back(seconds);
    cpu_times_[name].push_back(run.iterations > 0 ? run.cpu_accumulated_time / static_cast<double>(run.iterations)
                                                  : run.cpu_accumulated_time);
    for (const auto& counter : run.counters) {
      // Already finished as its flags ask (a rate, an average): the value
      // the console shows.
      counters_[name][counter.first].push_back(counter.second.value);
    }
  }
  ConsoleReporter::ReportRuns(runs);
}

const std::vector<double>* Recorder::Times(const std::string& name) const {
  auto it = times_.find(name);
  return it == times_.end() ? nullptr : &it->second;
}

const std::vector<double>* Recorder::CpuTimes(const std::string& name) const {
  auto it = cpu_times_.find(name);
  return it == cpu_times_.end() ? nullptr : &it->second;
}

const std::vector<double>* Recorder::Counter(const std::string& name, const std::string& counter) const {
  auto it = counters_.find(name);
  if (it == counters_.end()) return nullptr;
  auto found = it->second.find(counter);
  return found == it->second.end() ? nullptr : &found->second;
}

Spread SpreadOf(const std::vector<double>& values) {
  Spread spread;
  if (values.empty()) return spread;
  std::vector<double> sorted = values;
  std::sort(sorted.begin(), sorted.end());
  const size_t n = sorted.size();
  spread.median = n % 2 == 1 ? sorted[n / 2] : (sorted[n / 2 - 1] + sorted[n / 2]) / 2;
  spread.low = sorted.front();
  spread.high = sorted.back();
  spread.count = static_cast<int>(n);
  return spread;
}

namespace {

std::string Fixed(double value, int decimals) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

}  // namespace

std::string FormatNumber(const Spread& spread, const char* unit, int decimals) {
  std::string text = Fixed(spread.median, decimals) + unit;
  if (spread.count > 1) text += " [" + Fixed(spread.low, decimals) + " .. " + Fixed(spread.high, decimals) + "]";
  return text;
}

std::string FormatSeconds(const Spread& spread) {
  double scale = 1;
  const char* unit = " s";
  if (spread.median < 1e-3) {
    scale = 1e6;
    unit = " us";
  } else if (spread.median < 1) {
    scale = 1e3;
    unit = " ms";
  }
  Spread scaled = spread;
  scaled.median *= scale;
  scaled.low *= scale;
  scaled.high *= scale;
  const int decimals = scaled.median < 10 ? 2 : scaled.median < 100 ? 1 : 0;
  return FormatNumber(scaled, unit, decimals);
}

int RunBenchmarks(int argc, char** argv, const std::function<void(const Recorder&)>& summary) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 2;
  Recorder recorder;
  benchmark::RunSpecifiedBenchmarks(&recorder);
  benchmark::Shutdown();
  std::cout << "\n";
  summary(recorder);
  if (recorder.any_error()) {
    std::cout << "\nA benchmark failed its check (see its error above).\n";
    return 1;
  }
  return 0;
}

}  // namespace bench
