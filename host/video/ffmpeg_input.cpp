#include "host/video/video_internal.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <optional>
#include <pthread.h>
#include <signal.h>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "host/cli/progress.h"
#include "host/sources/memory_budget.h"
#include "host/video/frame_queue.h"
#include "host/video/input_files.h"
#include "host/video/video_plan.h"
#include "plugin/plugin_interface.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/display.h>
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

namespace lodra_gif {
namespace {

// Frames decoded ahead, in the plug-in's layout: the plug-in encodes one
// while the next is decoded into the other, so decoding overlaps encoding,
// nothing is copied, and memory does not grow with the input. Rows of the
// staging picture start on kRowSlack boundaries, which libswscale's vector
// code likes; that code may also write up to 8 pixels past a row's end,
// into the next row (written after it) or, after the last row, into the
// slack after it (memory_budget.h).
constexpr int kQueueSlots = 2;
// Decoding errors in a row after which the input is taken as ended.
constexpr int kMaxErrorsInARow = 1000;
// A format whose timestamps may jump: a packet more than this far from where
// the one before ended, or this far before it, is taken to jump (the ffmpeg
// command's own thresholds), in microseconds.
constexpr int64_t kTimestampJumpUs = 10 * 1000000LL;
constexpr int64_t kTimestampBackUs = 100000;

std::string AvError(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {0};
  av_strerror(code, text, sizeof text);
  return text;
}

// FFmpeg's own messages go nowhere, except that the last error while the
// input is opened is kept to say why it failed ("moov atom not found"):
// the return codes alone say little.
std::mutex g_log_mutex;
std::string g_last_log_error;
// A decoder refuses a picture above its max_pixels with this, after the size.
constexpr char kMaxPixelsRefusal[] = "exceeds specified max pixel count";
std::string g_refused_picture;  // "16000x16000", as the refusal gave it

void KeepLastError(void* context, int level, const char* format, va_list args) {
  if (level > AV_LOG_ERROR) return;
  char line[256];
  int print_prefix = 0;
  av_log_format_line2(context, level, format, args, line, sizeof line, &print_prefix);
  std::string text = line;
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ' || text.back() == '.')) text.pop_back();
  std::lock_guard<std::mutex> lock(g_log_mutex);
  try {
    g_last_log_error = text;
    unsigned width = 0, height = 0;
    if (text.find(kMaxPixelsRefusal) != std::string::npos &&
        std::sscanf(text.c_str(), "Picture size %ux%u", &width, &height) == 2)
      g_refused_picture = std::to_string(width) + "x" + std::to_string(height);
  } catch (...) {
  }
}

// The picture a decoder refused as larger than max_pixels, or none.
std::optional<FrameSize> TakeRefusedPicture() {
  std::lock_guard<std::mutex> lock(g_log_mutex);
  std::string text;
  text.swap(g_refused_picture);
  unsigned width = 0, height = 0;
  if (std::sscanf(text.c_str(), "%ux%u", &width, &height) != 2) return std::nullopt;
  const auto side = [](unsigned n) { return static_cast<int32_t>(n > INT32_MAX ? INT32_MAX : n); };
  return FrameSize{side(width), side(height)};
}

std::string TakeLastLogError() {
  std::lock_guard<std::mutex> lock(g_log_mutex);
  std::string text;
  text.swap(g_last_log_error);
  return text;
}

// A read that blocks (a FIFO, a stalled device) is woken with this signal,
// whose handler does nothing: the read fails with EINTR, and FFmpeg then
// asks the interrupt callback, which says stop.
constexpr int kWakeSignal = SIGUSR2;
void IgnoreWake(int) {}

// One owner for each of FFmpeg's objects.
struct FormatCloser {
  void operator()(AVFormatContext* format) const { avformat_close_input(&format); }
};
struct FormatFreer {
  void operator()(AVFormatContext* format) const { avformat_free_context(format); }
};
struct CodecFreer {
  void operator()(AVCodecContext* codec) const { avcodec_free_context(&codec); }
};
struct FrameFreer {
  void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
struct PacketFreer {
  void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
struct SwsFreer {
  void operator()(SwsContext* sws) const { sws_freeContext(sws); }
};
using FramePtr = std::unique_ptr<AVFrame, FrameFreer>;

// Quarter turns clockwise that show the picture upright, from the stream's
// display matrix (which says how far it is turned counter-clockwise).
int QuarterTurns(const AVStream* stream) {
  size_t size = 0;
  const uint8_t* matrix = av_stream_get_side_data(stream, AV_PKT_DATA_DISPLAYMATRIX, &size);
  if (matrix == nullptr || size < 9 * sizeof(int32_t)) return 0;
  int32_t values[9];
  std::memcpy(values, matrix, sizeof values);
  const double degrees = -av_display_rotation_get(values);
  if (!std::isfinite(degrees)) return 0;
  const long turns = std::lround(degrees / 90.0) % 4;
  return static_cast<int>(turns < 0 ? turns + 4 : turns);
}

const char* PixelFormatName(int format) {
  const char* name = av_get_pix_fmt_name(static_cast<AVPixelFormat>(format));
  return name != nullptr ? name : "unknown";
}

bool HasAlpha(int format) {
  const AVPixFmtDescriptor* descriptor = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(format));
  return descriptor != nullptr && (descriptor->flags & AV_PIX_FMT_FLAG_ALPHA) != 0;
}

// ------------------------------------------------------------------ the input

// FFmpeg's reason for `code`, with the last message it logged when that
// says more.
std::string ReasonOf(int code) {
  const std::string logged = TakeLastLogError();
  if (code == AVERROR(ENOMEM)) return "not enough memory";
  const std::string text = AvError(code);
  return logged.empty() || logged == text ? text : text + " (" + logged + ")";
}

// Per-stream options for FFmpeg's decoders, freed together.
struct DecoderOptions {
  std::vector<AVDictionary*> streams;
  ~DecoderOptions() {
    for (AVDictionary*& options : streams) av_dict_free(&options);
  }
};

// What the options ask of the picture; `alpha`: a mask is made from the
// alpha channel.
PictureRequest Request(const Options& options, bool alpha) {
  PictureRequest request;
  request.width = options.width;
  request.height = options.height;
  request.max_width = options.max_width;
  request.max_height = options.max_height;
  request.mask_input = options.mask;
  request.crop = options.crop;
  request.alpha = alpha;
  return request;
}

// For a file FFmpeg cannot read given --rate alone: perhaps raw frames,
// which --size (or "-") chooses.
std::string RawFramesHint(const Options& options) {
  return options.rate && !options.size ? " (raw frames need --size WxH too)" : "";
}

constexpr AVRounding kNearest = static_cast<AVRounding>(AV_ROUND_NEAR_INF | AV_ROUND_PASS_MINMAX);

// ------------------------------------------------------------------ the input

class FfmpegInput final : public FrameSource {
 public:
  explicit FfmpegInput(bool (*stop_requested)()) : stop_requested_(stop_requested) {}
  ~FfmpegInput() override { StopDecoding(); }

  // Opens the input and plans the export, step by step; the first step that
  // fails says why.
  OpenFailure Open(const VideoBytes& bytes, const std::string& name, const Options& options, std::string* why);

  const SourcePlan& plan() const override { return plan_; }
  ReadResult Next(uint8_t** frame) noexcept override;
  InputEnd Finish(ReadResult ended, int64_t frames_kept) override;

 private:
  enum class Produced { kFrame, kEnd };

  // The steps of Open, in order.
  OpenFailure OpenContainer(const VideoBytes& bytes, const Options& options, std::string* why);
  OpenFailure OpenDecoder(const Options& options, std::string* why);
  OpenFailure SeekToStart(const Options& options, std::string* why);
  OpenFailure DecodeFirstFrame(const Options& options, std::string* why);
  OpenFailure PlanExport(const Options& options, std::string* why);
  OpenFailure ProduceFirstFrame(std::string* why);
  OpenFailure StartDecoding(std::string* why);

  std::string NoFrameAfterStart() const;
  // The export's pictures for a decoded picture `coded` with pixels
  // `sar`, as the options scale it, with `alpha` or not.
  ExportPictures PicturesFor(FrameSize coded, AVRational sar, bool alpha, const Options& options) const;
  // Whether they fit in --max-memory; false with the message.
  bool FitsInMemory(const ExportPictures& pictures, const Options& options, std::string* why);
  std::string NotEnoughMemory() const;
  // Decoders say little of a failed allocation (h264 reports it as invalid
  // data): after a decoding error, whether the decoder's pictures could be
  // had at all now.
  FrameSize CodedSize() const;
  bool DecoderMemoryAvailable() const;
  bool Decode(AVFrame* out);
  int64_t SlotOf(int64_t pts) const;
  int64_t FrameSlot(const AVFrame* frame);
  int64_t EndSlot() const;
  Produced Produce(uint8_t* slot);
  bool Convert(const AVFrame* frame, uint8_t* slot);
  bool CropView(const AVFrame* frame, int half);
  bool ScaleInto(const AVFrame* frame, uint8_t* out, size_t stride, bool bottom_up);
  void Compose(uint8_t* slot);
  void DecodeAhead() noexcept;
  void StopDecoding() noexcept;
  // After Finish: whether the input stopped because it could not be read or
  // converted (not for damaged data, which is only warned of).
  bool ReadFailed() const { return export_met_the_end_ && (read_error_ != 0 || convert_failed_ || thread_failed_); }

  static int Interrupted(void* opaque) {
    const auto* input = static_cast<FfmpegInput*>(opaque);
    return input->cancel_.load() || (input->stop_requested_ != nullptr && input->stop_requested_()) ? 1 : 0;
  }

  bool (*stop_requested_)();
  std::string name_;
  SourcePlan plan_;
  // The format context holds these: they go after it.
  std::unique_ptr<NestedOpens> nested_;
  std::unique_ptr<AVIOContext, IoCloser> io_;
  std::unique_ptr<AVFormatContext, FormatCloser> format_;
  std::unique_ptr<AVCodecContext, CodecFreer> codec_;
  std::unique_ptr<AVPacket, PacketFreer> packet_;
  std::unique_ptr<SwsContext, SwsFreer> sws_;
  AVStream* stream_ = nullptr;

  // Where the export starts, in microseconds: the input's own start time,
  // and --start after it.
  int64_t format_start_us_ = 0;
  int64_t start_us_ = 0;
  int64_t origin_us_ = 0;
  int64_t stated_us_ = -1;  // the input's stated length; -1 = not stated
  int first_format_ = -1;   // the first frame's pixel format
  int64_t max_pixels_ = 0;  // the decoder's pictures at most (--max-memory)
  // Timestamps made continuous (a format whose timestamps may jump), and
  // long stills shortened.
  std::optional<TimestampMender> mender_;
  std::optional<GapLimiter> gaps_;
  int64_t options_max_gap_ = 0;  // --max-gap in the stream's time base
  bool one_frame_ = false;  // the input is shorter than half a frame: its one frame is kept
  bool produced_any_ = false;

  // The plan.
  FrameSize picture_;            // the GIF's picture
  FrameSize frame_;              // handed to the plug-in
  FrameSize scaled_;             // what libswscale makes, before any turn
  int turns_ = 0;                // quarter turns clockwise
  FrameSize coded_;              // the first frame's coded size
  PixelRect source_;             // the part of it scaled (--crop)
  int64_t mask_offset_ = 0;      // where a --mask input's mask half starts
  bool halves_ = false;          // a --mask input scaled half by half
  bool cropping_ = false;        // frames are cut to source_ first
  FramePtr view_;                // a frame cut to source_, sharing its pixels
  bool alpha_wanted_ = false;    // a mask is made from the alpha channel, if there is one
  bool alpha_ = false;
  int alpha_threshold_ = kDefaultAlphaThreshold;
  // What the alpha channel held, over every picture composed: the most, and
  // whether any pixel came out transparent.
  int alpha_seen_ = -1;
  bool transparent_seen_ = false;
  AVRational tick_ = {1, 25};    // one output frame, in seconds
  AVRational source_rate_ = {25, 1};
  AVRational speed_ = {1, 1};    // --speed
  AVRational shown_base_ = {1, 25};  // the stream's time base, played at --speed
  int64_t origin_ = 0;           // the time of slot 0, in the stream's time base
  int64_t end_slot_ = INT64_MAX;  // --duration's end
  int64_t stated_end_slot_ = -1;  // where the input says it ends; -1 = unknown
  size_t slot_stride_ = 0;
  size_t staging_stride_ = 0;
  std::unique_ptr<uint8_t[]> staging_;  // a turned picture or one with alpha, before Compose; written whole

  // Converter state: what the context was made for.
  int sws_format_ = -1, sws_width_ = 0, sws_height_ = 0, sws_space_ = -1, sws_range_ = -1;

  // Frame choice (see video_input.h): `current_` shows over slots up to the
  // slot of `upcoming_`, or to its own end once the input has ended.
  FramePtr current_, upcoming_;
  bool have_current_ = false, have_upcoming_ = false, input_done_ = false;
  int64_t upcoming_slot_ = 0, current_end_slot_ = 0, next_slot_ = 0;
  int64_t next_pts_ = AV_NOPTS_VALUE;  // where a frame without a time is put

  // What happened on the way (the decoding thread's, read after it stops).
  bool draining_ = false;
  int64_t frames_damaged_ = 0, decode_errors_ = 0;
  int errors_in_a_row_ = 0;
  int read_error_ = 0;      // AVERROR(ENOMEM) when a picture could not be decoded for want of memory
  bool interrupted_ = false;  // reading stopped for Ctrl-C, not at the input's end
  bool convert_failed_ = false;
  bool thread_failed_ = false;

  std::unique_ptr<FrameQueue> queue_;
  std::thread thread_;
  std::atomic<bool> cancel_{false};
  std::atomic<bool> decoding_{false};  // the thread runs DecodeAhead
  bool finished_ = false;
  bool holding_ = false;  // the plug-in has the queue's oldest frame
  bool export_met_the_end_ = false;  // the export asked past the last frame made
};

int64_t FfmpegInput::SlotOf(int64_t pts) const {
  return av_rescale_q_rnd(SaturatingSubtract(pts, origin_), shown_base_, tick_, kNearest);
}

// The slot of a decoded frame; a frame without a time follows the one before.
int64_t FfmpegInput::FrameSlot(const AVFrame* frame) {
  int64_t pts = frame->best_effort_timestamp;
  if (pts == AV_NOPTS_VALUE) {
    pts = next_pts_ == AV_NOPTS_VALUE ? origin_ : next_pts_;
  } else if (gaps_) {
    pts = gaps_->Shown(pts, next_pts_);
  }
  int64_t duration = frame->pkt_duration;
  if (duration <= 0) duration = av_rescale_q(1, av_inv_q(source_rate_), stream_->time_base);
  next_pts_ = pts > INT64_MAX - duration ? INT64_MAX : pts + (duration > 0 ? duration : 1);
  return SlotOf(pts);
}

// Where the last frame decoded ends: its time plus its duration (one source
// frame when it states none).
int64_t FfmpegInput::EndSlot() const {
  return next_pts_ == AV_NOPTS_VALUE ? next_slot_ : SlotOf(next_pts_);
}

bool FfmpegInput::Decode(AVFrame* out) {
  // An error once a stop is asked for comes of the stop (a packet cut short
  // by it): it is no damage in the input.
  const auto count_error = [this] {
    if (Interrupted(this) == 0) ++decode_errors_;
  };
  for (;;) {
    if (cancel_.load()) return false;
    const int received = avcodec_receive_frame(codec_.get(), out);
    if (received == 0) {
      if ((out->decode_error_flags != 0 || (out->flags & AV_FRAME_FLAG_CORRUPT) != 0) && Interrupted(this) == 0)
        ++frames_damaged_;
      errors_in_a_row_ = 0;
      return true;
    }
    if (received == AVERROR_EOF) return false;
    if (received == AVERROR(ENOMEM)) {
      read_error_ = received;
      return false;
    }
    if (received != AVERROR(EAGAIN)) {
      count_error();
      if (++errors_in_a_row_ > kMaxErrorsInARow || draining_) return false;
      continue;
    }
    if (draining_) return false;

    const int read = av_read_frame(format_.get(), packet_.get());
    if (read < 0) {
      if (read == AVERROR_EXIT) interrupted_ = true;  // Ctrl-C: not the input's end
      else if (read != AVERROR_EOF) read_error_ = read;
      draining_ = true;
      avcodec_send_packet(codec_.get(), nullptr);
      continue;
    }
    if (packet_->stream_index != stream_->index) {
      av_packet_unref(packet_.get());
      continue;
    }
    if (mender_) {
      const int64_t duration = packet_->duration > 0 ? packet_->duration
                                                     : av_rescale_q(1, av_inv_q(source_rate_), stream_->time_base);
      const int64_t offset = mender_->Mend(packet_->dts, duration);
      if (packet_->dts != AV_NOPTS_VALUE) packet_->dts = SaturatingAdd(packet_->dts, offset);
      if (packet_->pts != AV_NOPTS_VALUE) packet_->pts = SaturatingAdd(packet_->pts, offset);
    }
    // Every frame ready was taken above, so the decoder takes this packet.
    const int sent = avcodec_send_packet(codec_.get(), packet_.get());
    av_packet_unref(packet_.get());
    if (sent == AVERROR(ENOMEM)) {
      read_error_ = sent;
      return false;
    }
    if (sent < 0 && sent != AVERROR(EAGAIN)) {
      count_error();
      if (++errors_in_a_row_ > kMaxErrorsInARow) return false;
    }
  }
}

FfmpegInput::Produced FfmpegInput::Produce(uint8_t* slot) {
  for (;;) {
    if (next_slot_ >= end_slot_) return Produced::kEnd;
    if (have_current_) {
      const int64_t until = have_upcoming_ ? upcoming_slot_ : input_done_ ? current_end_slot_ : next_slot_;
      if (next_slot_ < until) {
        if (!Convert(current_.get(), slot)) return Produced::kEnd;
        ++next_slot_;
        produced_any_ = true;
        return Produced::kFrame;
      }
    }
    if (input_done_) return Produced::kEnd;
    if (have_upcoming_) {
      std::swap(current_, upcoming_);
      have_current_ = true;
      have_upcoming_ = false;
    }
    av_frame_unref(upcoming_.get());
    if (!Decode(upcoming_.get())) {
      if (cancel_.load()) return Produced::kEnd;
      input_done_ = true;
      current_end_slot_ = EndSlot();
      // Shorter than half a frame at the GIF's rate, the input ends before
      // its first slot: its frame is kept, once, rather than none.
      if (!produced_any_ && have_current_ && start_us_ == 0 && current_end_slot_ <= next_slot_) {
        current_end_slot_ = next_slot_ + 1;
        one_frame_ = true;
      }
      continue;
    }
    upcoming_slot_ = FrameSlot(upcoming_.get());
    have_upcoming_ = true;
  }
}

// Converts `frame` into `slot`, in the plug-in's layout: scaled whole, or
// its --crop part (each half's, of a --mask input scaled half by half),
// then turned or given its mask where it needs to be.
bool FfmpegInput::Convert(const AVFrame* frame, uint8_t* slot) {
  const bool direct = turns_ == 0 && !alpha_ && !halves_;
  uint8_t* out = direct ? slot : staging_.get();
  const size_t stride = direct ? slot_stride_ : staging_stride_;
  if (!cropping_) {
    if (!ScaleInto(frame, out, stride, direct)) return false;
  } else {
    for (int half = 0; half < (halves_ ? 2 : 1); ++half) {
      if (!CropView(frame, half) ||
          !ScaleInto(view_.get(), out + static_cast<size_t>(half) * scaled_.height * stride, stride, direct)) {
        av_frame_unref(view_.get());
        convert_failed_ = true;
        return false;
      }
      av_frame_unref(view_.get());
    }
  }
  if (!direct) Compose(slot);
  return true;
}

// `view_` made the part of `frame` that --crop keeps, of its left half
// (`half` 0) or its right (1); a frame of another size than the first has
// the part in proportion.
bool FfmpegInput::CropView(const AVFrame* frame, int half) {
  if (av_frame_ref(view_.get(), frame) < 0) return false;
  const int64_t fw = frame->width, fh = frame->height;
  int64_t x = source_.x + half * mask_offset_, y = source_.y, w = source_.width, h = source_.height;
  if (fw != coded_.width || fh != coded_.height) {
    x = x * fw / coded_.width;
    w = w * fw / coded_.width;
    y = y * fh / coded_.height;
    h = h * fh / coded_.height;
  }
  x = std::clamp<int64_t>(x, 0, fw - 1);
  y = std::clamp<int64_t>(y, 0, fh - 1);
  w = std::clamp<int64_t>(w, 1, fw - x);
  h = std::clamp<int64_t>(h, 1, fh - y);
  view_->crop_left = static_cast<size_t>(x);
  view_->crop_right = static_cast<size_t>(fw - x - w);
  view_->crop_top = static_cast<size_t>(y);
  view_->crop_bottom = static_cast<size_t>(fh - y - h);
  return av_frame_apply_cropping(view_.get(), AV_FRAME_CROP_UNALIGNED) >= 0;
}

// Scales `frame` into the picture at `out` (rows `stride` apart), from its
// bottom row up when `bottom_up`.
bool FfmpegInput::ScaleInto(const AVFrame* frame, uint8_t* out, size_t stride, bool bottom_up) {
  // Colours as the stream states them (matrix and range); FFmpeg's own
  // defaults where it states none.
  if (sws_ == nullptr || frame->format != sws_format_ || frame->width != sws_width_ ||
      frame->height != sws_height_ || frame->colorspace != sws_space_ || frame->color_range != sws_range_) {
    sws_.reset(sws_getContext(frame->width, frame->height, static_cast<AVPixelFormat>(frame->format),
                              scaled_.width, scaled_.height, alpha_ ? AV_PIX_FMT_BGRA : AV_PIX_FMT_BGR24,
                              SWS_BICUBIC, nullptr, nullptr, nullptr));
    if (sws_ == nullptr) {
      convert_failed_ = true;
      return false;
    }
    int* inverse = nullptr;
    int* table = nullptr;
    int source_full = 0, destination_full = 0, brightness = 0, contrast = 0, saturation = 0;
    if (sws_getColorspaceDetails(sws_.get(), &inverse, &source_full, &table, &destination_full, &brightness,
                                 &contrast, &saturation) >= 0) {
      const int* matrix = frame->colorspace != AVCOL_SPC_UNSPECIFIED ? sws_getCoefficients(frame->colorspace)
                                                                     : inverse;
      if (frame->color_range != AVCOL_RANGE_UNSPECIFIED) source_full = frame->color_range == AVCOL_RANGE_JPEG;
      sws_setColorspaceDetails(sws_.get(), matrix, source_full, table, destination_full, brightness, contrast,
                               saturation);
    }
    sws_format_ = frame->format;
    sws_width_ = frame->width;
    sws_height_ = frame->height;
    sws_space_ = frame->colorspace;
    sws_range_ = frame->color_range;
  }
  // Straight into the slot when nothing is turned or masked: the source is
  // read from its bottom row up (each plane's last row, negative strides), so
  // that the rows come out bottom-up as the plug-in takes them, and
  // libswscale still writes forwards.
  const bool direct = bottom_up;
  const uint8_t* source[4] = {frame->data[0], frame->data[1], frame->data[2], frame->data[3]};
  int source_strides[4] = {frame->linesize[0], frame->linesize[1], frame->linesize[2], frame->linesize[3]};
  if (direct) {
    const AVPixFmtDescriptor* descriptor = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(frame->format));
    const bool palette = (descriptor->flags & AV_PIX_FMT_FLAG_PAL) != 0;
    for (int plane = 0; plane < 4 && source[plane] != nullptr; ++plane) {
      if (palette && plane == 1) break;  // the palette, not a picture
      const int shift = plane == 1 || plane == 2 ? descriptor->log2_chroma_h : 0;
      const int rows = AV_CEIL_RSHIFT(frame->height, shift);
      source[plane] += static_cast<ptrdiff_t>(rows - 1) * source_strides[plane];
      source_strides[plane] = -source_strides[plane];
    }
  }
  uint8_t* planes[4] = {out, nullptr, nullptr, nullptr};
  const int strides[4] = {static_cast<int>(stride), 0, 0, 0};
  if (sws_scale(sws_.get(), source, source_strides, 0, frame->height, planes, strides) <= 0) {
    convert_failed_ = true;
    return false;
  }
  return true;
}

// The staging picture (scaled, not yet turned; blue, green, red and, with
// alpha, its alpha; a --mask input's two halves one above the other) into
// the slot: turned upright, and the mask beside the picture.
void FfmpegInput::Compose(uint8_t* slot) {
  const int bytes = alpha_ ? 4 : 3;
  const int64_t sw = scaled_.width, sh = scaled_.height;
  const int64_t w = picture_.width, h = picture_.height;
  for (int64_t y = 0; y < h; ++y) {
    uint8_t* row = slot + static_cast<size_t>(h - 1 - y) * slot_stride_;  // bottom-up
    uint8_t* mask = row + 3 * w;
    for (int64_t x = 0; x < w; ++x) {
      // Output (x, y) comes from staging (sx, sy).
      int64_t sx = x, sy = y;
      switch (turns_) {
        case 1: sx = y; sy = sh - 1 - x; break;           // clockwise
        case 2: sx = sw - 1 - x; sy = sh - 1 - y; break;  // upside down
        case 3: sx = sw - 1 - y; sy = x; break;           // counter-clockwise
        default: break;
      }
      const uint8_t* source = staging_.get() + static_cast<size_t>(sy) * staging_stride_ + bytes * sx;
      row[3 * x] = source[0];
      row[3 * x + 1] = source[1];
      row[3 * x + 2] = source[2];
      if (halves_) {  // the mask half, below the picture in the staging picture
        const uint8_t* shade = source + static_cast<size_t>(sh) * staging_stride_;
        mask[3 * x] = shade[0];
        mask[3 * x + 1] = shade[1];
        mask[3 * x + 2] = shade[2];
      }
      if (alpha_) {
        const uint8_t shade = source[3] >= alpha_threshold_ ? 255 : 0;
        mask[3 * x] = mask[3 * x + 1] = mask[3 * x + 2] = shade;
        alpha_seen_ = std::max<int>(alpha_seen_, source[3]);
        transparent_seen_ = transparent_seen_ || shade == 0;
      }
    }
  }
}

OpenFailure FfmpegInput::Open(const VideoBytes& bytes, const std::string& name, const Options& options,
                              std::string* why) {
  name_ = name;
  plan_.name = name;
  max_pixels_ = MaxDecodedPixels(options.max_memory);
  av_log_set_callback(KeepLastError);
  TakeLastLogError();
  TakeRefusedPicture();
  OpenFailure failure = OpenContainer(bytes, options, why);
  if (failure == OpenFailure::kNone) failure = OpenDecoder(options, why);
  if (failure == OpenFailure::kNone) failure = SeekToStart(options, why);
  if (failure == OpenFailure::kNone) failure = DecodeFirstFrame(options, why);
  if (failure == OpenFailure::kNone) failure = PlanExport(options, why);
  if (failure == OpenFailure::kNone) failure = ProduceFirstFrame(why);
  if (failure == OpenFailure::kNone) failure = StartDecoding(why);
  return failure;
}

// The file (or memory) opened as input_files.h says, its format found and
// refused when it names other files, and its streams found.
OpenFailure FfmpegInput::OpenContainer(const VideoBytes& bytes, const Options& options, std::string* why) {
  AVFormatContext* format = avformat_alloc_context();
  if (format == nullptr) {
    *why = "not enough memory to open " + name_;
    return OpenFailure::kInput;
  }
  // Until avformat_open_input has it, which frees it on failure.
  std::unique_ptr<AVFormatContext, FormatFreer> unopened(format);
  format->interrupt_callback.callback = Interrupted;
  format->interrupt_callback.opaque = this;
  // Nothing but local files, for this context and any a demuxer makes.
  AVDictionary* open_options = nullptr;
  av_dict_set(&open_options, "protocol_whitelist", "file", 0);
  // --rate: the rate of a format that has none of its own, which is one
  // whose demuxer takes this option (image sequences and pictures, raw
  // elementary streams); any other leaves it unused and is refused below.
  if (options.rate) {
    av_dict_set(&open_options, "framerate",
                (std::to_string(options.rate->rate) + "/" + std::to_string(options.rate->scale)).c_str(), 0);
  }
  std::unique_ptr<AVDictionary*, void (*)(AVDictionary**)> free_options(&open_options, av_dict_free);

  NestedOpens::Allow allow = options.allow_references ? NestedOpens::Allow::kLocalFiles : NestedOpens::Allow::kNone;
  std::string url;
  const AVInputFormat* input_format = nullptr;
  AVIOContext* io = nullptr;
  int opened = 0;
  if (bytes.data != nullptr) {
    // In memory nothing else is opened, whatever the options.
    allow = NestedOpens::Allow::kNone;
    opened = OpenMemoryIo(bytes.data, bytes.size, &io);
  } else {
    url = PathUrl(bytes.path);
    switch (ClassifyInput(bytes.path)) {
      case InputName::kFile: opened = OpenFileIo(bytes.path, format->interrupt_callback, &io); break;
      case InputName::kFolder:
        *why = name_ + " is a folder, not a video file";
        return OpenFailure::kInput;
      case InputName::kMissing: opened = AVERROR(ENOENT); break;
      case InputName::kPattern:
        // The image-sequence demuxer opens its own pictures; nothing else.
        input_format = av_find_input_format("image2");
        av_dict_set(&open_options, "pattern_type", "sequence", 0);
        if (allow == NestedOpens::Allow::kNone) allow = NestedOpens::Allow::kOwnPictures;
        break;
    }
  }
  io_.reset(io);
  if (opened >= 0 && io != nullptr) {
    // The format, before its demuxer reads anything.
    opened = av_probe_input_buffer2(io, &input_format, url.c_str(), nullptr, 0, 0);
    if (opened >= 0) {
      if (const char* kind = ReferenceKind(input_format)) {
        if (!options.allow_references) {
          *why = name_ + " is " + kind + ", which names other files for its pictures; they are read only with " +
                 "--allow-references";
          return OpenFailure::kInput;
        }
        if (IsPlaylist(input_format)) {
          io_.release();
          opened = EndPlaylist(&io);
          io_.reset(io);
        }
      }
    }
    format->pb = io;
    format->flags |= AVFMT_FLAG_CUSTOM_IO;
  }
  nested_ = std::make_unique<NestedOpens>(allow);
  nested_->Attach(format);
  if (opened >= 0) {
    unopened.release();
    opened = avformat_open_input(&format, url.c_str(), input_format, &open_options);
    if (opened >= 0) format_.reset(format);
  }
  const auto references = [this, why] {
    *why = name_ + " names another file for its pictures (" + nested_->refused() +
           "); it is read only with --allow-references";
    return OpenFailure::kInput;
  };
  if (opened < 0) {
    if (!nested_->refused().empty()) return references();
    *why = (opened == AVERROR_INVALIDDATA ? name_ + " is not a video or picture file FFmpeg can read: "
                                          : "cannot open " + name_ + ": ") +
           ReasonOf(opened) + (opened == AVERROR_INVALIDDATA ? RawFramesHint(options) : "");
    return OpenFailure::kInput;
  }
  if (options.rate && av_dict_get(open_options, "framerate", nullptr, 0) != nullptr) {
    *why = name_ + " has a rate of its own, which --rate does not change (it gives one to image sequences, " +
           "pictures and raw frames); --fps sets the GIF's rate, --speed plays it faster";
    return OpenFailure::kUsage;
  }
  // Stream information is found by decoding a little: those decoders are
  // held to the same pictures as ours, on one thread.
  DecoderOptions decoders;
  try {
    decoders.streams.assign(format->nb_streams, nullptr);
  } catch (const std::bad_alloc&) {
    *why = "not enough memory to read " + name_;
    return OpenFailure::kInput;
  }
  for (AVDictionary*& stream_options : decoders.streams) {
    av_dict_set_int(&stream_options, "max_pixels", max_pixels_, 0);
    av_dict_set(&stream_options, "threads", "1", 0);
  }
  const int found = avformat_find_stream_info(format, decoders.streams.data());
  if (!nested_->refused().empty()) return references();
  if (found < 0) {
    *why = "cannot read " + name_ + ": " + ReasonOf(found);
    return OpenFailure::kInput;
  }
  return OpenFailure::kNone;
}

// The video stream chosen, the others left unread, and its decoder opened.
OpenFailure FfmpegInput::OpenDecoder(const Options& options, std::string* why) {
  AVFormatContext* format = format_.get();
  const AVCodec* decoder = nullptr;
  const int index = av_find_best_stream(format, AVMEDIA_TYPE_VIDEO, -1, -1, &decoder, 0);
  if (index == AVERROR_STREAM_NOT_FOUND ||
      (index >= 0 && (format->streams[index]->disposition & AV_DISPOSITION_ATTACHED_PIC) != 0)) {
    bool audio = false;
    for (unsigned i = 0; i < format->nb_streams; ++i)
      audio = audio || format->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO;
    *why = name_ + " has no video stream" + (audio ? " (only audio)" : "");
    return OpenFailure::kInput;
  }
  if (index < 0) {
    const int first = av_find_best_stream(format, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    const char* codec = first >= 0 ? avcodec_get_name(format->streams[first]->codecpar->codec_id) : "unknown";
    *why = name_ + ": its video (codec " + codec + ") cannot be decoded by this build's FFmpeg libraries";
    return OpenFailure::kInput;
  }
  stream_ = format->streams[index];
  for (unsigned i = 0; i < format->nb_streams; ++i)
    if (static_cast<int>(i) != index) format->streams[i]->discard = AVDISCARD_ALL;

  // FFmpeg's own VP8 and VP9 decoders leave out the alpha a WebM file keeps
  // beside the picture; libvpx's read it.
  alpha_wanted_ = !options.no_alpha && !options.mask;
  const AVDictionaryEntry* alpha_mode = av_dict_get(stream_->metadata, "alpha_mode", nullptr, 0);
  if (alpha_wanted_ && alpha_mode != nullptr && std::strcmp(alpha_mode->value, "1") == 0) {
    const AVCodecID id = stream_->codecpar->codec_id;
    const AVCodec* with_alpha = avcodec_find_decoder_by_name(id == AV_CODEC_ID_VP9 ? "libvpx-vp9"
                                                             : id == AV_CODEC_ID_VP8 ? "libvpx"
                                                                                      : "");
    if (with_alpha != nullptr) decoder = with_alpha;
  }
  const std::string codec_name = avcodec_get_name(stream_->codecpar->codec_id);

  // The pictures the stream declares, against --max-memory before the
  // decoder makes any (the first frame's are checked again).
  const AVCodecParameters* declared = stream_->codecpar;
  if (declared->width > 0 && declared->height > 0) {
    const AVRational sar = av_guess_sample_aspect_ratio(format, stream_, nullptr);
    turns_ = QuarterTurns(stream_);
    const ExportPictures pictures = PicturesFor({declared->width, declared->height}, sar,
                                                alpha_wanted_ && HasAlpha(declared->format), options);
    if (!FitsInMemory(pictures, options, why)) return OpenFailure::kUsage;
  }

  // Timestamps: mended where the format says they may jump; long stills
  // shortened everywhere.
  const AVRational tick = stream_->time_base;
  if ((format->iformat->flags & AVFMT_TS_DISCONT) != 0)
    mender_.emplace(av_rescale_q(kTimestampJumpUs, AV_TIME_BASE_Q, tick),
                    av_rescale_q(kTimestampBackUs, AV_TIME_BASE_Q, tick));
  options_max_gap_ = av_rescale_q(options.max_gap_us.value_or(kDefaultMaxGapUs), AV_TIME_BASE_Q, tick);
  gaps_.emplace(options_max_gap_);

  codec_.reset(avcodec_alloc_context3(decoder));
  packet_.reset(av_packet_alloc());
  current_.reset(av_frame_alloc());
  view_.reset(av_frame_alloc());
  upcoming_.reset(av_frame_alloc());
  if (codec_ == nullptr || packet_ == nullptr || current_ == nullptr || upcoming_ == nullptr || view_ == nullptr) {
    *why = "not enough memory to decode " + name_;
    return OpenFailure::kInput;
  }
  int status = avcodec_parameters_to_context(codec_.get(), stream_->codecpar);
  codec_->pkt_timebase = stream_->time_base;
  // One thread: decoding already runs beside the export, and a thread
  // pool would hold more pictures.
  codec_->thread_count = 1;
  codec_->max_pixels = max_pixels_;
  if (status >= 0) status = avcodec_open2(codec_.get(), decoder, nullptr);
  if (status < 0) {
    *why = "cannot decode " + name_ + "'s video (" + codec_name + "): " + ReasonOf(status) + RawFramesHint(options);
    return OpenFailure::kInput;
  }
  return OpenFailure::kNone;
}

// Where the export starts: --start after the input's own start time.
OpenFailure FfmpegInput::SeekToStart(const Options& options, std::string* why) {
  AVFormatContext* format = format_.get();
  format_start_us_ = format->start_time != AV_NOPTS_VALUE ? format->start_time : 0;
  start_us_ = options.start_us.value_or(0);
  stated_us_ = format->duration > 0 ? format->duration : -1;
  if (options.start_us && stated_us_ >= 0 && start_us_ >= stated_us_) {
    *why = "--start " + FormatSeconds(static_cast<double>(start_us_) / AV_TIME_BASE) + " is not before the end of " +
           name_ + " (" + FormatSeconds(static_cast<double>(stated_us_) / AV_TIME_BASE) + " long)";
    return OpenFailure::kUsage;
  }
  origin_us_ = SaturatingSubtract(format_start_us_, -start_us_);
  origin_ = av_rescale_q(origin_us_, AV_TIME_BASE_Q, stream_->time_base);
  if (start_us_ > 0) {
    // To the key frame at or before the start; frames before it are
    // decoded and passed over. Failing that, from the beginning.
    if (avformat_seek_file(format, -1, INT64_MIN, origin_us_, origin_us_, 0) < 0)
      avformat_seek_file(format, -1, INT64_MIN, format_start_us_, format_start_us_, 0);
  }
  return OpenFailure::kNone;
}

ExportPictures FfmpegInput::PicturesFor(FrameSize coded, AVRational sar, bool alpha, const Options& options) const {
  const VideoPictures sizes =
      PlanPictures(coded.width, coded.height, sar.num, sar.den, turns_, Request(options, alpha));
  ExportPictures pictures;
  pictures.frame = sizes.frame;
  pictures.mask = alpha || options.mask;
  pictures.held_frames = kQueueSlots;
  pictures.decoded = coded;
  // Turned or with alpha, the picture is scaled into a staging one first;
  // a --mask input scaled half by half, its two halves one above the other.
  if (sizes.halves) {
    const int64_t both = 2 * int64_t{sizes.scaled.height};
    pictures.staging = {sizes.scaled.width, static_cast<int32_t>(std::min<int64_t>(both, INT32_MAX))};
    pictures.staging_channels = 3;
  } else if (turns_ != 0 || alpha) {
    pictures.staging = sizes.scaled;
    pictures.staging_channels = alpha ? 4 : 3;
  }
  pictures.optimiser_workers = OptimiserWorkers(options);
  return pictures;
}

bool FfmpegInput::FitsInMemory(const ExportPictures& pictures, const Options& options, std::string* why) {
  std::string reason;
  if (CheckMemoryOptimising(pictures, options.max_memory, &plan_, &reason)) return true;
  const FrameSize picture = {static_cast<int32_t>(PictureWidthOf(pictures.frame.width, pictures.mask)),
                             pictures.frame.height};
  *why = name_ + " shows " + SizeText(picture) + reason;
  return false;
}

FrameSize FfmpegInput::CodedSize() const {
  if (codec_ != nullptr && codec_->width > 0 && codec_->height > 0) return {codec_->width, codec_->height};
  if (stream_ != nullptr) return {stream_->codecpar->width, stream_->codecpar->height};
  return {};
}

bool FfmpegInput::DecoderMemoryAvailable() const {
  ExportPictures decoder;
  decoder.decoded = CodedSize();
  decoder.held_frames = 0;
  return MemoryAvailable(MemoryNeeded(decoder));
}

// Why decoding stopped for want of memory, with what the decoder was making.
std::string FfmpegInput::NotEnoughMemory() const {
  std::string what = "not enough memory to decode";
  const FrameSize coded = CodedSize();
  if (coded.width > 0 && coded.height > 0) {
    const AVPixelFormat format = codec_ != nullptr && codec_->pix_fmt != AV_PIX_FMT_NONE
                                     ? codec_->pix_fmt
                                     : static_cast<AVPixelFormat>(stream_->codecpar->format);
    const int bytes = av_image_get_buffer_size(format, coded.width, coded.height, 1);
    what += " its " + SizeText(coded) + " pictures" +
            (bytes > 0 ? " (" + FormatBytes(static_cast<uint64_t>(bytes)) + " each)" : std::string());
  }
  return what;
}

std::string FfmpegInput::NoFrameAfterStart() const {
  return name_ + " has no frame at or after --start " + FormatSeconds(static_cast<double>(start_us_) / AV_TIME_BASE);
}

// The first frame, which says what the pictures are.
OpenFailure FfmpegInput::DecodeFirstFrame(const Options& options, std::string* why) {
  TakeRefusedPicture();  // one the stream information's decoding met is said by the declared size
  if (!Decode(upcoming_.get())) {
    // A picture larger than the decoder may make, which the stream did not
    // declare: the size it asked for.
    if (const std::optional<FrameSize> refused = TakeRefusedPicture()) {
      const AVRational sar = av_guess_sample_aspect_ratio(format_.get(), stream_, nullptr);
      if (!FitsInMemory(PicturesFor(*refused, sar, false, options), options, why)) return OpenFailure::kUsage;
      *why = name_ + " has pictures of " + SizeText(*refused) + ", more than the " + std::to_string(max_pixels_) +
             " pixels --max-memory lets the decoder make";
      return OpenFailure::kUsage;
    }
    if (read_error_ == AVERROR(ENOMEM) || !DecoderMemoryAvailable()) {
      *why = name_ + ": " + NotEnoughMemory();
      return OpenFailure::kInput;
    }
    if (start_us_ > 0) {
      *why = NoFrameAfterStart();
      return OpenFailure::kUsage;
    }
    const std::string logged = TakeLastLogError();
    *why = name_ + ": no frame could be decoded" +
           (read_error_ != 0 ? " (" + ReasonOf(read_error_) + ")" : logged.empty() ? "" : " (" + logged + ")");
    return OpenFailure::kInput;
  }
  have_upcoming_ = true;
  const AVFrame* first = upcoming_.get();
  first_format_ = first->format;
  if (first->width < 1 || first->height < 1 || !sws_isSupportedInput(static_cast<AVPixelFormat>(first->format))) {
    *why = name_ + ": pictures in pixel format " + PixelFormatName(first->format) + " cannot be converted";
    return OpenFailure::kInput;
  }
  return OpenFailure::kNone;
}

// The rate, the sizes and the slots to export (video_plan.h), and the
// memory the frames are made in.
OpenFailure FfmpegInput::PlanExport(const Options& options, std::string* why) {
  AVFormatContext* format = format_.get();
  const AVFrame* first = upcoming_.get();

  // The rate: the stream's, brought to 50 fps or below unless --fps says.
  source_rate_ = av_guess_frame_rate(format, stream_, upcoming_.get());
  if (source_rate_.num <= 0 || source_rate_.den <= 0) source_rate_ = {25, 1};
  av_reduce(&source_rate_.num, &source_rate_.den, source_rate_.num, source_rate_.den, INT32_MAX);
  if (source_rate_.num <= 0 || source_rate_.den <= 0) source_rate_ = {25, 1};
  // --speed divides every time by F before frames are chosen: the source
  // plays at F times its rate. --start and --duration stay in its own time.
  if (options.speed) speed_ = {options.speed->rate, options.speed->scale};
  shown_base_ = av_div_q(stream_->time_base, speed_);
  const AVRational us_shown = av_div_q(AV_TIME_BASE_Q, speed_);
  AVRational shown_rate = av_mul_q(source_rate_, speed_);
  if (shown_rate.num <= 0 || shown_rate.den <= 0) shown_rate = source_rate_;
  const FrameRate source_rate = {shown_rate.num, shown_rate.den};
  int32_t rate_divisor = 1;
  plan_.rate = options.fps ? *options.fps : BrowserRate(source_rate, &rate_divisor);
  tick_ = {plan_.rate.scale, plan_.rate.rate};

  // The picture: upright, square pixels, scaled as asked; the memory its
  // buffers take within --max-memory.
  turns_ = QuarterTurns(stream_);
  alpha_ = alpha_wanted_ && HasAlpha(first->format);
  alpha_threshold_ = options.alpha_threshold.value_or(kDefaultAlphaThreshold);
  const AVRational sar = av_guess_sample_aspect_ratio(format, stream_, upcoming_.get());
  // A --mask input too narrow to hold a picture beside its mask: there is
  // nothing to scale.
  std::string refused;
  if (options.mask && first->width < 2) {
    CheckFrameSize({first->width, first->height}, true, &refused);
    *why = name_ + ": " + refused;
    return OpenFailure::kUsage;
  }
  const VideoPictures sizes =
      PlanPictures(first->width, first->height, sar.num, sar.den, turns_, Request(options, alpha_));
  if (options.crop && (int64_t{options.crop->x} + options.crop->size.width > sizes.shown.width ||
                       int64_t{options.crop->y} + options.crop->size.height > sizes.shown.height)) {
    *why = "--crop " + SizeText(options.crop->size) + "+" + std::to_string(options.crop->x) + "+" +
           std::to_string(options.crop->y) + " reaches outside " + name_ + "'s picture, " + SizeText(sizes.shown) +
           (options.mask ? " (the left half)" : "") + " as shown";
    return OpenFailure::kUsage;
  }
  picture_ = sizes.picture;
  frame_ = sizes.frame;
  scaled_ = sizes.scaled;
  coded_ = {first->width, first->height};
  source_ = sizes.source;
  mask_offset_ = sizes.mask_offset;
  halves_ = sizes.halves;
  cropping_ = options.crop.has_value() || halves_;
  plan_.frame = frame_;
  plan_.mask = alpha_ || options.mask;
  const ExportPictures pictures = PicturesFor({first->width, first->height}, sar, alpha_, options);
  if (!FitsInMemory(pictures, options, why)) return OpenFailure::kUsage;
  if (!CheckFrameSize(frame_, plan_.mask, &refused)) {
    *why = name_ + " shows " + SizeText(picture_) + (plan_.mask ? " with a mask beside it" : "") +
           ", more than the plug-in takes (" + refused + "); give a smaller --width or --height";
    return OpenFailure::kUsage;
  }

  // Which slots: from --start (slot 0) or the first frame, to --duration.
  upcoming_slot_ = FrameSlot(upcoming_.get());
  std::optional<int64_t> duration_slots, stated_end_slot;
  if (options.duration_us) duration_slots = av_rescale_q_rnd(*options.duration_us, us_shown, tick_, kNearest);
  int64_t stream_end = -1;
  if (stream_->duration > 0 && stream_->duration != AV_NOPTS_VALUE) {
    const int64_t stream_start = stream_->start_time != AV_NOPTS_VALUE ? stream_->start_time : 0;
    stream_end = av_rescale_q(stream_start, stream_->time_base, AV_TIME_BASE_Q) +
                 av_rescale_q(stream_->duration, stream_->time_base, AV_TIME_BASE_Q);
  } else if (stated_us_ >= 0) {
    stream_end = format_start_us_ + stated_us_;
  }
  if (stream_end >= 0) {
    stated_end_slot = av_rescale_q_rnd(SaturatingSubtract(stream_end, origin_us_), us_shown, tick_, kNearest);
    stated_end_slot_ = *stated_end_slot;
  }
  const VideoRange range = PlanRange(upcoming_slot_, options.start_us.has_value(), duration_slots, stated_end_slot);
  next_slot_ = range.first_slot;
  end_slot_ = range.end_slot;
  plan_.length = range.length;
  plan_.expected = range.expected;

  plan_.own_frames = true;
  plan_.lower_rate = "give --fps 50 or less, e.g. --fps 25";
  if (rate_divisor > 1) {
    plan_.notes.push_back(name_ + " runs at " + FormatRate(source_rate) + (options.speed ? " at --speed" : "") +
                          "; the GIF keeps one frame in " +
                          std::to_string(rate_divisor) + ", at " + FormatRate(plan_.rate) +
                          ", since browsers play GIF delays below 2/100 s as 1/10 s (--fps sets another rate)");
  }

  // Within the budget, every size here is far below SIZE_MAX.
  slot_stride_ = static_cast<size_t>(HostFrameStride(frame_.width));
  staging_stride_ = static_cast<size_t>(StagingStride(pictures.staging.width, pictures.staging_channels));
  try {
    if (pictures.staging_channels > 0) {
      staging_.reset(new uint8_t[static_cast<size_t>(StagingBytes(pictures.staging, pictures.staging_channels))]);
    }
    queue_.reset(new FrameQueue(kQueueSlots, static_cast<size_t>(HeldFrameBytes(frame_))));
  } catch (const std::bad_alloc&) {
    *why = "not enough memory for " + std::to_string(kQueueSlots) + " frames of " + SizeText(frame_) + " (" +
           FormatBytes(kQueueSlots * HeldFrameBytes(frame_)) + ")";
    return OpenFailure::kInput;
  }
  return OpenFailure::kNone;
}

// The first frame to export, made before anything is written: an input
// that gives none is refused here.
OpenFailure FfmpegInput::ProduceFirstFrame(std::string* why) {
  if (Produce(queue_->WaitForFree()) != Produced::kFrame) {
    if (read_error_ == AVERROR(ENOMEM)) {
      *why = name_ + ": " + NotEnoughMemory();
      return OpenFailure::kInput;
    }
    if (convert_failed_) {
      *why = "cannot convert " + name_ + "'s pictures (" + PixelFormatName(first_format_) + ")";
      return OpenFailure::kInput;
    }
    if (start_us_ > 0) {
      *why = NoFrameAfterStart();
      return OpenFailure::kUsage;
    }
    *why = name_ + " has no frame to export";
    return OpenFailure::kInput;
  }
  queue_->Publish();
  if (one_frame_) {
    const double tick = av_q2d(tick_);
    const double length = static_cast<double>(SaturatingSubtract(next_pts_, origin_)) * av_q2d(stream_->time_base);
    plan_.notes.push_back(name_ + " lasts " + FormatSeconds(length) + ", less than half a frame at " +
                          FormatRate(plan_.rate) + " (" + FormatSeconds(tick) + " a frame): the GIF is one frame");
  }
  return OpenFailure::kNone;
}

OpenFailure FfmpegInput::StartDecoding(std::string* why) {
  struct sigaction wake = {};
  wake.sa_handler = IgnoreWake;
  sigemptyset(&wake.sa_mask);
  sigaction(kWakeSignal, &wake, nullptr);  // no SA_RESTART: the read fails with EINTR
  decoding_.store(true);
  try {
    thread_ = std::thread([this] { DecodeAhead(); });
  } catch (const std::system_error& e) {
    decoding_.store(false);
    *why = std::string("cannot start the decoding thread: ") + e.what();
    return OpenFailure::kInput;
  }
  return OpenFailure::kNone;
}

void FfmpegInput::DecodeAhead() noexcept {
  try {
    for (;;) {
      uint8_t* slot = queue_->WaitForFree();
      if (slot == nullptr || Produce(slot) != Produced::kFrame) break;
      queue_->Publish();
    }
  } catch (...) {
    thread_failed_ = true;
  }
  queue_->Finish();
  decoding_.store(false);
}

ReadResult FfmpegInput::Next(uint8_t** frame) noexcept {
  if (finished_) return ReadResult::kEnd;
  // The plug-in asks for the next frame once it is done with the last.
  if (holding_) queue_->Release();
  holding_ = false;
  switch (queue_->WaitForFrame(frame, stop_requested_)) {
    case FrameQueue::Wait::kFrame: break;
    case FrameQueue::Wait::kEnd:
      export_met_the_end_ = true;
      return ReadResult::kEnd;
    case FrameQueue::Wait::kStopped: return ReadResult::kInterrupted;
  }
  holding_ = true;
  return ReadResult::kFrame;
}

void FfmpegInput::StopDecoding() noexcept {
  cancel_.store(true);
  if (queue_ != nullptr) queue_->Close();
  if (!thread_.joinable()) return;
  // Waiting for room ends with Close; a blocked read needs waking.
  while (decoding_.load()) {
    pthread_kill(thread_.native_handle(), kWakeSignal);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  thread_.join();
}

InputEnd FfmpegInput::Finish(ReadResult ended, int64_t frames_kept) {
  // Decoding may still be ahead of the export, or waiting for room.
  StopDecoding();
  finished_ = true;
  // What went wrong, said once, in one line.
  std::vector<std::string> problems;
  // Frames lost are those the decoder refused. (Packets are no measure:
  // a frame may come in two field packets, and a VP8 stream has packets
  // that show nothing.)
  const int64_t lost = decode_errors_;
  const bool short_of_memory = (lost > 0 || frames_damaged_ > 0) && !DecoderMemoryAvailable();
  if (lost > 0) {
    problems.push_back(FormatFrames(lost) + " could not be decoded (" +
                       (short_of_memory ? NotEnoughMemory() : "corrupt data") +
                       "; the frame before is shown in its place)");
  }
  if (frames_damaged_ > 0) {
    problems.push_back(std::to_string(frames_damaged_) + (frames_damaged_ == 1 ? " frame was" : " frames were") +
                       " decoded with damage (corrupt data)");
  }
  // Why the input ended, when the export met that end: decoding runs ahead,
  // so what stopped it after the export's last frame cut nothing from the GIF.
  // Where it ended is set against where the input says it ends (less a
  // little: containers round, and may count another stream's length).
  if (export_met_the_end_) {
    const double tick = av_q2d(tick_);
    const std::string ended = FormatSeconds(static_cast<double>(current_end_slot_) * tick);
    // Timestamps mended or stills shortened, the end it states is not where
    // its frames now end.
    const bool retimed = (mender_ && mender_->jumps() > 0) || (gaps_ && gaps_->count() > 0);
    if (read_error_ != 0) {
      problems.push_back("reading it stopped at " + ended + ": " +
                         (read_error_ == AVERROR(ENOMEM) ? NotEnoughMemory() : AvError(read_error_)) +
                         "; the GIF ends there");
    } else if (input_done_ && !interrupted_ && !retimed && stated_end_slot_ >= 0 && current_end_slot_ < end_slot_ &&
               current_end_slot_ < stated_end_slot_ - std::max<int64_t>(2, stated_end_slot_ / 20)) {
      problems.push_back("it ends at " + ended + ", before the " +
                         FormatSeconds(static_cast<double>(stated_end_slot_) * tick) +
                         " it states (a truncated file?); the GIF ends there");
    }
    if (convert_failed_) problems.push_back("a picture could not be converted; the GIF ends there");
    if (thread_failed_) problems.push_back("decoding failed unexpectedly; the GIF ends there");
  }
  // Alpha that never reaches the threshold leaves nothing opaque.
  if (alpha_ && alpha_seen_ >= 0 && alpha_seen_ < alpha_threshold_) {
    problems.push_back("its alpha is at most " + std::to_string(alpha_seen_) + ", below --alpha-threshold " +
                       std::to_string(alpha_threshold_) + ", so every pixel of the GIF is transparent" +
                       " (give a lower --alpha-threshold, or --no-alpha for an opaque GIF)");
  }
  InputEnd end;
  // Said only of a GIF that came out transparent somewhere.
  if (transparent_seen_ && alpha_seen_ >= alpha_threshold_) {
    end.notes.push_back(name_ + " has an alpha channel: the GIF is transparent where it is (--no-alpha: opaque)");
  }
  if (gaps_ && gaps_->count() > 0) {
    const double base = av_q2d(stream_->time_base);
    const GapLimiter::Gap& gap = gaps_->first();
    end.notes.push_back(name_ + ": a still of " + FormatSeconds(static_cast<double>(gap.length) * base) +
                        " after " + FormatSeconds(static_cast<double>(SaturatingSubtract(gap.at, origin_)) * base) +
                        " was shortened to " + FormatSeconds(static_cast<double>(options_max_gap_) * base) +
                        " (--max-gap)" +
                        (gaps_->count() > 1 ? "; " + std::to_string(gaps_->count() - 1) + " more as well" : ""));
  }
  if (!problems.empty()) end.warning = name_ + ": ";
  for (size_t i = 0; i < problems.size(); ++i) end.warning += (i > 0 ? "; " : "") + problems[i];
  // A failed read is said in the warning; the GIF holds the frames before.
  end.failed = ReadFailed();
  if (frames_kept == 0 && ended != ReadResult::kFrame && ended != ReadResult::kInterrupted) {
    end.error = name_ + " holds no whole frame";
    end.failed = true;
  }
  return end;
}


}  // namespace

std::unique_ptr<FrameSource> OpenVideoInput(const VideoBytes& bytes, const std::string& name, const Options& options,
                                            bool (*stop_requested)(), OpenFailure* failure, std::string* why) {
  std::unique_ptr<FfmpegInput> input(new (std::nothrow) FfmpegInput(stop_requested));
  if (input == nullptr) {
    *failure = OpenFailure::kInput;
    *why = "not enough memory to open " + name;
    return nullptr;
  }
  *failure = input->Open(bytes, name, options, why);
  if (*failure != OpenFailure::kNone) return nullptr;
  return input;
}

}  // namespace lodra_gif
