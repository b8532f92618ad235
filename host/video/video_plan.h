// The arithmetic of a video file's export, apart from FFmpeg so that each
// rule is tested on its own: the GIF's rate, the picture's shown and scaled
// size, the frame handed over, and which output frames the export takes.
// The video input (ffmpeg_input.cpp) feeds these what the file says.
//
// Output frames are counted in slots: slot n is the GIF's frame n, at n
// ticks of the GIF's rate after the time the export starts from.
#pragma once

#include <cstdint>
#include <optional>

#include "host/cli/options.h"
#include "host/frame_format.h"

namespace lodra_gif {

// The largest whole fraction rate / k (k = 1, 2, 3, ...) that is at most
// kMaxBrowserRate frames per second; `divisor` gets k. 60 -> 30,
// 60000/1001 -> 30000/1001, 120 -> 40, 25 -> 25.
FrameRate BrowserRate(FrameRate rate, int32_t* divisor);

// The picture as it is meant to be seen: a coded `width` x `height` whose
// pixels are `sar_num`:`sar_den` (0 or negative: square) is widened or
// narrowed to square pixels, then turned by `quarter_turns` x 90 degrees.
// At least 1 x 1; a side that would not fit in 32 bits is INT32_MAX.
FrameSize DisplaySize(int64_t width, int64_t height, int64_t sar_num, int64_t sar_den, int quarter_turns);

// The GIF's picture size: `display` scaled to --width and/or --height, the
// side not given following the aspect ratio (rounded, at least 1); both
// given: exactly that; neither: `display`.
FrameSize ScaledSize(FrameSize display, std::optional<int32_t> width, std::optional<int32_t> height);

// `size` shrunk to fit within `max_width` x `max_height` (none: no bound),
// keeping its shape (rounded, at least 1); never enlarged.
FrameSize FitWithin(FrameSize size, std::optional<int32_t> max_width, std::optional<int32_t> max_height);

// What the options ask of the picture; every size is the GIF's picture.
struct PictureRequest {
  std::optional<int32_t> width, height;          // --width, --height: exactly
  std::optional<int32_t> max_width, max_height;  // --max-width, --max-height: at most, keeping the shape
  // --mask: the input's right half is a mask, the left half the picture;
  // both halves are scaled alike and handed over side by side.
  bool mask_input = false;
  bool alpha = false;  // a mask is made from the alpha channel and put beside the picture
  std::optional<CropRect> crop;  // --crop, in the picture as shown
};

// A rectangle of the coded picture, in its pixels.
struct PixelRect {
  int64_t x = 0, y = 0, width = 0, height = 0;
};

// `crop`, a rectangle of the picture as shown (`shown`: coded_width x
// coded_height with its pixels made square, then turned by quarter_turns),
// in the coded picture: the turn undone, then the width scaled back by the
// pixel aspect (rounded, at least 1, within the picture).
PixelRect CodedRect(const CropRect& crop, FrameSize shown, int64_t coded_width, int64_t coded_height,
                    int quarter_turns);

// The sizes of a video's export.
struct VideoPictures {
  FrameSize shown;    // the picture as shown (the left half of a --mask input), which --crop is within
  FrameSize picture;  // the GIF's: shown upright with square pixels, cropped, then scaled
  FrameSize frame;    // handed to the plug-in: with a mask, the mask beside the picture (at most INT32_MAX wide)
  FrameSize scaled;   // what the scaler makes of each decoded picture (each half), before it is turned
  // The part of the coded picture scaled (of a --mask input, its left half's
  // part; the mask's is `mask_offset` to the right).
  PixelRect source;
  int64_t mask_offset = 0;
  // A --mask input turned or cropped is scaled half by half, and each half
  // turned alike; otherwise it is scaled whole, straight into the frame.
  bool halves = false;
};
VideoPictures PlanPictures(int64_t coded_width, int64_t coded_height, int64_t sar_num, int64_t sar_den,
                           int quarter_turns, const PictureRequest& request);

// Which slots the export takes.
struct VideoRange {
  int64_t first_slot = 0;           // the first slot exported
  int64_t end_slot = INT64_MAX;     // the slot it stops before; INT64_MAX: where the input ends
  std::optional<int64_t> length;    // slots at most (--duration)
  std::optional<int64_t> expected;  // slots to the input's stated end, for the progress bar
};
// From --start (slot 0; without it the first frame's slot, `first_frame_slot`),
// for --duration's `duration_slots` (at least 1), and to where the input
// says it ends, `stated_end_slot`, when it says.
VideoRange PlanRange(int64_t first_frame_slot, bool from_start, std::optional<int64_t> duration_slots,
                     std::optional<int64_t> stated_end_slot);

// a - b and a + b, held at INT64_MIN and INT64_MAX rather than wrapping.
int64_t SaturatingSubtract(int64_t a, int64_t b);
int64_t SaturatingAdd(int64_t a, int64_t b);

// No time: FFmpeg's AV_NOPTS_VALUE.
constexpr int64_t kNoTime = INT64_MIN;

// The timestamps of a format that says they may jump (MPEG-TS and the like:
// streams cut and joined restart their clock, or leap by an hour) made
// continuous, the way the ffmpeg command makes them: a packet whose decoding
// time is more than `jump` from where the packet before ended, or more than
// `back` before that packet's own time, is put where the packet before
// ended, and every packet after it is moved by as much. Times in the
// stream's time base.
class TimestampMender {
 public:
  TimestampMender(int64_t jump, int64_t back) : jump_(jump), back_(back) {}
  // What to add to the times of a packet decoded at `dts` (kNoTime: it
  // states none) that lasts `duration`.
  int64_t Mend(int64_t dts, int64_t duration);
  int64_t jumps() const { return jumps_; }

 private:
  int64_t jump_, back_;
  int64_t offset_ = 0;
  int64_t last_ = kNoTime;  // the packet before, mended
  int64_t next_ = kNoTime;  // where it ended
  int64_t jumps_ = 0;
};

// Stills between frames held to `max_gap`: a frame that starts more than
// `max_gap` after the frame before ended starts `max_gap` after it, and the
// frames after it move with it, so that a few bytes cannot ask for hours of
// frames. A still up to `max_gap` keeps its length. Times in the stream's
// time base.
class GapLimiter {
 public:
  explicit GapLimiter(int64_t max_gap) : max_gap_(max_gap) {}
  // The shown time of a frame at `pts` when the frame before ended at
  // `expected` (a shown time; kNoTime for the first frame).
  int64_t Shown(int64_t pts, int64_t expected);

  struct Gap {
    int64_t at = 0;      // where the frame before ended, shown
    int64_t length = 0;  // how long the still was
  };
  const Gap& first() const { return first_; }
  int64_t count() const { return count_; }
  int64_t removed() const { return removed_; }  // time taken out, in all

 private:
  int64_t max_gap_;
  int64_t offset_ = 0;
  Gap first_;
  int64_t count_ = 0;
  int64_t removed_ = 0;
};

}  // namespace lodra_gif
