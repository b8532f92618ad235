// What the end-to-end tests of lodra-gif (host_test natively, host_wine_test
// under Wine) feed the program and check in what it writes: raw bgr24
// streams of a pattern, the cases for raw input and for failures, and the
// decoded GIF against the quantiser's indices for the frames fed in.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host/frame_format.h"
#include "tests/support/gif_composite.h"
#include "tests/support/gif_decode.h"

namespace testing_support {

using Bytes = std::vector<uint8_t>;

// Where the program's standard input comes from.
enum class Stdin { kNull, kFile, kPipe };

bool Contains(const std::string& text, const std::string& part);

// 0xRRGGBB of pixel (x, y), y counted from the top, of frame n.
using FrameColour = uint32_t (*)(int n, int x, int y);
// A colour for every pixel of every frame, with many distinct colours.
uint32_t PatternColour(int n, int x, int y);

// Frames as a raw bgr24 stream carries them: top row first, no padding.
Bytes RawStream(int width, int height, int frames, FrameColour colour = PatternColour);
bool WriteBytes(const std::string& path, const Bytes& bytes);

// The GIF at `path`, decoded; a failure to decode fails the test.
DecodedGif Decode(const std::string& path);
// What a browser shows of the GIF at `path` (or in `bytes`), frame by
// frame; a failure to play it fails the test. lodra-gif optimises its GIFs,
// so what it writes is checked by what plays, never frame by frame.
Playback Play(const std::string& path);
Playback PlayBytes(const Bytes& bytes);
// Delays of frames 0..count-1: the differences of the frame end times in
// whole hundredths, rounded down.
std::vector<int> WantDelays(int count, int64_t rate, int64_t scale);
// What the plug-in shows of a host frame: the quantiser's indices
// (ExpectedIndices) in the palette's colours, transparent where index 0.
ShownPicture ShownFrame(const Bytes& host_frame, int width, int height, bool masked, int delay = 0);
// How many distinct pictures `gif` shows in a row, each run of one joined.
size_t DistinctPictures(const Playback& gif);
// What `gif` shows for each of the frames of `delays` (hundredths), with
// those delays: the picture shown when the frame starts. `gif` must play
// for as long as the frames do and change pictures only where a frame
// starts (a merged repeat spans frames); the test fails where it does not.
// Frames of delay 0 are not told apart from the one after them.
std::vector<ShownPicture> FramesAsPlayed(const Playback& gif, const std::vector<int>& delays);

// `gif` plays the frames of `colour`, with the picture's size (half the
// frames' width in mask mode); with `delays`, for those times.
void ExpectPatternFrames(const Playback& gif, int width, int height, int frames, bool masked,
                         FrameColour colour = PatternColour, const std::vector<int>& delays = {});

// A demo export at 25 fps: the picture's size, the loop count, `frames`
// frames of 4 hundredths each, and the frames `samples` pixel by pixel.
void ExpectDemoGif(const Playback& gif, lodra_gif::FrameSize picture, bool masked, int want_loop, int frames,
                   const std::vector<int>& samples);

// Raw frames in, by file, redirected stdin or pipe.
struct RawCase {
  const char* what;
  Stdin in;  // kNull: INPUT names the file
  int width, height, frames;
  std::string rate;
  int64_t want_rate, want_scale;
  std::vector<std::string> extra;
  bool masked;
  int want_loop;
};
// The program's arguments for `c`: --size, --rate, -o `output`, the
// extras, then `input` or "-".
std::vector<std::string> RawArgs(const RawCase& c, const std::string& input,
                                 const std::string& output);
// What the export of `c` wrote: the frames of `colour`, the loop count and
// the delays.
void ExpectRawGif(const Playback& gif, const RawCase& c, FrameColour colour = PatternColour);

// A run that must fail: its exit status and its message.
struct FailureCase {
  const char* what;
  std::vector<std::string> args;
  int want_status;
  std::string want_message;
};
// The run's status and message are the case's, it reports no success and
// `output` was not written.
void ExpectFailedRun(int status, const std::string& err, const FailureCase& c,
                     const std::string& output);

}  // namespace testing_support
