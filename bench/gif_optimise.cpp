// Optimises one GIF file with the GIF optimiser, fed 64 KiB at a time as a
// file that is still being written would be, and says what it did: the
// sizes, the frames, the time. With --check it then plays the input and the
// output with giflib the way a browser composites them and fails unless
// they show the same pictures for the same times.
//
//   gif_optimise [--workers=N] [--check] IN.gif OUT.gif
//   gif_optimise --plays-as A.gif B.gif
//
// --workers: the worker pool's size (0: everything in this thread); by
// default one a processor this process may use. --plays-as optimises
// nothing: it fails unless A plays as B does (lodra-gif's optimised GIF
// against its --no-optimize one, say).
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "host/output/gif_optimiser.h"
#include "host/output/worker_pool.h"
#include "tests/support/gif_composite.h"

namespace {

bool ReadWhole(const char* path, std::vector<uint8_t>* bytes) {
  std::FILE* file = std::fopen(path, "rb");
  if (file == nullptr) return false;
  uint8_t buffer[1 << 16];
  size_t count;
  while ((count = std::fread(buffer, 1, sizeof buffer, file)) > 0) bytes->insert(bytes->end(), buffer, buffer + count);
  const bool ok = std::ferror(file) == 0;
  std::fclose(file);
  return ok;
}

// "" when `have` plays as `want` does, composited as browsers do; else how not.
std::string PlaysAs(const std::vector<uint8_t>& have, const std::vector<uint8_t>& want, size_t* pictures) {
  testing_support::Playback have_played, want_played;
  std::string error;
  if (!testing_support::PlayGif(want, &want_played, &error) || !testing_support::PlayGif(have, &have_played, &error))
    return error;
  *pictures = testing_support::JoinStillRuns(want_played.pictures).size();
  return testing_support::PlaybackDifference(have_played, want_played);
}

}  // namespace

int main(int argc, char** argv) {
  int workers = lodra_gif::AvailableProcessors();
  bool check = false, plays_as = false;
  std::vector<const char*> paths;
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], "--workers=", 10) == 0) {
      workers = std::atoi(argv[i] + 10);
    } else if (std::strcmp(argv[i], "--check") == 0) {
      check = true;
    } else if (std::strcmp(argv[i], "--plays-as") == 0) {
      plays_as = true;
    } else {
      paths.push_back(argv[i]);
    }
  }
  if (paths.size() != 2 || workers < 0) {
    std::fprintf(stderr, "usage: gif_optimise [--workers=N] [--check] IN.gif OUT.gif\n"
                         "       gif_optimise --plays-as A.gif B.gif\n");
    return 2;
  }
  if (plays_as) {
    std::vector<uint8_t> a, b;
    size_t pictures = 0;
    const std::string difference =
        !ReadWhole(paths[0], &a) || !ReadWhole(paths[1], &b) ? "cannot read them" : PlaysAs(a, b, &pictures);
    if (!difference.empty()) {
      std::fprintf(stderr, "gif_optimise: %s does not play as %s: %s\n", paths[0], paths[1], difference.c_str());
      return 1;
    }
    std::printf("%s plays as %s (%zu distinct pictures)\n", paths[0], paths[1], pictures);
    return 0;
  }
  std::vector<uint8_t> input;
  if (!ReadWhole(paths[0], &input)) {
    std::fprintf(stderr, "gif_optimise: cannot read %s\n", paths[0]);
    return 1;
  }
  std::FILE* out = std::fopen(paths[1], "wb");
  if (out == nullptr) {
    std::fprintf(stderr, "gif_optimise: cannot create %s\n", paths[1]);
    return 1;
  }

  lodra_gif::WorkerPool pool(workers);
  const auto start = std::chrono::steady_clock::now();
  const std::clock_t cpu_start = std::clock();
  lodra_gif::FileSink sink(out);
  bool ok;
  lodra_gif::OptimiserStats stats;
  std::string failure;
  {
    lodra_gif::GifOptimiser optimiser(&sink, &pool);
    ok = true;
    for (size_t at = 0; ok && at < input.size(); at += 1 << 16)
      ok = optimiser.Feed(input.data() + at, std::min<size_t>(1 << 16, input.size() - at));
    ok = ok && optimiser.Finish();
    stats = optimiser.stats();
    failure = optimiser.Describe();
  }
  ok = sink.Flush() && ok;
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const double cpu = static_cast<double>(std::clock() - cpu_start) / CLOCKS_PER_SEC;
  ok = std::fclose(out) == 0 && ok;
  if (!ok) {
    std::fprintf(stderr, "gif_optimise: %s\n", failure.c_str());
    return 1;
  }
  const double frames = static_cast<double>(stats.frames_in > 0 ? stats.frames_in : 1);
  std::printf("%s: %llu bytes, %lld frames -> %s: %llu bytes (%.1f%%), %lld frames (%lld kept as they were, %lld "
              "merged); %.0f ms, %.2f ms a frame, CPU %.0f ms, %d workers\n",
              paths[0], static_cast<unsigned long long>(stats.bytes_in), static_cast<long long>(stats.frames_in),
              paths[1], static_cast<unsigned long long>(stats.bytes_out),
              100.0 * static_cast<double>(stats.bytes_out) / static_cast<double>(stats.bytes_in),
              static_cast<long long>(stats.frames_out), static_cast<long long>(stats.frames_kept),
              static_cast<long long>(stats.frames_merged), 1000 * seconds, 1000 * seconds / frames, 1000 * cpu,
              pool.workers());
  if (check) {
    std::vector<uint8_t> output;
    size_t pictures = 0;
    const std::string difference = !ReadWhole(paths[1], &output) ? "cannot read it" : PlaysAs(output, input, &pictures);
    if (!difference.empty()) {
      std::fprintf(stderr, "gif_optimise: check: %s\n", difference.c_str());
      return 1;
    }
    std::printf("check: plays as the input does (%zu distinct pictures)\n", pictures);
  }
  return 0;
}
