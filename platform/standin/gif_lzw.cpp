#include "platform/standin/gif_lzw.h"

#include <cstdlib>
#include <cstring>

namespace standin {
namespace {

constexpr int kMinCodeSize = 8;
constexpr uint32_t kClearCode = 1u << kMinCodeSize;  // 256
constexpr uint32_t kEndCode = kClearCode + 1;        // 257
constexpr uint32_t kFirstFreeCode = kClearCode + 2;  // 258
constexpr uint32_t kFullAt = 4095;                   // next free code of a full dictionary
constexpr size_t kSlots = size_t{kFullAt} << 8;      // a code below kFullAt, then an index
constexpr size_t kSubBlock = 255;

// Raw code bytes collect in a buffer and go out as sub-blocks when the next
// row might not fit.
constexpr size_t kChunk = 64 * 1024;

// Most raw bytes one row can add: each index may end a string (12 bits) and
// be followed by a clear code (12 bits), plus the last string and the end
// code, and the 4 bytes a store may run ahead.
size_t RowBound(int32_t width) { return 3 * static_cast<size_t>(width) + 16; }

// What the framed buffer needs for `raw` bytes at most: the minimum code
// size, a length byte a sub-block, the terminator.
size_t FramedCapacity(size_t raw) { return 1 + raw + (raw + kSubBlock - 1) / kSubBlock + 1; }

template <typename T>
std::unique_ptr<T[], FreeDeleter> Allocate(size_t count, bool zeroed) {
  void* p = zeroed ? std::calloc(count, sizeof(T)) : std::malloc(count * sizeof(T));
  return std::unique_ptr<T[], FreeDeleter>(static_cast<T*>(p));
}

// Raw code bytes out to the sink, framed as sub-blocks.
class Framer {
 public:
  Framer(uint8_t* framed, LzwSink sink, void* context) : framed_(framed), sink_(sink), context_(context) {
    framed_[0] = kMinCodeSize;  // goes out with the first sub-blocks
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

 private:
  uint8_t* framed_;
  size_t lead_ = 1;
  LzwSink sink_;
  void* context_;
};

}  // namespace

void FreeDeleter::operator()(void* p) const { std::free(p); }

bool LzwCoder::Reserve(int32_t width) {
  if (!next_) {
    // calloc: the fresh pages are zero without being written.
    next_ = Allocate<uint16_t>(kSlots, true);
    slot_of_ = Allocate<uint32_t>(kFullAt, false);
    if (!next_ || !slot_of_) {
      next_.reset();
      return false;
    }
  }
  const size_t capacity = kChunk + RowBound(width);
  if (capacity > raw_capacity_) {
    raw_capacity_ = 0;
    raw_ = Allocate<uint8_t>(capacity, false);
    framed_ = Allocate<uint8_t>(FramedCapacity(capacity), false);
    if (!raw_ || !framed_) return false;
    raw_capacity_ = capacity;
  }
  return true;
}

void LzwCoder::Forget(uint32_t learnt_end) {
  for (uint32_t code = kFirstFreeCode; code < learnt_end; ++code) next_[slot_of_[code]] = 0;
}

LzwResult LzwCoder::Write(const uint8_t* first_row, int32_t width, int32_t height, ptrdiff_t stride, LzwSink sink,
                          void* context) {
  if (width < 1 || height < 1) return LzwResult::kBadSize;
  if (!Reserve(width)) return LzwResult::kOutOfMemory;
  // What the last image taught, even if it stopped half way.
  Forget(learnt_end_);
  learnt_end_ = 0;

  uint16_t* const next = next_.get();
  uint32_t* const slot_of = slot_of_.get();
  uint8_t* const raw = raw_.get();
  const size_t row_bound = RowBound(width);
  Framer framer(framed_.get(), sink, context);

  // Codes are packed into `bits` from the low end; whole 32-bit words go
  // out to `out`.
  uint8_t* out = raw;
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
    // The decoder widens its codes once it has learnt the string with the
    // first code that needs the larger size, one code after the coder has.
    if (next_code >= grow_at) {
      ++code_size;
      grow_at <<= 1;
    }
  };

  put(kClearCode);
  uint32_t code = first_row[0];
  for (int32_t y = 0; y < height; ++y) {
    const uint8_t* row = first_row + static_cast<ptrdiff_t>(y) * stride;
    if (static_cast<size_t>(raw + raw_capacity_ - out) < row_bound) {
      // Whole sub-blocks out; the part of one left over moves to the front.
      const size_t used = static_cast<size_t>(out - raw);
      const size_t whole = used / kSubBlock * kSubBlock;
      if (!framer.Put(raw, whole, false)) {
        learnt_end_ = next_code;
        return LzwResult::kSinkFailed;
      }
      std::memmove(raw, raw + whole, used - whole);
      out = raw + (used - whole);
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
        Forget(next_code);
        next_code = kFirstFreeCode;
        code_size = kMinCodeSize + 1;
        grow_at = 1u << code_size;
      }
      code = index;
    }
  }
  learnt_end_ = next_code;
  put(code);
  put(kEndCode);
  for (; bit_count > 0; bit_count -= 8) {
    *out++ = static_cast<uint8_t>(bits);
    bits >>= 8;
  }
  return framer.Put(raw, static_cast<size_t>(out - raw), true) ? LzwResult::kOk : LzwResult::kSinkFailed;
}

}  // namespace standin
