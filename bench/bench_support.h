// What the benchmarks share: the prepared content, frames in the host's
// layout, checking index images and written GIFs, child
// processes for one-time and peak-memory figures, and the summary printed
// after the runs.
#pragma once

#include <benchmark/benchmark.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "quantize/palette.h"

namespace bench {

// ------------------------------------------------------------------ content

// The folder bench/prepare-content.sh wrote: $LODRA_BENCH_CONTENT, else the
// build tree's bench-content.
std::string ContentDir();

// "<content>-<W>x<H>.raw" in ContentDir(): frames of 3 bytes a pixel (blue,
// green, red), top row first, no padding, one after another.
std::string RawPath(const std::string& content, int width, int height);

// A whole raw file in memory.
struct RawVideo {
  int width = 0;
  int height = 0;
  int frame_count = 0;
  std::vector<uint8_t> bytes;
  const uint8_t* Frame(int n) const { return bytes.data() + static_cast<size_t>(n) * FrameBytes(); }
  size_t FrameBytes() const { return 3 * static_cast<size_t>(width) * static_cast<size_t>(height); }
};

// False, with the reason (and how to make the content), when the file is
// missing or holds no whole frame.
bool LoadRaw(const std::string& content, int width, int height, RawVideo* out, std::string* error);

// The raw frame (top-down, unpadded) in the host layout.
void ToHostLayout(const uint8_t* raw, int width, int height, uint8_t* host);
std::vector<uint8_t> HostFrame(const RawVideo& video, int n);

// Frame n of an animation of `count` frames played from a video of
// `available` frames forth and back (0 1 .. last .. 1 0 1 ..), so that any
// number of frames can be exported from a short pan and the motion stays
// smooth.
int PingPong(int n, int available);

// --------------------------------------------------------------- matching

// The reference search over a whole host frame, top-down, width x height
// (no padding): what every check compares with.
std::vector<uint8_t> ReferenceIndices(const uint8_t* host, int width, int height);

// The first pixel (x, y) where two index images (strides as given) differ,
// as "have A, want B at (x, y)"; empty when they agree.
std::string FirstDifference(const uint8_t* have, size_t have_stride, const uint8_t* want, size_t want_stride, int width,
                            int height);

// ------------------------------------------------------------- GIF checks

struct DecodedFrame {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> indices;  // top-down, width x height
};

// The frames of a GIF file as giflib reads them; false with giflib's reason.
bool DecodeGifFile(const std::string& path, std::vector<DecodedFrame>* frames, std::string* error);

// "a,b,,c" as {"a", "b", "c"}: the lists our own flags take.
std::vector<std::string> SplitList(const std::string& text);

// ------------------------------------------------------ child processes

// Runs this program again with `args` (argv[1] onwards) and returns its exit
// status and standard output.
struct ChildResult {
  int exit_status = -1;  // -1 when it did not exit normally
  std::string output;
};
bool RunSelf(const std::vector<std::string>& args, ChildResult* result, std::string* error);

// This process's peak resident memory in KiB (VmHWM), 0 when unknown. Not
// the parent's ru_maxrss of the child: the kernel carries the high-water
// mark of the forking process's memory over into the child's account, so a
// child of a parent holding the content would report the parent's size.
long PeakResidentKib();

uint64_t NowNanoseconds();

// --------------------------------------------------------------- reporting

// The console report, plus each benchmark's per-repetition real times and
// counters, by its registered name (without Google Benchmark's suffixes).
class Recorder : public benchmark::ConsoleReporter {
 public:
  // Colours only on a terminal: reports are kept as files.
  Recorder();
  void ReportRuns(const std::vector<Run>& runs) override;

  // Real time per iteration in seconds, one value per repetition.
  const std::vector<double>* Times(const std::string& name) const;
  // The same in CPU time of this process: on a shared machine, closer to
  // what a core of its own would give than real time is.
  const std::vector<double>* CpuTimes(const std::string& name) const;
  const std::vector<double>* Counter(const std::string& name, const std::string& counter) const;
  bool any_error() const { return any_error_; }

 private:
  std::map<std::string, std::vector<double>> times_;
  std::map<std::string, std::vector<double>> cpu_times_;
  std::map<std::string, std::map<std::string, std::vector<double>>> counters_;
  bool any_error_ = false;
};

// "1.23 ms [1.20 .. 1.31]" style: the median of the values and their range.
struct Spread {
  double median = 0;
  double low = 0;
  double high = 0;
  int count = 0;
};
Spread SpreadOf(const std::vector<double>& values);
// Seconds as "812 ms [805 .. 830]" (unit chosen from the median).
std::string FormatSeconds(const Spread& spread);
std::string FormatNumber(const Spread& spread, const char* unit, int decimals);

// Initialises Google Benchmark, runs what is registered with a Recorder as
// the console reporter, then calls `summary` with it. Exit status 1 when any
// benchmark reported an error (a failed check).
int RunBenchmarks(int argc, char** argv, const std::function<void(const Recorder&)>& summary);

}  // namespace bench
