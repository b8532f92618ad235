#include "gif/frame_encoder.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "gif/frame_encoder_internal.h"
#include "tests/support/gif_decode.h"
#include "tests/support/host_fixture.h"

namespace {

using testing_support::DecodedGif;
using testing_support::DecodeGif;
using testing_support::ExpectedIndices;
using testing_support::MakeHostFrame;
using testing_support::PatternFrame;

struct FreeFrameGifDeleter {
  void operator()(uint8_t* block) const { FreeFrameGif(block); }
};
using FrameGif = std::unique_ptr<uint8_t, FreeFrameGifDeleter>;

class FrameEncoder : public ::testing::Test {
 protected:
  void SetUp() override { BuildPalette(&palette_); }

  // Encodes and decodes one frame; fails the test when either step fails.
  DecodedGif EncodeAndDecode(const std::vector<uint8_t>& host_frame, int width, int height, bool masked) {
    uint32_t length = 0;
    FrameGif block(masked ? EncodeMaskedFrame(&palette_, width, host_frame.data(), height, &length)
                          : EncodeFrame(&palette_, width, host_frame.data(), height, &length));
    DecodedGif decoded;
    if (!block) {
      ADD_FAILURE() << "encoding " << width << "x" << height << " failed";
      return decoded;
    }
    std::string error;
    EXPECT_TRUE(DecodeGif(std::vector<uint8_t>(block.get(), block.get() + length), &decoded, &error)) << error;
    return decoded;
  }

  Palette palette_;
};

// The index image round-trips through the imaging library for every row
// padding the host and index rows can have.
TEST_F(FrameEncoder, EveryPixelIsTheQuantisersChoice) {
  struct Case {
    int width, height;
    bool masked;
  } const cases[] = {
      {1, 1, false}, {1, 3, false}, {2, 2, false}, {3, 2, false}, {4, 3, false}, {5, 4, false},
      {7, 5, false}, {33, 17, false}, {2, 1, true}, {5, 3, true}, {6, 4, true}, {64, 9, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height) + (c.masked ? " masked" : ""));
    const std::vector<uint8_t> frame = PatternFrame(c.width, c.height, c.width);
    const DecodedGif gif = EncodeAndDecode(frame, c.width, c.height, c.masked);
    ASSERT_EQ(gif.frames.size(), 1u);
    const int want_width = c.masked ? c.width / 2 : c.width;
    EXPECT_EQ(gif.width, want_width);
    EXPECT_EQ(gif.height, c.height);
    EXPECT_EQ(gif.frames[0].indices, ExpectedIndices(frame, c.width, c.height, c.masked));
  }
}

TEST_F(FrameEncoder, HostRowsAreBottomUp) {
  // The picture's bottom row is red, the rest blue.
  const std::vector<uint8_t> frame =
      MakeHostFrame(3, 4, [](int, int y) { return y == 3 ? 0xFF0000u : 0x0000FFu; });
  // Seen from memory: the first row stored is the red one.
  ASSERT_EQ(frame[2], 0xFF);
  const DecodedGif gif = EncodeAndDecode(frame, 3, 4, false);
  ASSERT_EQ(gif.frames.size(), 1u);
  const std::vector<uint8_t> want = {45, 45, 45, 45, 45, 45, 45, 45, 45, 220, 220, 220};
  EXPECT_EQ(gif.frames[0].indices, want);
}

TEST_F(FrameEncoder, PlainFramesAreNeverTransparent) {
  const std::vector<uint8_t> frame = MakeHostFrame(4, 2, [](int x, int) { return x % 2 ? 0u : 0x000001u; });
  const DecodedGif gif = EncodeAndDecode(frame, 4, 2, false);
  ASSERT_EQ(gif.frames.size(), 1u);
  for (uint8_t index : gif.frames[0].indices) EXPECT_NE(index, 0);
}

TEST_F(FrameEncoder, OnlyPureBlackMasksAPixel) {
  // Width 5: columns 0-1 are the picture, 2-3 their mask, 4 is read by neither.
  struct Case {
    uint32_t mask;
    bool want_transparent;
  } const cases[] = {{0x000000, true}, {0x000001, false}, {0x000100, false}, {0x010000, false}, {0xFFFFFF, false}};
  for (const Case& c : cases) {
    const std::vector<uint8_t> frame = MakeHostFrame(5, 1, [&](int x, int) {
      if (x < 2) return 0xFF0000u;  // red picture
      if (x == 4) return 0x000000u; // ignored column, black to catch a misread
      return c.mask;
    });
    const DecodedGif gif = EncodeAndDecode(frame, 5, 1, true);
    ASSERT_EQ(gif.frames.size(), 1u);
    ASSERT_EQ(gif.width, 2);
    const std::vector<uint8_t> want =
        c.want_transparent ? std::vector<uint8_t>{0, 0} : std::vector<uint8_t>{220, 220};
    EXPECT_EQ(gif.frames[0].indices, want) << "mask " << std::hex << c.mask;
  }
}

TEST_F(FrameEncoder, RefusesSizesTheFormatCannotHold) {
  struct Case {
    int width, height;
    bool masked;
  } const cases[] = {
      {0, 1, false},      {1, 0, false},     {-1, 1, false},      {1, -1, false},       {1, 1, true},
      {0, 1, true},       {-2, 1, true},     {65536, 1, false},   {1, 65536, false},    {131072, 1, true},
      {INT32_MAX, 1, false}, {1, INT32_MAX, false}, {INT32_MIN, 1, true},
  };
  const uint8_t pixels[16] = {};
  for (const Case& c : cases) {
    uint32_t length = 12345;
    uint8_t* block = c.masked ? EncodeMaskedFrame(&palette_, c.width, pixels, c.height, &length)
                              : EncodeFrame(&palette_, c.width, pixels, c.height, &length);
    EXPECT_EQ(block, nullptr) << c.width << "x" << c.height << (c.masked ? " masked" : "");
    EXPECT_EQ(length, 12345u) << "the length is left alone on failure";
    FreeFrameGif(block);
  }
}

TEST_F(FrameEncoder, NullPixelsFailAndTheLengthIsOptional) {
  uint32_t length = 7;
  EXPECT_EQ(EncodeFrame(&palette_, 4, nullptr, 4, &length), nullptr);
  EXPECT_EQ(EncodeMaskedFrame(&palette_, 4, nullptr, 4, &length), nullptr);
  EXPECT_EQ(length, 7u);

  const std::vector<uint8_t> frame = PatternFrame(4, 4, 0);
  FrameGif block(EncodeFrame(&palette_, 4, frame.data(), 4, nullptr));
  EXPECT_NE(block, nullptr);
}

TEST(GetGifEncoderClsid, FindsTheGifEncoder) {
  ImagingSession imaging;
  ASSERT_TRUE(imaging.started());
  CLSID clsid{};
  EXPECT_GE(GetGifEncoderClsid(&clsid, nullptr), 0);
  const CLSID zero{};
  EXPECT_NE(std::memcmp(&clsid, &zero, sizeof clsid), 0);
}

}  // namespace
