// Raw frames: bgr24 pixels (what `ffmpeg -f rawvideo -pix_fmt bgr24 -`
// writes) from a file or standard input, a frame after another with nothing
// between them. They carry no size, rate or signature: --size and --rate say
// what they are. The pixels are the plug-in's, but the rows run top-down and
// are not padded, so every row moves.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "host/cli/options.h"
#include "host/sources/frame_source.h"

namespace lodra_gif {

// How raw frames are brought to a lower rate, for the warning about a rate
// above 50 fps; the demo, which takes --rate too, says the same.
constexpr const char kLowerRawRate[] =
    "lower the rate to 50 fps or less first (ffmpeg -r 25, or -vf fps=25) and give --rate 25";

// Raw frames of `size` read from `file` (which stays the caller's) one at a
// time, straight into the plug-in's layout.
class RawFrameReader {
 public:
  // `stop_requested` is asked when a read is interrupted by a signal: true
  // ends the read as kInterrupted, false reads on.
  RawFrameReader(std::FILE* file, FrameSize size, bool (*stop_requested)());

  // Reads the next frame into `*frame`, which holds HostFrameBytes(size)
  // bytes and whose row padding the caller has zeroed; only pixel bytes are
  // written. kPartial: partial_bytes() says how far the last frame got;
  // kError: error_number() says why.
  ReadResult Next(uint8_t** frame) noexcept;

  uint64_t partial_bytes() const { return partial_bytes_; }
  int error_number() const { return error_number_; }

 private:
  // Reads `size` bytes, all of them unless the input ends or fails first.
  size_t ReadFully(uint8_t* out, size_t size, ReadResult* stop) noexcept;

  std::FILE* file_;
  FrameSize size_;
  bool (*stop_requested_)();
  uint64_t partial_bytes_ = 0;
  int error_number_ = 0;
};

// INPUT ("-": standard input) as raw frames of --size at --rate, --mask or
// not. A regular file's frames are counted from its size; a file that holds
// less than one is refused. Null with the reason on failure.
std::unique_ptr<FrameSource> OpenRawFrames(const Options& options, bool (*stop_requested)(), OpenFailure* failure,
                                           std::string* why);

}  // namespace lodra_gif
