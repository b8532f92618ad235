// What lodra-gif tells the user while it works and when it is done.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

#include "host/frame_format.h"

namespace lodra_gif {

// One line on a terminal, rewritten in place with '\r':
//   [##########----------] 42/75 frames  31.5 fps  0:01 left
// or, when the number of frames is not known (a pipe read to its end):
//   1234 frames  31.5 fps
// Drawn at most ten times a second, always shorter than the terminal is wide
// by two columns more than it must be: a line that wrapped would no longer
// be rewritten in place, and Ctrl-C has the terminal echo "^C" after it.
// Everything here is noexcept and allocates nothing: it runs inside the
// plug-in's callbacks.
class ProgressLine {
 public:
  // `terminal`: `out` is a terminal; the line is drawn only on one, and
  // only when `draw`. `total` below 0: not known. `columns` tells the
  // terminal's width before every drawing (it may change); null: 80
  // columns.
  ProgressLine(std::FILE* out, bool terminal, bool draw, int64_t total, int (*columns)(std::FILE*) = nullptr);
  void Update(int64_t done) noexcept;
  // Clears the line so that what follows starts on a clean one; after
  // Ctrl-C (`interrupted`) the "^C" the terminal echoed goes too, whether
  // after the line or alone at the start of one.
  void Finish(bool interrupted) noexcept;

 private:
  void Draw(int64_t done) noexcept;
  int Columns() const noexcept;

  std::FILE* out_;
  bool terminal_;
  bool enabled_;
  int64_t total_;
  std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point last_draw_;
  int (*columns_)(std::FILE*);
  bool drawn_ = false;
  int width_ = 0;  // characters of the longest line drawn
};

// The text of a progress line (without '\r') into `out`, at most
// `columns` - 1 characters (and `size` - 1): the parts that do not fit are
// left out, the fps first, then the bar, then the time left. Returns its length.
int FormatProgress(char* out, size_t size, int64_t done, int64_t total, double seconds, int columns) noexcept;

// "812 bytes", "41.3 KiB", "12.0 MiB", "2.5 GiB".
std::string FormatBytes(uint64_t bytes);
// A playing time of `hundredths` hundredths of a second: "3.00 s".
std::string FormatPlayingTime(int64_t hundredths);
// A time to the hundredth: "0.91 s".
std::string FormatSeconds(double seconds);
// "25 fps", "29.97 fps".
std::string FormatRate(FrameRate rate);
// "1 frame", "3 frames".
std::string FormatFrames(int64_t frames);

// A GIF of `bytes` is large for what it holds above kLargeGifBytes, or above
// kLargeGifRatio times the size of the input file (`input_bytes`; none for
// a pipe, a sequence of pictures or the demo).
constexpr uint64_t kLargeGifBytes = 20 * 1024 * 1024;
constexpr uint64_t kLargeGifRatio = 10;
// The warning for a GIF that is large, ending with `smaller`, how the input
// at hand makes a smaller one; "" for one that is not.
std::string SizeWarning(uint64_t bytes, std::optional<uint64_t> input_bytes, const std::string& smaller);

// What GIF delays, whole hundredths of a second from 0 to 65535, make of
// frames at `rate` (a frame lasts 100 / fps hundredths), when that is not
// what the rate asks for; "" when it is. Above 50 fps it ends with `lower`,
// how the input at hand is given a lower rate.
std::string RateWarning(FrameRate rate, const std::string& lower);

}  // namespace lodra_gif
