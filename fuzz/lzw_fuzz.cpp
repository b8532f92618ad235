// The LZW encoder against giflib on index images made from the
// input: what it writes, in a GIF, decodes with giflib's decoder to the
// indices coded, and is byte for byte what giflib's encoder writes for them.
// One coder codes every input, as the stand-in's GIF writer does every frame, so
// anything an image leaves behind shows in the next.
//
// Input: bytes 0-1 width - 1 (little-endian, taken modulo 4096); byte 2 bit
// 0 height - 1, bit 1 rows bottom-up in memory; byte 3 how many indices the
// noise draws from, less one. The rest, read round and round until the
// image is full, is a list of stretches: a byte 0nnnnnnn then an index,
// n + 1 of that index; a byte 1nnnnnnn, n + 1 indices of noise. With no
// list the image is all 0. Missing header bytes count as 0.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "gifformat/lzw_encoder.h"
#include "tests/support/gif_decode.h"
#include "tests/support/giflib_reference.h"

namespace {

constexpr uint8_t kPadding = 0xA5;  // between rows in memory; never coded

bool Collect(void* context, const uint8_t* bytes, size_t length) {
  auto* out = static_cast<std::vector<uint8_t>*>(context);
  out->insert(out->end(), bytes, bytes + length);
  return true;
}

std::vector<uint8_t> MakeImage(const uint8_t* list, size_t size, int width, int height, unsigned alphabet,
                               uint32_t seed) {
  std::vector<uint8_t> image(static_cast<size_t>(width) * static_cast<size_t>(height), 0);
  uint32_t noise = seed | 1;
  size_t at = 0;
  for (size_t i = 0; size > 0 && i < image.size();) {
    const uint8_t op = list[at++ % size];
    const size_t count = (op & 0x7Fu) + 1u;
    const bool is_noise = (op & 0x80) != 0;
    const uint8_t index = is_noise ? 0 : static_cast<uint8_t>(list[at++ % size] % alphabet);
    for (size_t n = 0; n < count && i < image.size(); ++n, ++i) {
      if (is_noise) {
        noise ^= noise << 13;
        noise ^= noise >> 17;
        noise ^= noise << 5;
        image[i] = static_cast<uint8_t>(noise % alphabet);
      } else {
        image[i] = index;
      }
    }
  }
  return image;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto byte = [&](size_t i) -> uint32_t { return i < size ? data[i] : 0; };
  const int width = static_cast<int>((byte(0) | byte(1) << 8) % 4096) + 1;
  const int height = static_cast<int>(byte(2) & 1) + 1;
  const bool bottom_up = (byte(2) & 2) != 0;
  const unsigned alphabet = byte(3) + 1;
  const size_t head = size < 4 ? size : 4;
  uint32_t seed = 2166136261u;
  for (size_t i = 0; i < size; ++i) seed = (seed ^ data[i]) * 16777619u;
  const std::vector<uint8_t> image = MakeImage(data + head, size - head, width, height, alphabet, seed);

  // The rows in memory, padded, the first row last when bottom-up.
  const ptrdiff_t pitch = (width + 3) / 4 * 4 + 1;
  std::vector<uint8_t> memory(static_cast<size_t>(pitch) * static_cast<size_t>(height), kPadding);
  for (int y = 0; y < height; ++y) {
    const int at = bottom_up ? height - 1 - y : y;
    std::copy_n(image.begin() + static_cast<ptrdiff_t>(y) * width, width, memory.begin() + at * pitch);
  }
  const uint8_t* first_row = memory.data() + (bottom_up ? (height - 1) * pitch : 0);
  const ptrdiff_t stride = bottom_up ? -pitch : pitch;

  static gifformat::LzwEncoder coder;
  std::vector<uint8_t> ours;
  const gifformat::LzwResult result = coder.Write(first_row, width, height, stride, Collect, &ours);
  FUZZ_CHECK(result == gifformat::LzwResult::kOk, "coding a " + std::to_string(width) + "x" + std::to_string(height));
  const std::vector<uint8_t> file = testing_support::GifAround(ours, width, height);

  testing_support::DecodedGif gif;
  std::string error;
  FUZZ_CHECK(testing_support::DecodeGif(file, &gif, &error), "giflib: " + error);
  FUZZ_CHECK_EQ(gif.frames.size(), size_t{1}, "decoded images");
  const testing_support::DecodedFrame& decoded = gif.frames[0];
  FUZZ_CHECK_EQ(decoded.width, width, "decoded width");
  FUZZ_CHECK_EQ(decoded.height, height, "decoded height");
  for (size_t i = 0; i < image.size(); ++i)
    FUZZ_CHECK_EQ(decoded.indices[i], image[i], "index at pixel " + std::to_string(i));

  std::vector<uint8_t> giflib;
  std::vector<uint8_t> row;
  FUZZ_CHECK(testing_support::GiflibEncode(image.data(), width, height, width, &giflib, &row), "giflib's encoder failed");
  FUZZ_CHECK_EQ(file.size(), giflib.size(), "file size against giflib's");
  for (size_t i = 0; i < file.size(); ++i) FUZZ_CHECK_EQ(file[i], giflib[i], "byte " + std::to_string(i));
  return 0;
}
