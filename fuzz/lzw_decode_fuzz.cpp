// Our LZW decoder against giflib's on code streams made from the input: what
// ours decodes giflib decodes to the same indices; where ours finds the data
// too short, giflib fails too; where ours meets a code not yet learnt
// (which giflib reads as something of its own), the indices before it are
// giflib's. One decoder decodes every input.
//
// Input: byte 0 the minimum code size (2 + b % 7); bytes 1-2 the image's
// width - 1 (little-endian, modulo 300); byte 3 its height - 1 (modulo 16);
// byte 4 bit 0: the rest is the code bytes themselves; otherwise the rest
// is a list of codes to write, each at the width a decoder reads it at:
//   00xxxxxx  an index (x modulo the indices there are)
//   01xxxxxx  a string learnt (x, then the next byte, modulo those learnt)
//   10xxxxxx  the string being learnt by this very code
//   11xxxxxx  x % 4: 0 clear, 1 end, 2 a code past the next one, 3 the
//             next byte as 8 raw bits
// Missing header bytes count as 0.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "gifformat/gif_walker.h"
#include "gifformat/lzw_decoder.h"
#include "tests/support/gif_decode.h"
#include "tests/support/giflib_reference.h"

namespace {

// Packs codes least significant bit first at the widths a decoder reads
// them at: after a clear, the minimum code size + 1; a bit more once the
// last code of a width has been learnt (one a code after the first since
// the clear), up to 12.
class Codes {
 public:
  explicit Codes(int code_size) : code_size_(code_size) { Clear(); }
  uint32_t clear() const { return 1u << code_size_; }
  uint32_t learnt() const { return first_ ? 0 : next_ - (clear() + 2); }
  uint32_t next() const { return next_; }
  bool first() const { return first_; }

  void Put(uint32_t code) {
    PutBits(code & ((1u << width_) - 1), width_);
    if (code == clear()) {
      Clear();
    } else if (first_) {
      first_ = false;
    } else if (next_ < 4096) {
      ++next_;
      if (next_ == 1u << width_ && width_ < 12) ++width_;
    }
  }
  void PutBits(uint32_t value, int count) {
    bits_ |= static_cast<uint64_t>(value) << count_;
    count_ += count;
    for (; count_ >= 8; count_ -= 8, bits_ >>= 8) bytes_.push_back(static_cast<uint8_t>(bits_));
  }
  std::vector<uint8_t> Done() {
    if (count_ > 0) bytes_.push_back(static_cast<uint8_t>(bits_));
    return bytes_;
  }

 private:
  void Clear() {
    width_ = code_size_ + 1;
    next_ = clear() + 2;
    first_ = true;
  }
  int code_size_, width_ = 0;
  uint32_t next_ = 0;
  bool first_ = true;
  uint64_t bits_ = 0;
  int count_ = 0;
  std::vector<uint8_t> bytes_;
};

std::vector<uint8_t> MakeCodes(const uint8_t* list, size_t size, int code_size) {
  Codes codes(code_size);
  for (size_t i = 0; i < size; ++i) {
    const uint8_t op = list[i];
    const uint32_t x = op & 0x3F;
    switch (op >> 6) {
      case 0:
        codes.Put(x % codes.clear());
        break;
      case 1: {
        const uint32_t learnt = codes.learnt();
        const uint32_t pick = x << 8 | (i + 1 < size ? list[++i] : 0);
        codes.Put(learnt == 0 ? pick % codes.clear() : codes.clear() + 2 + pick % learnt);
        break;
      }
      case 2:
        codes.Put(codes.first() ? x % codes.clear() : codes.next());
        break;
      default:
        if (x % 4 == 0) codes.Put(codes.clear());
        if (x % 4 == 1) codes.Put(codes.clear() + 1);
        if (x % 4 == 2) codes.Put(std::min<uint32_t>(codes.next() + 1 + x / 4, 4095));
        if (x % 4 == 3) codes.PutBits(i + 1 < size ? list[++i] : 0, 8);
        break;
    }
  }
  return codes.Done();
}

std::string Describe(gifformat::Error error) { return gifformat::ErrorText(error); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto byte = [&](size_t i) -> uint32_t { return i < size ? data[i] : 0; };
  const int code_size = 2 + static_cast<int>(byte(0) % 7);
  const int width = static_cast<int>((byte(1) | byte(2) << 8) % 300) + 1;
  const int height = static_cast<int>(byte(3) % 16) + 1;
  const size_t head = size < 5 ? size : 5;
  const std::vector<uint8_t> code_bytes = (byte(4) & 1) != 0
                                              ? std::vector<uint8_t>(data + head, data + size)
                                              : MakeCodes(data + head, size - head, code_size);

  const size_t pixels = static_cast<size_t>(width) * static_cast<size_t>(height);
  static gifformat::LzwDecoder decoder;
  std::vector<uint8_t> ours(pixels + gifformat::kLzwDecodeSlack);
  const gifformat::Error error = decoder.Decode(code_bytes.data(), code_bytes.size(), code_size, ours.data(), pixels);
  FUZZ_CHECK(decoder.decoded() <= pixels, "decoded past the image");

  // The same data as a GIF's image: code size, sub-blocks, terminator.
  std::vector<uint8_t> chain(1 + gifformat::SubBlocksSize(code_bytes.size()) + 1);
  chain[0] = static_cast<uint8_t>(code_size);
  gifformat::PutSubBlocks(code_bytes.data(), code_bytes.size(), chain.data() + 1);
  chain.back() = gifformat::kBlockTerminator;
  testing_support::DecodedGif gif;
  std::string giflib_error;
  const bool giflib_ok = testing_support::DecodeGif(testing_support::GifAround(chain, width, height), &gif, &giflib_error);

  switch (error) {
    case gifformat::Error::kNone:
      FUZZ_CHECK(giflib_ok, "ours decodes it, giflib: " + giflib_error);
      for (size_t i = 0; i < pixels; ++i)
        FUZZ_CHECK_EQ(ours[i], gif.frames[0].indices[i], "index at pixel " + std::to_string(i));
      break;
    case gifformat::Error::kImageDataShort:
      FUZZ_CHECK(!giflib_ok, "ours finds the data short, giflib decodes it");
      break;
    case gifformat::Error::kBadCode:
      // giflib goes on with indices of its own making, or stops.
      if (giflib_ok)
        for (size_t i = 0; i < decoder.decoded(); ++i)
          FUZZ_CHECK_EQ(ours[i], gif.frames[0].indices[i], "index before the bad code at pixel " + std::to_string(i));
      break;
    default:
      FUZZ_CHECK(false, "unexpected error " + Describe(error));
  }
  return 0;
}
