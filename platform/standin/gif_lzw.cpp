#include "platform/standin/gif_lzw.h"

#include <cstdlib>
#include <cstring>
#include <memory>

namespace standin {
namespace {

constexpr int kMinCodeSize = 8;
constexpr uint32_t kClearCode = 1u << kMinCodeSize;  // 256
constexpr uint32_t kEndCode = kClearCode + 1;        // 257
constexpr uint32_t kFirstFreeCode = kClearCode + 2;  // 258
constexpr uint32_t kFullAt = 4095;                   // next free code of a full dictionary
constexpr size_t kSubBlock = 255;

// The dictionary: for each code and next index, the code of that string
// extended by the index, 0 when it is not known (no string has code 0).
constexpr size_t kSlots = size_t{kFullAt} << 8;

// Raw code bytes collect in a buffer and go out as sub-blocks when the next
// row might not fit.
constexpr size_t kChunk = 64 * 1024;

// Most raw bytes one row can add: each index may end a string (12 bits) and
// be followed by a clear code (12 bits), plus the last string and the end
// code, and the 4 bytes a store may run ahead.
size_t RowBound(int32_t width) { return 3 * static_cast<size_t>(width) + 16; }

struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};
template <typename T>
using Buffer = std::unique_ptr<T[], FreeDeleter>;

template <typename T>
Buffer<T> Allocate(size_t count, bool zeroed) {
  void* p = zeroed ? std::calloc(count, sizeof(T)) : std::malloc(count * sizeof(T));
  return Buffer<T>(static_cast<T*>(p));
}

// Raw code bytes out to the sink, framed as sub-blocks.
class Framer {
 public:
  Framer(uint8_t* framed, LzwSink sink, void* context) : framed_(framed), sink_(sink), context_(context) {
    framed_[0] = kMinCodeSize;  // goes out with the first sub-blocks
    lead_ = 1;
  }

  // Hands over `count` raw bytes as sub-blocks: whole ones only, unless
  // this is the `last` piece, which ends with the block terminator.
  bool Put(const uint8_t* raw, size_t count, bool last) {
    uint8_t* out = framed_ + lead_;
    lead_ = 0;
    while (count > 0) {
      const size_t length = count < kSubBlock ? count : kSubBlock;
      *out++ = static_cast<uint8_t>(length);
      std::memcpy(out, raw, length);
      out += length;
      raw += length;
      count -= length;
    }
    if (last) *out++ = 0;
    const size_t length = static_cast<size_t>(out - framed_);
    return length == 0 || sink_(context_, framed_, length);
  }

  // What Put needs for `raw` bytes at most.
  static size_t Capacity(size_t raw) { return 1 + raw + (raw + kSubBlock - 1) / kSubBlock + 1; }

 private:
  uint8_t* framed_;
  size_t lead_;
  LzwSink sink_;
  void* context_;
};

}  // namespace

LzwResult WriteLzwImageData(const uint8_t* first_row, int32_t width, int32_t height, ptrdiff_t stride,
                            LzwSink sink, void* context) {
  if (width < 1 || height < 1) return LzwResult::kBadSize;
  const size_t row_bound = RowBound(width);
  const size_t raw_capacity = kChunk + row_bound;
  Buffer<uint16_t> next = Allocate<uint16_t>(kSlots, true);
  Buffer<uint32_t> slot_of = Allocate<uint32_t>(kFullAt, false);  // where each learnt code is stored
  Buffer<uint8_t> raw = Allocate<uint8_t>(raw_capacity, false);
  Buffer<uint8_t> framed = Allocate<uint8_t>(Framer::Capacity(raw_capacity), false);
  if (!next || !slot_of || !raw || !framed) return LzwResult::kOutOfMemory;

  Framer framer(framed.get(), sink, context);

  // Codes are packed into `bits` from the low end; whole 32-bit words go
  // out to `out`.
  uint8_t* out = raw.get();
  uint64_t bits = 0;
  int bit_count = 0;
  int code_size = kMinCodeSize + 1;
  uint32_t next_code = kFirstFreeCode;
  uint32_t grow_at = 1u << code_size;
  auto put = [&](uint32_t code) {
    bits |= static_cast<uint64_t>(code) << bit_count;
    bit_count += code_size;
    if (bit_count >= 32) {
      out[0] = static_cast<uint8_t>(bits);
      out[1] = static_cast<uint8_t>(bits >> 8);
      out[2] = static_cast<uint8_t>(bits >> 16);
      out[3] = static_cast<uint8_t>(bits >> 24);
      out += 4;
      bits >>= 32;
      bit_count -= 32;
    }
    // The decoder widens its codes as soon as it has learnt the string
    // with the first code that needs the larger size, which is one code
    // after the coder did.
    if (next_code >= grow_at) {
      ++code_size;
      grow_at <<= 1;
    }
  };

  put(kClearCode);
  uint32_t code = first_row[0];
  for (int32_t y = 0; y < height; ++y) {
    const uint8_t* row = first_row + static_cast<ptrdiff_t>(y) * stride;
    if (static_cast<size_t>(raw.get() + raw_capacity - out) < row_bound) {
      // Whole sub-blocks out; the part of one left over moves to the front.
      const size_t used = static_cast<size_t>(out - raw.get());
      const size_t whole = used / kSubBlock * kSubBlock;
      if (!framer.Put(raw.get(), whole, false)) return LzwResult::kSinkFailed;
      std::memmove(raw.get(), raw.get() + whole, used - whole);
      out = raw.get() + (used - whole);
    }
    for (int32_t x = y == 0 ? 1 : 0; x < width; ++x) {
      const uint32_t index = row[x];
      const size_t slot = static_cast<size_t>(code) << 8 | index;
      const uint32_t known = next[slot];
      if (known != 0) {
        code = known;
        continue;
      }
      put(code);
      if (next_code < kFullAt) {
        next[slot] = static_cast<uint16_t>(next_code);
        slot_of[next_code] = static_cast<uint32_t>(slot);
        ++next_code;
      } else {
        put(kClearCode);
        for (uint32_t learnt = kFirstFreeCode; learnt < next_code; ++learnt) next[slot_of[learnt]] = 0;
        next_code = kFirstFreeCode;
        code_size = kMinCodeSize + 1;
        grow_at = 1u << code_size;
      }
      code = index;
    }
  }
  put(code);
  put(kEndCode);
  for (; bit_count > 0; bit_count -= 8) {
    *out++ = static_cast<uint8_t>(bits);
    bits >>= 8;
  }

  if (!framer.Put(raw.get(), static_cast<size_t>(out - raw.get()), true)) return LzwResult::kSinkFailed;
  return LzwResult::kOk;
}

}  // namespace standin
