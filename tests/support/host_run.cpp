#include "tests/support/host_run.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <set>

#include "host/sources/demo.h"
#include "quantize/palette.h"
#include "tests/support/have_want.h"
#include "tests/support/host_fixture.h"

namespace testing_support {

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

uint32_t PatternColour(int n, int x, int y) {
  const uint32_t r = static_cast<uint32_t>(x * 37 + n * 11) & 0xFF;
  const uint32_t g = static_cast<uint32_t>(y * 53 + n * 7) & 0xFF;
  const uint32_t b = static_cast<uint32_t>((x ^ y) * 29 + n * 3 + 17) & 0xFF;
  return r << 16 | g << 8 | b;
}

Bytes RawStream(int width, int height, int frames, FrameColour colour) {
  Bytes raw;
  for (int n = 0; n < frames; ++n)
    for (int y = 0; y < height; ++y)
      for (int x = 0; x < width; ++x) {
        const uint32_t rgb = colour(n, x, y);
        raw.push_back(static_cast<uint8_t>(rgb));
        raw.push_back(static_cast<uint8_t>(rgb >> 8));
        raw.push_back(static_cast<uint8_t>(rgb >> 16));
      }
  return raw;
}

bool WriteBytes(const std::string& path, const Bytes& bytes) {
  std::FILE* file = OpenUtf8(path, "wb");
  if (file == nullptr) return false;
  // An empty file is a case too: fwrite must not be handed a null buffer.
  const bool wrote = bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  return std::fclose(file) == 0 && wrote;
}

DecodedGif Decode(const std::string& path) {
  DecodedGif gif;
  std::string error;
  EXPECT_TRUE(DecodeGif(ReadFile(path), &gif, &error)) << path << ": " << error;
  return gif;
}

Playback PlayBytes(const Bytes& bytes) {
  Playback playback;
  std::string error;
  EXPECT_TRUE(PlayGif(bytes, &playback, &error)) << error;
  return playback;
}

Playback Play(const std::string& path) {
  SCOPED_TRACE(path);
  return PlayBytes(ReadFile(path));
}

std::vector<int> WantDelays(int count, int64_t rate, int64_t scale) {
  std::vector<int> delays;
  for (int64_t n = 0; n < count; ++n)
    delays.push_back(ReferenceDelay(static_cast<int32_t>(rate), static_cast<int32_t>(scale), n));
  return delays;
}

ShownPicture ShownFrame(const Bytes& host_frame, int width, int height, bool masked, int delay) {
  ShownPicture shown;
  shown.delay = delay;
  for (const uint8_t index : ExpectedIndices(host_frame, width, height, masked))
    shown.pixels.push_back(index == kTransparentIndex ? 0 : 0xFF000000u | (FixedPalette().entries[index] & 0xFFFFFF));
  return shown;
}

size_t DistinctPictures(const Playback& gif) { return JoinStillRuns(gif.pictures).size(); }

std::vector<ShownPicture> FramesAsPlayed(const Playback& gif, const std::vector<int>& delays) {
  std::set<int64_t> frame_starts;
  int64_t want_time = 0;
  for (const int delay : delays) {
    frame_starts.insert(want_time);
    want_time += delay;
  }
  std::vector<int64_t> starts;
  int64_t time = 0;
  for (const ShownPicture& picture : gif.pictures) {
    EXPECT_TRUE(frame_starts.count(time) == 1) << "a picture that starts between frames, at " << time;
    starts.push_back(time);
    time += picture.delay;
  }
  EXPECT_TRUE(HaveWant(time, want_time)) << "playing time, hundredths";
  std::vector<ShownPicture> frames;
  if (gif.pictures.empty()) return frames;
  size_t k = 0;
  time = 0;
  for (const int delay : delays) {
    while (k + 1 < starts.size() && starts[k + 1] <= time) ++k;
    frames.push_back(ShownPicture{gif.pictures[k].pixels, delay});
    time += delay;
  }
  return frames;
}

void ExpectPatternFrames(const Playback& gif, int width, int height, int frames, bool masked, FrameColour colour,
                         const std::vector<int>& delays) {
  Playback want = gif;  // its loop count and comments are not what is checked here
  want.width = masked ? width / 2 : width;
  want.height = height;
  want.pictures.clear();
  for (int n = 0; n < frames; ++n) {
    const Bytes frame = MakeHostFrame(width, height, [n, colour](int x, int y) { return colour(n, x, y); });
    want.pictures.push_back(ShownFrame(frame, width, height, masked, delays.empty() ? 0 : delays[n]));
  }
  Playback have = gif;
  if (delays.empty())
    for (ShownPicture& picture : have.pictures) picture.delay = 0;
  const std::string difference = PlaybackDifference(have, want);
  EXPECT_TRUE(difference.empty()) << difference;
}

void ExpectDemoGif(const Playback& gif, lodra_gif::FrameSize picture, bool masked, int want_loop, int frames,
                   const std::vector<int>& samples) {
  EXPECT_TRUE(HaveWant(gif.width, static_cast<int>(picture.width))) << "width";
  EXPECT_TRUE(HaveWant(gif.height, static_cast<int>(picture.height))) << "height";
  EXPECT_TRUE(HaveWant(gif.loop_count, want_loop)) << "loop count";
  // The demo moves in every frame: none is merged into the one before.
  std::vector<int> delays;
  for (const ShownPicture& shown : gif.pictures) delays.push_back(shown.delay);
  EXPECT_TRUE(HaveWant(delays, std::vector<int>(frames, 4))) << "delays";
  ASSERT_TRUE(HaveWant(gif.pictures.size(), static_cast<size_t>(frames))) << "frames";
  const lodra_gif::FrameSize frame_size = lodra_gif::DemoFrameSize(picture, masked);
  for (int n : samples) {
    Bytes frame(lodra_gif::HostFrameBytes(frame_size), 0);
    lodra_gif::DrawDemoFrame(picture, masked, {25, 1}, n, frame.data());
    EXPECT_TRUE(gif.pictures[n].pixels == ShownFrame(frame, frame_size.width, frame_size.height, masked).pixels)
        << "frame " << n << " shows other than the quantiser's indices";
  }
}

std::vector<std::string> RawArgs(const RawCase& c, const std::string& input,
                                 const std::string& output) {
  std::vector<std::string> args = {"--size", std::to_string(c.width) + "x" + std::to_string(c.height),
                                   "--rate", c.rate, "-o", output};
  args.insert(args.end(), c.extra.begin(), c.extra.end());
  args.push_back(c.in == Stdin::kNull ? input : "-");
  return args;
}

void ExpectRawGif(const Playback& gif, const RawCase& c, FrameColour colour) {
  EXPECT_TRUE(HaveWant(gif.loop_count, c.want_loop)) << "loop count";
  ExpectPatternFrames(gif, c.width, c.height, c.frames, c.masked, colour,
                      WantDelays(c.frames, c.want_rate, c.want_scale));
}

void ExpectFailedRun(int status, const std::string& err, const FailureCase& c,
                     const std::string& output) {
  EXPECT_TRUE(HaveWant(status, c.want_status)) << "exit status; " << err;
  EXPECT_TRUE(Contains(err, c.want_message)) << "have " << err << ", want " << c.want_message;
  EXPECT_FALSE(Contains(err, "wrote")) << "no success reported";
  EXPECT_FALSE(FileExists(output)) << "nothing written";
}

}  // namespace testing_support
