#include "host/cli/progress.h"

#include <algorithm>
#include <cstring>

namespace lodra_gif {

namespace {
constexpr int kMaxBarWidth = 24;
constexpr int kMinBarWidth = 10;
constexpr int kDefaultColumns = 80;
// The columns the terminal's "^C" takes.
constexpr int kEchoColumns = 2;
constexpr auto kRedrawEvery = std::chrono::milliseconds(100);

// "0:07", "12:34", "1:02:03".
void FormatDuration(char* out, size_t size, double seconds) noexcept {
  const double capped = seconds < 359999 ? seconds : 359999;  // 99:59:59
  const long long whole = static_cast<long long>(capped + 0.5);
  if (whole >= 3600) {
    std::snprintf(out, size, "%lld:%02lld:%02lld", whole / 3600, whole / 60 % 60, whole % 60);
  } else {
    std::snprintf(out, size, "%lld:%02lld", whole / 60, whole % 60);
  }
}

// Appends "  part" (no gap before the first) unless `part` is empty.
void Append(char* text, size_t size, const char* part) noexcept {
  if (part[0] == '\0') return;
  const size_t used = std::strlen(text);
  std::snprintf(text + used, size - used, "%s%s", used > 0 ? "  " : "", part);
}
}  // namespace

int FormatProgress(char* out, size_t size, int64_t done, int64_t total, double seconds, int columns) noexcept {
  if (size == 0) return 0;
  out[0] = '\0';
  const int limit = static_cast<int>(static_cast<size_t>(columns - 1) < size - 1 ? columns - 1 : size - 1);
  if (limit <= 0) return 0;

  const double fps = seconds > 0 ? static_cast<double>(done) / seconds : 0.0;
  char counts[64], rate[32], left[32] = "";
  if (total < 0) {
    std::snprintf(counts, sizeof counts, "%lld frames", static_cast<long long>(done));
  } else {
    std::snprintf(counts, sizeof counts, "%lld/%lld frames", static_cast<long long>(done),
                  static_cast<long long>(total));
  }
  std::snprintf(rate, sizeof rate, "%.1f fps", fps);
  if (total >= 0 && done > 0 && done < total && seconds > 0) {
    FormatDuration(left, sizeof left - 5, static_cast<double>(total - done) * seconds / static_cast<double>(done));
    std::strcat(left, " left");
  }

  // The choices, best first: what is left out when the line is too narrow.
  struct Choice {
    bool bar;
    const char* parts[3];
  } const choices[] = {
      {true, {counts, rate, left}},
      {true, {counts, left, ""}},
      {false, {counts, total < 0 ? rate : left, ""}},  // with no total there is no bar to drop
      {false, {counts, "", ""}},
  };
  for (const Choice& choice : choices) {
    if (choice.bar && total < 0) continue;
    char text[160] = "";
    for (const char* part : choice.parts) Append(text, sizeof text, part);
    const int length = static_cast<int>(std::strlen(text));
    if (!choice.bar) {
      if (length > limit) continue;
      std::snprintf(out, size, "%s", text);
      return length;
    }
    const int room = limit - length - 3;  // "[", "] "
    if (room < kMinBarWidth) continue;
    const int width = room < kMaxBarWidth ? room : kMaxBarWidth;
    const int64_t filled = total > 0 ? (done < total ? done : total) * width / total : width;
    char bar[kMaxBarWidth + 1];
    for (int i = 0; i < width; ++i) bar[i] = i < filled ? '#' : '-';
    bar[width] = '\0';
    return std::snprintf(out, size, "[%s] %s", bar, text);
  }
  // Not even the counts fit: as much of them as does.
  std::snprintf(out, static_cast<size_t>(limit) + 1, "%s", counts);
  return static_cast<int>(std::strlen(out));
}

ProgressLine::ProgressLine(std::FILE* out, bool terminal, bool draw, int64_t total, int (*columns)(std::FILE*))
    : out_(out),
      terminal_(terminal),
      enabled_(terminal && draw),
      total_(total),
      start_(std::chrono::steady_clock::now()),
      columns_(columns) {}

int ProgressLine::Columns() const noexcept { return columns_ != nullptr ? columns_(out_) : kDefaultColumns; }

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
  // The echo of Ctrl-C must fit after the line.
  const int columns = Columns() - kEchoColumns;
  char line[160];
  const int length = FormatProgress(line, sizeof line, done, total_, elapsed.count(), columns);
  // Blanks over whatever a longer earlier line left behind, within the
  // terminal's width as it is now.
  const int cover = width_ < columns - 1 ? width_ : columns - 1;
  const int pad = cover > length ? cover - length : 0;
  if (length > width_) width_ = length;
  std::fprintf(out_, "\r%s%*s", line, pad, "");
  std::fflush(out_);
}

void ProgressLine::Finish(bool interrupted) noexcept {
  // The echo is at most kEchoColumns past the longest line drawn, or at the
  // start of a line when none was.
  const int blanks = (drawn_ ? width_ : 0) + (interrupted ? kEchoColumns : 0);
  if (!terminal_ || blanks == 0) return;
  const int columns = Columns();
  std::fprintf(out_, "\r%*s\r", blanks < columns - 1 ? blanks : columns - 1, "");
  std::fflush(out_);
}

std::string FormatBytes(uint64_t bytes) {
  char text[64];
  if (bytes < 1024) {
    std::snprintf(text, sizeof text, "%llu bytes", static_cast<unsigned long long>(bytes));
  } else if (bytes < 1024 * 1024) {
    std::snprintf(text, sizeof text, "%.1f KiB", static_cast<double>(bytes) / 1024);
  } else if (bytes < 1024 * 1024 * 1024) {
    std::snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(bytes) / (1024 * 1024));
  } else {
    std::snprintf(text, sizeof text, "%.1f GiB", static_cast<double>(bytes) / (1024 * 1024 * 1024));
  }
  return text;
}

std::string FormatPlayingTime(int64_t hundredths) {
  char text[64];
  std::snprintf(text, sizeof text, "%lld.%02lld s", static_cast<long long>(hundredths / 100),
                static_cast<long long>(hundredths % 100));
  return text;
}

std::string FormatSeconds(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.2f s", seconds);
  return text;
}

std::string FormatRate(FrameRate rate) {
  // Below a thousandth of a frame a second three decimals say 0.
  if (1000 * static_cast<int64_t>(rate.rate) < rate.scale)
    return std::to_string(rate.rate) + "/" + std::to_string(rate.scale) + " fps";
  char text[64];
  std::snprintf(text, sizeof text, "%.3f", static_cast<double>(rate.rate) / rate.scale);
  std::string digits = text;
  while (digits.back() == '0') digits.pop_back();
  if (digits.back() == '.') digits.pop_back();
  return digits + " fps";
}

std::string FormatFrames(int64_t frames) { return std::to_string(frames) + (frames == 1 ? " frame" : " frames"); }

std::string SizeWarning(uint64_t bytes, std::optional<uint64_t> input_bytes, const std::string& smaller) {
  const std::string gif = "the GIF is " + FormatBytes(bytes);
  // bytes > ratio * input, without the product.
  if (input_bytes && bytes > 0 && (bytes - 1) / kLargeGifRatio >= *input_bytes) {
    return gif + ", " + std::to_string(bytes / std::max<uint64_t>(*input_bytes, 1)) + " times its input's " +
           FormatBytes(*input_bytes) + ": " + smaller;
  }
  if (bytes > kLargeGifBytes) return gif + ", more than " + FormatBytes(kLargeGifBytes) + ": " + smaller;
  return "";
}

std::string RateWarning(FrameRate rate, const std::string& lower) {
  const int64_t fps_numerator = rate.rate, fps_denominator = rate.scale;  // 31 bits each: no overflow below
  const std::string at = "at " + FormatRate(rate) + " ";
  if (100 * fps_denominator > 65535 * fps_numerator) {
    return at + "a frame lasts longer than 655.35 s, the longest delay a GIF holds: every frame is shown for "
                "655.35 s";
  }
  if (fps_numerator > 100 * fps_denominator) {
    return at + "a frame lasts less than 1/100 s, the shortest delay a GIF holds: most frames get a delay of 0, "
                "and browsers play a delay of 0 or 1 as 1/10 s, so the GIF plays far too slowly; " + lower;
  }
  if (RateTooHighForBrowsers(rate)) {
    return at + "frames get delays of 1/100 s, which browsers play as 1/10 s, so the GIF plays too slowly; " + lower;
  }
  return "";
}

}  // namespace lodra_gif
