#include "host/sources/raw.h"

#include <cerrno>
#include <cstring>

#include "host/sources/memory_budget.h"
#include "host/system.h"
#include "plugin/plugin_interface.h"

namespace lodra_gif {

RawFrameReader::RawFrameReader(std::FILE* file, FrameSize size, bool (*stop_requested)())
    : file_(file), size_(size), stop_requested_(stop_requested) {}

size_t RawFrameReader::ReadFully(uint8_t* out, size_t size, ReadResult* stop) noexcept {
  size_t done = 0;
  while (done < size) {
    done += std::fread(out + done, 1, size - done, file_);
    if (done == size) break;
    if (std::feof(file_)) {
      *stop = ReadResult::kEnd;
      break;
    }
    // A signal during a read on a pipe stops it short with EINTR; the bytes
    // read before it are kept, so the read simply goes on unless asked to stop.
    const int error = errno;
    if (error == EINTR && std::ferror(file_)) {
      std::clearerr(file_);
      if (stop_requested_ != nullptr && stop_requested_()) {
        *stop = ReadResult::kInterrupted;
        break;
      }
      continue;
    }
    error_number_ = error;
    *stop = ReadResult::kError;
    break;
  }
  return done;
}

ReadResult RawFrameReader::Next(uint8_t** out) noexcept {
  uint8_t* frame = *out;
  // Raw rows run top-down, so the first one read is the last one in memory.
  const size_t row_bytes = 3 * static_cast<size_t>(size_.width);
  const size_t stride = static_cast<size_t>(HostFrameStride(size_.width));
  uint64_t done = 0;
  for (int32_t y = 0; y < size_.height; ++y) {
    uint8_t* row = frame + static_cast<size_t>(size_.height - 1 - y) * stride;
    ReadResult stop = ReadResult::kFrame;
    done += ReadFully(row, row_bytes, &stop);
    if (stop == ReadResult::kFrame) continue;
    if (stop == ReadResult::kEnd && done > 0) {
      partial_bytes_ = done;
      return ReadResult::kPartial;
    }
    return stop;
  }
  return ReadResult::kFrame;
}

namespace {

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

class RawFrames final : public FrameSource {
 public:
  // `owned` is closed when the source goes; standard input is left alone.
  // `trailing_bytes` follow a regular file's last whole frame.
  RawFrames(std::FILE* file, std::unique_ptr<std::FILE, FileCloser> owned, const SourcePlan& plan,
            uint64_t trailing_bytes, bool (*stop_requested)())
      : owned_(std::move(owned)), plan_(plan), trailing_bytes_(trailing_bytes),
        reader_(file, plan.frame, stop_requested) {}

  const SourcePlan& plan() const override { return plan_; }
  ReadResult Next(uint8_t** frame) noexcept override { return reader_.Next(frame); }
  InputEnd Finish(ReadResult ended, int64_t frames_kept) override;

 private:
  std::string PartFrameWarning(uint64_t bytes) const {
    return plan_.name + " ends with " + std::to_string(bytes) + " bytes, less than a whole " +
           SizeText(plan_.frame) + " frame (" + std::to_string(RawFrameBytes(plan_.frame)) +
           " bytes); that part-frame was left out";
  }

  std::unique_ptr<std::FILE, FileCloser> owned_;
  SourcePlan plan_;
  uint64_t trailing_bytes_;
  RawFrameReader reader_;
};

InputEnd RawFrames::Finish(ReadResult ended, int64_t frames_kept) {
  InputEnd end;
  const std::string why = std::strerror(reader_.error_number());
  if (frames_kept == 0) {
    if (ended == ReadResult::kError) end.error = "cannot read " + plan_.name + ": " + why;
    if (ended == ReadResult::kEnd || ended == ReadResult::kPartial) {
      end.error = plan_.name + " holds no whole frame" +
                  (ended == ReadResult::kPartial
                       ? " (it ends after " + std::to_string(reader_.partial_bytes()) + " of the " +
                             std::to_string(RawFrameBytes(plan_.frame)) + " bytes of a " + SizeText(plan_.frame) +
                             " frame)"
                       : "");
    }
    end.failed = !end.error.empty();
    return end;
  }
  // A part-frame at the end: met while reading a pipe, or known from the
  // file's size when the export read every whole frame before it.
  if (ended == ReadResult::kPartial) {
    end.warning = PartFrameWarning(reader_.partial_bytes());
  } else if (ended == ReadResult::kFrame && trailing_bytes_ > 0 && plan_.length && frames_kept >= *plan_.length) {
    end.warning = PartFrameWarning(trailing_bytes_);
  }
  if (ended == ReadResult::kError) {
    end.error = "cannot read " + plan_.name + " after frame " + std::to_string(frames_kept) + ": " + why;
    end.failed = true;
  }
  return end;
}

}  // namespace

std::unique_ptr<FrameSource> OpenRawFrames(const Options& options, bool (*stop_requested)(), OpenFailure* failure,
                                           std::string* why) {
  *failure = OpenFailure::kUsage;
  const std::string& input = *options.input;
  if (!options.size || !options.rate) {
    // Raw frames are chosen by --size or "-", so --rate is the one missing
    // unless the input is "-".
    *why = !options.size && !options.rate
               ? std::string("raw input needs --size WxH and --rate R: the stream carries neither")
           : !options.size ? std::string("raw input needs --size WxH too: the stream carries no size")
                           : std::string("raw input needs --rate R too: the stream carries no rate");
    if (input != "-") *why += " (a video file takes no --size; --width and --height set the GIF's)";
    return nullptr;
  }
  SourcePlan plan;
  plan.frame = *options.size;
  plan.rate = *options.rate;
  plan.mask = options.mask;
  plan.lower_rate = kLowerRawRate;
  if (!CheckFrameBudget(&plan, options.max_memory, OptimiserWorkers(options), why)) return nullptr;

  std::FILE* file = stdin;
  std::unique_ptr<std::FILE, FileCloser> owned;
  if (input == "-") {
    plan.name = "standard input";
    SetBinaryMode(stdin);
    if (IsTerminal(stdin)) {
      *why = "standard input is a terminal: pipe raw frames in, e.g. from ffmpeg -f rawvideo -pix_fmt bgr24 -";
      return nullptr;
    }
  } else {
    plan.name = input;
    owned.reset(OpenFile(input, "rb"));
    if (owned == nullptr) {
      *failure = OpenFailure::kInput;
      *why = "cannot open " + input + ": " + std::strerror(errno);
      return nullptr;
    }
    file = owned.get();
  }
  // From a pipe unbuffered: rows are read straight into the frame, and
  // nothing is taken from it before it is needed, so every frame read is
  // exported. A regular file is read a megabyte at a time: a read a row
  // costs more than the rest of a small frame's export.
  uint64_t remaining = 0;
  const bool regular = RegularFileRemaining(file, &remaining);
  std::setvbuf(file, nullptr, regular ? _IOFBF : _IONBF, regular ? size_t{1} << 20 : 0);
  uint64_t trailing_bytes = 0;
  if (regular) {
    const uint64_t frame_bytes = RawFrameBytes(plan.frame);
    plan.length = static_cast<int64_t>(remaining / frame_bytes);
    trailing_bytes = remaining % frame_bytes;
    if (*plan.length == 0) {
      *failure = OpenFailure::kInput;
      *why = plan.name + " holds " + std::to_string(remaining) + " bytes, less than one " + SizeText(plan.frame) +
             " frame (" + std::to_string(frame_bytes) + " bytes)";
      return nullptr;
    }
  }
  return std::make_unique<RawFrames>(file, std::move(owned), plan, trailing_bytes, stop_requested);
}

}  // namespace lodra_gif
