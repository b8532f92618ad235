#include "host/sources/still_pictures.h"

#include <algorithm>
#include <cmath>
#include <set>
#include <utility>

#include "host/output/output_target.h"
#include "host/video/video_input.h"
#include "host/video/video_plan.h"
#include "host/cli/progress.h"
#include "host/cli/values.h"
#include "host/system.h"

namespace lodra_gif {
namespace {

// A picture's own rate when --rate gives none.
constexpr FrameRate kPictureRate = {25, 1};

class StillPictures final : public FrameSource {
 public:
  StillPictures(std::vector<std::string> pictures, bool (*stop_requested)())
      : pictures_(std::move(pictures)), stop_requested_(stop_requested) {}

  OpenFailure Open(const Options& options, std::string* why);
  const SourcePlan& plan() const override { return plan_; }
  ReadResult Next(uint8_t** frame) noexcept override;
  InputEnd Finish(ReadResult ended, int64_t frames_kept) override;

 private:
  // The slot picture `n` starts at: n / R seconds at the GIF's rate, to the
  // nearest slot, as frames are chosen from a video.
  int64_t StartSlot(size_t n) const;
  // Opens picture `n` with `options` and takes its one frame; false with
  // the reason in error_.
  bool OpenPicture(size_t n, const Options& options);
  // Ends the picture open, keeping what it says.
  void ClosePicture();

  std::vector<std::string> pictures_;
  bool (*stop_requested_)();
  SourcePlan plan_;
  Options later_;  // the pictures after the first: the first's size and alpha
  FrameRate rate_ = kPictureRate;
  std::unique_ptr<FrameSource> current_;
  uint8_t* frame_ = nullptr;  // the open picture's frame, the source's own
  size_t index_ = 0;          // the picture open, or to open next
  int64_t slot_ = 0;          // the next slot handed over
  std::vector<std::string> warnings_;
  std::vector<std::string> notes_;
  std::set<std::string> said_;  // the notes said, without the picture's name
  std::string error_;
};

int64_t StillPictures::StartSlot(size_t n) const {
  // n * (fps / R) slots; long double holds the 62-bit products exactly enough.
  const long double slots = static_cast<long double>(n) * plan_.rate.rate * rate_.scale /
                            (static_cast<long double>(plan_.rate.scale) * rate_.rate);
  if (slots >= static_cast<long double>(INT64_MAX)) return INT64_MAX;
  // The first picture is always shown, however high --rate is.
  return std::max<int64_t>(n > 0 ? 1 : 0, std::llround(slots));
}

bool StillPictures::OpenPicture(size_t n, const Options& options) {
  OpenFailure failure = OpenFailure::kNone;
  std::string why;
  std::unique_ptr<FrameSource> picture = OpenVideoFile(pictures_[n], options, stop_requested_, &failure, &why);
  if (picture == nullptr) {
    error_ = why;
    return false;
  }
  const SourcePlan& own = picture->plan();
  if (n > 0 && own.mask != plan_.mask) {
    error_ = pictures_[n] + " has no alpha channel, unlike " + pictures_[0] + " (--no-alpha makes them all opaque)";
    return false;
  }
  if (n > 0 && (own.frame.width != plan_.frame.width || own.frame.height != plan_.frame.height)) {
    error_ = pictures_[n] + " comes out " + SizeText(own.frame) + ", not " + SizeText(plan_.frame);
    return false;
  }
  current_ = std::move(picture);
  uint8_t* frame = nullptr;
  if (current_->Next(&frame) != ReadResult::kFrame || frame == nullptr) {
    ClosePicture();
    if (error_.empty()) error_ = pictures_[n] + " holds no picture";
    return false;
  }
  frame_ = frame;
  return true;
}

void StillPictures::ClosePicture() {
  if (current_ == nullptr) return;
  InputEnd end = current_->Finish(ReadResult::kFrame, 1);
  current_.reset();
  frame_ = nullptr;
  // A note every picture gives (its alpha) is said once, of the first.
  const std::string& name = pictures_[index_];
  for (std::string& note : end.notes) {
    if (said_.insert(note.compare(0, name.size(), name) == 0 ? note.substr(name.size()) : note).second)
      notes_.push_back(std::move(note));
  }
  if (!end.warning.empty()) warnings_.push_back(std::move(end.warning));
  if (!end.error.empty() && error_.empty()) error_ = std::move(end.error);
}

OpenFailure StillPictures::Open(const Options& options, std::string* why) {
  const struct {
    bool given;
    const char* name;
  } kTimes[] = {{options.start_us.has_value(), "--start"},
                {options.duration_us.has_value(), "--duration"},
                {options.speed.has_value(), "--speed"},
                {options.max_gap_us.has_value(), "--max-gap"}};
  for (const auto& time : kTimes) {
    if (!time.given) continue;
    *why = std::string(time.name) + " works on one video file, not on a sequence of pictures";
    return OpenFailure::kUsage;
  }
  if (!CheckOptionsApply(options, InputKind::kVideo, why)) return OpenFailure::kUsage;
  for (const std::string& picture : pictures_) {
    if (!SameFile(picture, options.output)) continue;
    *why = picture + " is also the output";
    return OpenFailure::kUsage;
  }

  rate_ = options.rate.value_or(kPictureRate);
  int32_t divisor = 1;
  plan_.rate = options.fps ? *options.fps : BrowserRate(rate_, &divisor);

  // The first picture as the options ask; each one gives a single frame.
  Options first = options;
  first.input = pictures_[0];
  first.rate.reset();
  first.fps.reset();
  if (!OpenPicture(0, first)) {
    *why = error_;
    return OpenFailure::kInput;
  }
  const SourcePlan& own = current_->plan();
  plan_.frame = own.frame;
  plan_.mask = own.mask;
  later_ = first;
  later_.width = static_cast<int32_t>(PictureWidthOf(own.frame.width, own.mask));
  later_.height = own.frame.height;
  later_.max_width.reset();
  later_.max_height.reset();
  // A mask the options did not ask for is the first picture's alpha.
  if (!own.mask) later_.no_alpha = true;

  plan_.name = pictures_[0] + " and " + std::to_string(pictures_.size() - 1) + " more pictures";
  plan_.length = StartSlot(pictures_.size());
  plan_.expected = plan_.length;
  plan_.own_frames = true;
  plan_.lower_rate = "give --fps 50 or less, e.g. --fps 25";
  if (divisor > 1) {
    plan_.notes.push_back("the pictures at " + FormatRate(rate_) + " are brought to " + FormatRate(plan_.rate) +
                          " (--fps sets another rate)");
  }
  return OpenFailure::kNone;
}

ReadResult StillPictures::Next(uint8_t** frame) noexcept {
  try {
    while (index_ < pictures_.size()) {
      if (slot_ < StartSlot(index_ + 1)) {
        if (current_ == nullptr && !OpenPicture(index_, later_)) return ReadResult::kError;
        *frame = frame_;
        ++slot_;
        return ReadResult::kFrame;
      }
      // Shown for its slots, or in none (--fps below --rate): the next one.
      ClosePicture();
      ++index_;
    }
  } catch (...) {
    error_ = "not enough memory for " + pictures_[index_];
    return ReadResult::kError;
  }
  return ReadResult::kEnd;
}

InputEnd StillPictures::Finish(ReadResult, int64_t frames_kept) {
  ClosePicture();
  InputEnd end;
  end.notes = std::move(notes_);
  for (size_t i = 0; i < warnings_.size(); ++i) end.warning += (i > 0 ? "; " : "") + warnings_[i];
  if (!error_.empty()) {
    end.error = error_;
    end.failed = true;
  } else if (frames_kept == 0) {
    end.error = plan_.name + " gave no frame";
    end.failed = true;
  }
  return end;
}

}  // namespace

bool AreStillPictures(const std::vector<std::string>& inputs) {
  static const char* const kExtensions[] = {".png", ".jpg", ".jpeg", ".bmp", ".tif", ".tiff", ".webp",
                                            ".ppm", ".pgm", ".pbm",  ".pam", ".tga", ".qoi",  ".jxl"};
  if (inputs.empty()) return false;
  for (const std::string& input : inputs) {
    const std::string name = BaseName(input);
    const size_t dot = name.rfind('.');
    if (dot == std::string::npos) return false;
    const std::string extension = AsciiLowercase(name.substr(dot));
    bool still = false;
    for (const char* known : kExtensions) still = still || extension == known;
    if (!still) return false;
  }
  return true;
}

std::unique_ptr<FrameSource> OpenStillPictures(const std::vector<std::string>& pictures, const Options& options,
                                               bool (*stop_requested)(), OpenFailure* failure, std::string* why) {
  if (pictures.empty()) {
    *failure = OpenFailure::kUsage;
    *why = "no picture given";
    return nullptr;
  }
  auto source = std::make_unique<StillPictures>(pictures, stop_requested);
  *failure = source->Open(options, why);
  if (*failure != OpenFailure::kNone) return nullptr;
  return source;
}

}  // namespace lodra_gif
