// The LZW encoder against giflib: its image data decodes with
// giflib's decoder to the indices coded and is the data giflib's encoder
// writes for them, byte for byte; a sink that fails stops it, and a stream
// that fails fails the save.
#include "gifformat/lzw_encoder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "platform/win32.h"
#include "tests/support/gif_decode.h"
#include "tests/support/giflib_reference.h"

// The imaging library's names, from its namespaces.
using namespace Gdiplus;
using namespace Gdiplus::DllExports;

namespace {

using gifformat::LzwResult;

// Collects what the coder hands over; refuses the `fail_at`-th piece (1-based).
struct Collector {
  std::vector<uint8_t> bytes;
  int pieces = 0;
  int fail_at = 0;
};

bool Collect(void* context, const uint8_t* bytes, size_t length) {
  auto* c = static_cast<Collector*>(context);
  if (++c->pieces == c->fail_at) return false;
  c->bytes.insert(c->bytes.end(), bytes, bytes + length);
  return true;
}

struct Image {
  int width, height;
  std::vector<uint8_t> pixels;  // top-down, unpadded
};

Image Make(int width, int height, const std::function<uint8_t(int x, int y)>& index) {
  Image image{width, height, std::vector<uint8_t>(static_cast<size_t>(width) * height)};
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) image.pixels[static_cast<size_t>(y) * width + x] = index(x, y);
  return image;
}

// Runs of random length and index with stretches of noise between them.
Image RunsAndNoise(int width, int height, uint32_t seed) {
  std::mt19937 random(seed);
  Image image{width, height, std::vector<uint8_t>(static_cast<size_t>(width) * height)};
  for (size_t i = 0; i < image.pixels.size();) {
    const bool noise = random() % 3 == 0;
    const uint8_t index = static_cast<uint8_t>(random());
    for (size_t n = 1 + random() % 200; n > 0 && i < image.pixels.size(); --n, ++i)
      image.pixels[i] = noise ? static_cast<uint8_t>(random()) : index;
  }
  return image;
}

// "have A, want B at pixel i", or empty when the two agree.
std::string FirstDifference(const std::vector<uint8_t>& have, const std::vector<uint8_t>& want) {
  if (have.size() != want.size())
    return "have " + std::to_string(have.size()) + " pixels, want " + std::to_string(want.size());
  for (size_t i = 0; i < have.size(); ++i)
    if (have[i] != want[i])
      return "have " + std::to_string(have[i]) + ", want " + std::to_string(want[i]) + " at pixel " + std::to_string(i);
  return "";
}

struct CoderCase {
  const char* what;
  Image image;
  bool bottom_up;  // coded from the last row in memory up, through a negative stride
};

TEST(GifLzw, DecodesAndMatchesGiflibByteForByte) {
  std::mt19937 random(1234);
  const CoderCase cases[] = {
      {"1x1", Make(1, 1, [](int, int) { return 7; }), false},
      {"one colour over 4000x3000", Make(4000, 3000, [](int, int) { return 200; }), false},
      {"noise over every index: 4096+ codes, so the dictionary fills again and again",
       Make(512, 64, [&](int, int) { return static_cast<uint8_t>(random()); }), false},
      {"two indices in a short period", Make(97, 61, [](int x, int y) { return (x * 5 + y) % 7 < 3 ? 1 : 2; }),
       false},
      {"widest, 65535x1", Make(65535, 1, [](int x, int) { return static_cast<uint8_t>(x / 97 + x % 3); }), false},
      {"tallest, 1x65535", Make(1, 65535, [](int, int y) { return static_cast<uint8_t>(y / 300); }), false},
      {"random runs and noise, 641x479", RunsAndNoise(641, 479, 99), false},
      {"the same, bottom-up", RunsAndNoise(641, 479, 99), true},
  };
  std::vector<uint8_t> giflib_file;
  std::vector<uint8_t> scratch;
  gifformat::LzwEncoder coder;  // one for all: nothing of an image may stay for the next
  for (const CoderCase& c : cases) {
    SCOPED_TRACE(c.what);
    const Image& image = c.image;
    // Bottom-up: the first row sits last in memory, so memory holds the
    // rows in reverse.
    std::vector<uint8_t> memory = image.pixels;
    const uint8_t* first_row = memory.data();
    ptrdiff_t stride = image.width;
    if (c.bottom_up) {
      for (int y = 0; y < image.height; ++y)
        std::copy_n(image.pixels.begin() + static_cast<ptrdiff_t>(y) * image.width, image.width,
                    memory.begin() + static_cast<ptrdiff_t>(image.height - 1 - y) * image.width);
      first_row = memory.data() + static_cast<ptrdiff_t>(image.height - 1) * image.width;
      stride = -stride;
    }
    Collector ours;
    ASSERT_EQ(coder.Write(first_row, image.width, image.height, stride, Collect, &ours), LzwResult::kOk);
    const std::vector<uint8_t> file = testing_support::GifAround(ours.bytes, image.width, image.height);

    testing_support::DecodedGif decoded;
    std::string error;
    ASSERT_TRUE(testing_support::DecodeGif(file, &decoded, &error)) << error;
    ASSERT_EQ(decoded.frames.size(), 1u);
    EXPECT_EQ(FirstDifference(decoded.frames[0].indices, image.pixels), "");

    ASSERT_TRUE(testing_support::GiflibEncode(image.pixels.data(), image.width, image.height, image.width,
                                              &giflib_file, &scratch));
    EXPECT_EQ(file.size(), giflib_file.size()) << "have " << file.size() << " bytes, want giflib's "
                                               << giflib_file.size();
    EXPECT_TRUE(file == giflib_file) << "the bytes differ from giflib's";
  }
}

TEST(GifLzw, AFailingSinkStopsTheCoder) {
  // About 390 KB of codes: several pieces.
  std::mt19937 random(5);
  const Image noise = Make(512, 512, [&](int, int) { return static_cast<uint8_t>(random()); });
  gifformat::LzwEncoder coder;
  Collector whole;
  ASSERT_EQ(coder.Write(noise.pixels.data(), 512, 512, 512, Collect, &whole), LzwResult::kOk);
  ASSERT_GE(whole.pieces, 3);
  for (int k : {1, 2, whole.pieces}) {
    Collector failing;
    failing.fail_at = k;
    const LzwResult result = coder.Write(noise.pixels.data(), 512, 512, 512, Collect, &failing);
    EXPECT_EQ(result, LzwResult::kSinkFailed) << "piece " << k;
    EXPECT_EQ(failing.pieces, k) << "have " << failing.pieces << " pieces offered, want " << k;
    EXPECT_TRUE(std::equal(failing.bytes.begin(), failing.bytes.end(), whole.bytes.begin()))
        << "what went out before the failure is the start of the data";
  }
  Collector none;
  for (const auto& size : {std::make_pair(0, 5), std::make_pair(5, 0), std::make_pair(-1, 5)}) {
    EXPECT_EQ(coder.Write(noise.pixels.data(), size.first, size.second, 512, Collect, &none), LzwResult::kBadSize)
        << size.first << "x" << size.second;
  }
  EXPECT_EQ(none.pieces, 0);
  // What the stopped images had learnt is gone: the same image codes the same.
  Collector again;
  ASSERT_EQ(coder.Write(noise.pixels.data(), 512, 512, 512, Collect, &again), LzwResult::kOk);
  EXPECT_TRUE(again.bytes == whole.bytes) << "have " << again.bytes.size() << " bytes, want " << whole.bytes.size();
}

// The stand-in saves into a stream over a fixed block, which cannot grow:
// the save fails with the stream's failure wherever the block runs out.
TEST(GifLzw, SavingIntoAStreamThatRunsOut) {
  const CLSID gif_encoder = {0x557CF402, 0x1A04, 0x11D3, {0x9A, 0x73, 0x00, 0x00, 0xF8, 0x1E, 0xF3, 0x2E}};
  const Image image = RunsAndNoise(300, 200, 7);
  GdiplusStartupInput input;
  ULONG_PTR token = 0;
  ASSERT_EQ(GdiplusStartup(&token, &input, nullptr), Ok);
  GpBitmap* bitmap = nullptr;
  ASSERT_EQ(GdipCreateBitmapFromScan0(300, 200, 300, PixelFormat8bppIndexed,
                                      const_cast<BYTE*>(image.pixels.data()), &bitmap),
            Ok);
  auto save = [&](SIZE_T block_size) {
    IStream* stream = nullptr;
    EXPECT_EQ(CreateStreamOnHGlobal(GlobalAlloc(GMEM_FIXED, block_size), TRUE, &stream), S_OK);
    const GpStatus status = GdipSaveImageToStream(bitmap, stream, &gif_encoder, nullptr);
    stream->Release();
    return status;
  };
  // The whole file's length, from a stream that grows.
  IStream* growing = nullptr;
  ASSERT_EQ(CreateStreamOnHGlobal(nullptr, TRUE, &growing), S_OK);
  ASSERT_EQ(GdipSaveImageToStream(bitmap, growing, &gif_encoder, nullptr), Ok);
  ULARGE_INTEGER end = {};
  growing->Seek(LARGE_INTEGER{0}, STREAM_SEEK_END, &end);
  growing->Release();
  const SIZE_T whole = static_cast<SIZE_T>(end.QuadPart);

  const struct {
    const char* what;
    SIZE_T block_size;
    GpStatus want;
  } cases[] = {
      {"in the head", 100, Win32Error},
      {"in the image data", whole / 2, Win32Error},
      {"at the trailer", whole - 1, Win32Error},
      {"exactly enough", whole, Ok},
  };
  for (const auto& c : cases) {
    const GpStatus have = save(c.block_size);
    EXPECT_EQ(have, c.want) << c.what << ": have " << have << ", want " << c.want;
  }
  GdipDisposeImage(bitmap);
  GdiplusShutdown(token);
}

}  // namespace
