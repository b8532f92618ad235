#include "host/progress.h"

#include <cstring>

namespace lodra_gif {

namespace {
constexpr int kBarWidth = 24;
constexpr auto kRedrawEvery = std::chrono::milliseconds(100);
}  // namespace

int FormatProgress(char* out, size_t size, int64_t done, int64_t total, double seconds) noexcept {
  const double fps = seconds > 0 ? static_cast<double>(done) / seconds : 0.0;
  if (total < 0) {
    return std::snprintf(out, size, "%lld frames  %.1f fps", static_cast<long long>(done), fps);
  }
  char bar[kBarWidth + 1];
  const int64_t filled = total > 0 ? (done < total ? done : total) * kBarWidth / total : kBarWidth;
  for (int i = 0; i < kBarWidth; ++i) bar[i] = i < filled ? '#' : '-';
  bar[kBarWidth] = '\0';
  return std::snprintf(out, size, "[%s] %lld/%lld frames  %.1f fps", bar, static_cast<long long>(done),
                       static_cast<long long>(total), fps);
}

ProgressLine::ProgressLine(std::FILE* out, bool enabled, int64_t total)
    : out_(out), enabled_(enabled), total_(total), start_(std::chrono::steady_clock::now()) {}

void ProgressLine::Update(int64_t done) noexcept {
  if (!enabled_) return;
  const auto now = std::chrono::steady_clock::now();
  if (drawn_ && now - last_draw_ < kRedrawEvery && done != total_) return;
  last_draw_ = now;
  drawn_ = true;
  Draw(done);
}

void ProgressLine::Draw(int64_t done) noexcept {
  const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start_;
  char line[128];
  int length = FormatProgress(line, sizeof line, done, total_, elapsed.count());
  if (length < 0) return;
  if (length >= static_cast<int>(sizeof line)) length = static_cast<int>(sizeof line) - 1;
  // Blanks over whatever a longer earlier line left behind.
  const int pad = width_ > length ? width_ - length : 0;
  if (length > width_) width_ = length;
  std::fprintf(out_, "\r%s%*s", line, pad, "");
  std::fflush(out_);
}

void ProgressLine::Finish() noexcept {
  if (!enabled_ || !drawn_) return;
  std::fprintf(out_, "\r%*s\r", width_, "");
  std::fflush(out_);
}

std::string FormatBytes(uint64_t bytes) {
  char text[64];
  if (bytes < 1024) {
    std::snprintf(text, sizeof text, "%llu bytes", static_cast<unsigned long long>(bytes));
  } else if (bytes < 1024 * 1024) {
    std::snprintf(text, sizeof text, "%.1f KiB", static_cast<double>(bytes) / 1024);
  } else {
    std::snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(bytes) / (1024 * 1024));
  }
  return text;
}

std::string FormatPlayingTime(int64_t frames, FrameRate rate) {
  // The last frame ends at frames * scale * 100 / rate hundredths, rounded
  // down; the delays are the differences of those end times, so they add up
  // to exactly that. Whole seconds and hundredths apart, so that nothing
  // overflows 64 bits for any 31-bit count and rate.
  const int64_t ticks = frames * rate.scale;
  const int64_t seconds = ticks / rate.rate;
  const int64_t hundredths = ticks % rate.rate * 100 / rate.rate;
  char text[64];
  std::snprintf(text, sizeof text, "%lld.%02lld s", static_cast<long long>(seconds),
                static_cast<long long>(hundredths));
  return text;
}

std::string FormatRate(FrameRate rate) {
  char text[64];
  std::snprintf(text, sizeof text, "%.3f", static_cast<double>(rate.rate) / rate.scale);
  std::string digits = text;
  while (digits.back() == '0') digits.pop_back();
  if (digits.back() == '.') digits.pop_back();
  return digits + " fps";
}

}  // namespace lodra_gif
