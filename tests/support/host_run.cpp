#include "tests/support/host_run.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "host/sources/demo.h"
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

Playback Play(const std::string& path) {
  Playback playback;
  std::string error;
  EXPECT_TRUE(PlayGif(ReadFile(path), &playback, &error)) << path << ": " << error;
  return playback;
}

std::vector<int> DelaysOf(const DecodedGif& gif) {
  std::vector<int> delays;
  for (const auto& frame : gif.frames) delays.push_back(frame.delay);
  return delays;
}

std::vector<int> WantDelays(int count, int64_t rate, int64_t scale) {
  std::vector<int> delays;
  for (int64_t n = 0; n < count; ++n)
    delays.push_back(ReferenceDelay(static_cast<int32_t>(rate), static_cast<int32_t>(scale), n));
  return delays;
}

void ExpectPatternFrames(const DecodedGif& gif, int width, int height, int frames, bool masked,
                         FrameColour colour) {
  EXPECT_TRUE(HaveWant(gif.width, masked ? width / 2 : width)) << "width";
  EXPECT_TRUE(HaveWant(gif.height, height)) << "height";
  ASSERT_TRUE(HaveWant(gif.frames.size(), static_cast<size_t>(frames))) << "frames";
  for (int n = 0; n < frames; ++n) {
    const Bytes frame = MakeHostFrame(width, height, [n, colour](int x, int y) { return colour(n, x, y); });
    EXPECT_TRUE(gif.frames[n].indices == ExpectedIndices(frame, width, height, masked))
        << "frame " << n << " differs from the quantiser's indices";
  }
}

void ExpectDemoGif(const DecodedGif& gif, lodra_gif::FrameSize picture, bool masked, int want_loop,
                   int frames, const std::vector<int>& samples) {
  EXPECT_TRUE(HaveWant(gif.width, static_cast<int>(picture.width))) << "width";
  EXPECT_TRUE(HaveWant(gif.height, static_cast<int>(picture.height))) << "height";
  EXPECT_TRUE(HaveWant(gif.loop_count, want_loop)) << "loop count";
  EXPECT_TRUE(HaveWant(DelaysOf(gif), std::vector<int>(frames, 4))) << "delays";
  ASSERT_TRUE(HaveWant(gif.frames.size(), static_cast<size_t>(frames))) << "frames";
  const lodra_gif::FrameSize frame_size = lodra_gif::DemoFrameSize(picture, masked);
  for (int n : samples) {
    Bytes frame(lodra_gif::HostFrameBytes(frame_size), 0);
    lodra_gif::DrawDemoFrame(picture, masked, {25, 1}, n, frame.data());
    EXPECT_TRUE(gif.frames[n].indices == ExpectedIndices(frame, frame_size.width, frame_size.height, masked))
        << "frame " << n << " differs from the quantiser's indices";
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

void ExpectRawGif(const DecodedGif& gif, const RawCase& c, FrameColour colour) {
  EXPECT_TRUE(HaveWant(gif.loop_count, c.want_loop)) << "loop count";
  EXPECT_TRUE(HaveWant(DelaysOf(gif), WantDelays(c.frames, c.want_rate, c.want_scale))) << "delays";
  ExpectPatternFrames(gif, c.width, c.height, c.frames, c.masked, colour);
}

void ExpectFailedRun(int status, const std::string& err, const FailureCase& c,
                     const std::string& output) {
  EXPECT_TRUE(HaveWant(status, c.want_status)) << "exit status; " << err;
  EXPECT_TRUE(Contains(err, c.want_message)) << "have " << err << ", want " << c.want_message;
  EXPECT_FALSE(Contains(err, "wrote")) << "no success reported";
  EXPECT_FALSE(FileExists(output)) << "nothing written";
}

}  // namespace testing_support
