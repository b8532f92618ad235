// What lodra-gif tells the user while it works and when it is done.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

#include "host/options.h"

namespace lodra_gif {

// One line on a terminal, rewritten in place with '\r':
//   [##########----------]   42/75 frames  31.5 fps
// or, when the number of frames is not known (a pipe read to its end):
//   1234 frames  31.5 fps
// Drawn at most ten times a second. Everything here is noexcept and
// allocates nothing: it runs inside the plug-in's callbacks.
class ProgressLine {
 public:
  // `total` below 0: not known. A disabled line draws nothing.
  ProgressLine(std::FILE* out, bool enabled, int64_t total);
  void Update(int64_t done) noexcept;
  // Clears the line so that what follows starts on a clean one.
  void Finish() noexcept;

 private:
  void Draw(int64_t done) noexcept;

  std::FILE* out_;
  bool enabled_;
  int64_t total_;
  std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point last_draw_;
  bool drawn_ = false;
  int width_ = 0;  // characters of the longest line drawn
};

// The text of a progress line (without '\r') into `out`; returns its length.
int FormatProgress(char* out, size_t size, int64_t done, int64_t total, double seconds) noexcept;

// "812 bytes", "41.3 KiB", "12.0 MiB".
std::string FormatBytes(uint64_t bytes);
// Playing time of `frames` frames at `rate` as the GIF's delays add up
// (whole hundredths of a second): "3.00 s".
std::string FormatPlayingTime(int64_t frames, FrameRate rate);
// "25 fps", "29.97 fps".
std::string FormatRate(FrameRate rate);

}  // namespace lodra_gif
