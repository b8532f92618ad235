#include "gifformat/lzw_encoder.h"

#include "gifformat/gif_walker.h"

#include <cstdlib>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace gifformat {
namespace {

constexpr uint32_t kFullAt = 4095;                   // next free code of a full dictionary
constexpr size_t kSlots = size_t{256} << 12;         // an index, then a code below 4096
constexpr uint32_t kNoRun = 256;  // no index

// The longest run of one index a string can be: one index, then one more
// for each code learnt, from the first free code on, which is 6 at the
// smallest code size.
constexpr size_t kLongestRun = kFullAt - ((1u << kMinLzwCodeSize) + 2) + 2;

// Marks in `starts` (bit i of word i / 64) where each run of one index in
// `row` begins, and `width` as the end of the last; words up to that one.
void MarkRunStarts(const uint8_t* row, size_t width, uint64_t* starts) {
  const size_t words = width / 64 + 1;
  for (size_t w = 0; w < words; ++w) starts[w] = 0;
  starts[0] = 1;
  size_t i = 1;
#if defined(__SSE2__)
  // Sixteen neighbours compared at a time.
  for (; i + 16 <= width; i += 16) {
    const __m128i here = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + i));
    const __m128i before = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + i - 1));
    const uint64_t differ = ~static_cast<uint64_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(here, before))) & 0xFFFF;
    // Bits i .. i + 15, which may reach into the next word.
    starts[i / 64] |= differ << (i % 64);
    if (i % 64 > 48) starts[i / 64 + 1] |= differ >> (64 - i % 64);
  }
#endif
  for (; i < width; ++i) starts[i / 64] |= static_cast<uint64_t>(row[i] != row[i - 1]) << (i % 64);
  starts[width / 64] |= uint64_t{1} << (width % 64);
}

// The first run start after `x`.
size_t NextRunStart(const uint64_t* starts, size_t x) {
  ++x;
  uint64_t word = starts[x / 64] >> (x % 64);
  if (word != 0) return x + static_cast<size_t>(__builtin_ctzll(word));
  size_t w = x / 64 + 1;
  while (starts[w] == 0) ++w;
  return w * 64 + static_cast<size_t>(__builtin_ctzll(starts[w]));
}

// The 8 bytes of `bits` to `out`, least significant first.
void StoreLittleEndian(uint8_t* out, uint64_t bits) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  bits = __builtin_bswap64(bits);
#endif
  std::memcpy(out, &bits, 8);
}

// Raw code bytes collect in a buffer and go out as sub-blocks when the next
// row might not fit.
constexpr size_t kChunk = 64 * 1024;

// Most raw bytes one row can add: each index may end a string (12 bits) and
// be followed by a clear code (12 bits), plus the last string and the end
// code, and the 8 bytes a store may run ahead.
size_t RowBound(int32_t width) { return 3 * static_cast<size_t>(width) + 16; }

// What the framed buffer needs for `raw` bytes at most: the minimum code
// size, a length byte a sub-block, the terminator.
size_t FramedCapacity(size_t raw) { return 1 + SubBlocksSize(raw) + 1; }

template <typename T>
std::unique_ptr<T[], LzwFreeDeleter> Allocate(size_t count, bool zeroed) {
  void* p = zeroed ? std::calloc(count, sizeof(T)) : std::malloc(count * sizeof(T));
  return std::unique_ptr<T[], LzwFreeDeleter>(static_cast<T*>(p));
}

// Raw code bytes out to the sink, framed as sub-blocks.
class Framer {
 public:
  Framer(uint8_t* framed, int code_size, LzwSink sink, void* context)
      : framed_(framed), sink_(sink), context_(context) {
    framed_[0] = static_cast<uint8_t>(code_size);  // goes out with the first sub-blocks
  }

  // Hands over `count` raw bytes as sub-blocks: whole ones only, unless
  // this is the `last` piece, which ends with the block terminator.
  bool Put(const uint8_t* raw, size_t count, bool last) {
    uint8_t* out = framed_ + lead_;
    lead_ = 0;
    out += PutSubBlocks(raw, count, out);
    if (last) *out++ = kBlockTerminator;
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

void LzwFreeDeleter::operator()(void* p) const { std::free(p); }

uint64_t LzwEncoderBytes(int32_t width) {
  const uint64_t capacity = kChunk + RowBound(width);
  return sizeof(LzwEncoder) + kSlots * sizeof(uint16_t) + kFullAt * sizeof(uint32_t) +
         256 * kLongestRun * sizeof(uint16_t) + capacity + FramedCapacity(capacity) +
         (capacity / 64 + 1) * sizeof(uint64_t);
}

bool LzwEncoder::Reserve(int32_t width) {
  if (!next_) {
    // calloc: the fresh pages are zero without being written.
    auto next = Allocate<uint16_t>(kSlots, true);
    slot_of_ = Allocate<uint32_t>(kFullAt, false);
    runs_ = Allocate<uint16_t>(size_t{256} * kLongestRun, false);
    if (!next || !slot_of_ || !runs_) return false;
    // The single indices: each the run of itself, once.
    for (uint32_t v = 0; v < 256; ++v) {
      runs_[v * kLongestRun + 1] = static_cast<uint16_t>(v);
      longest_[v] = 1;
    }
    next_ = std::move(next);
  }
  const size_t capacity = kChunk + RowBound(width);
  if (capacity > raw_capacity_) {
    raw_capacity_ = 0;
    raw_ = Allocate<uint8_t>(capacity, false);
    framed_ = Allocate<uint8_t>(FramedCapacity(capacity), false);
    // A bit an index, up to the end mark one past the row.
    starts_ = Allocate<uint64_t>(capacity / 64 + 1, false);
    if (!raw_ || !framed_ || !starts_) return false;
    raw_capacity_ = capacity;
  }
  return true;
}

void LzwEncoder::Forget(uint32_t learnt_begin, uint32_t learnt_end) {
  for (uint32_t code = learnt_begin; code < learnt_end; ++code) next_[slot_of_[code]] = 0;
  for (uint16_t& longest : longest_) longest = 1;
}

LzwResult LzwEncoder::Write(const uint8_t* first_row, int32_t width, int32_t height, ptrdiff_t stride, LzwSink sink,
                            void* context, int min_code_size) {
  if (width < 1 || height < 1 || min_code_size < kMinLzwCodeSize || min_code_size > kMaxLzwCodeSize)
    return LzwResult::kBadSize;
  if (!Reserve(width)) return LzwResult::kOutOfMemory;
  // What the last image taught, even if it stopped half way.
  Forget(learnt_begin_, learnt_end_);
  const uint32_t kClearCode = 1u << min_code_size;
  const uint32_t kEndCode = kClearCode + 1;
  const uint32_t kFirstFreeCode = kClearCode + 2;
  learnt_begin_ = kFirstFreeCode;
  learnt_end_ = kFirstFreeCode;

  uint16_t* const next = next_.get();
  uint32_t* const slot_of = slot_of_.get();
  uint16_t* const runs = runs_.get();
  uint16_t* const longest = longest_;
  uint8_t* const raw = raw_.get();
  uint64_t* const starts = starts_.get();
  const size_t row_bound = RowBound(width);
  Framer framer(framed_.get(), min_code_size, sink, context);

  // Codes are packed into `bits` from the low end; whole bytes go out to
  // `out`, so fewer than 8 bits wait in `bits`.
  uint8_t* out = raw;
  uint64_t bits = 0;
  int bit_count = 0;
  int code_size = min_code_size + 1;
  uint32_t next_code = kFirstFreeCode;
  uint32_t grow_at = 1u << code_size;
  auto put = [&](uint32_t code) {
    bits |= static_cast<uint64_t>(code) << bit_count;
    bit_count += code_size;
    // All 8 bytes are stored; the whole ones among them stay.
    StoreLittleEndian(out, bits);
    out += bit_count >> 3;
    bits >>= bit_count & ~7;
    bit_count &= 7;
    // The decoder widens its codes once it has learnt the string with the
    // first code that needs the larger size, one code after the coder has.
    if (next_code >= grow_at) {
      ++code_size;
      grow_at <<= 1;
    }
  };
  // After a code is written: the dictionary learns its string extended by
  // the next index (at `slot`), or, full, starts again after a clear code.
  auto learn = [&](size_t slot) {
    if (next_code < kFullAt) {
      next[slot] = static_cast<uint16_t>(next_code);
      slot_of[next_code] = static_cast<uint32_t>(slot);
      ++next_code;
      return true;
    }
    put(kClearCode);
    Forget(kFirstFreeCode, next_code);
    next_code = kFirstFreeCode;
    code_size = min_code_size + 1;
    grow_at = 1u << code_size;
    return false;
  };

  put(kClearCode);
  uint32_t code = first_row[0];
  // Where the string so far is one index repeated: the index and how many
  // times; else kNoRun. (Extending any other string by v never makes a run
  // of v, so this is known without asking the dictionary.)
  uint32_t run_index = code;
  size_t run_count = 1;
  for (int32_t y = 0; y < height; ++y) {
    const uint8_t* row = first_row + static_cast<ptrdiff_t>(y) * stride;
    if (static_cast<size_t>(raw + raw_capacity_ - out) < row_bound) {
      // Whole sub-blocks out; the part of one left over moves to the front.
      const size_t used = static_cast<size_t>(out - raw);
      const size_t whole = used / kMaxSubBlockData * kMaxSubBlockData;
      if (!framer.Put(raw, whole, false)) {
        learnt_end_ = next_code;
        return LzwResult::kSinkFailed;
      }
      std::memmove(raw, raw + whole, used - whole);
      out = raw + (used - whole);
    }
    MarkRunStarts(row, static_cast<size_t>(width), starts);
    for (size_t x = y == 0 ? 1 : 0; x < static_cast<size_t>(width);) {
      const uint32_t v = row[x];
      const size_t end = NextRunStart(starts, x);
      size_t left = end - x;
      x = end;
      // The string so far is v repeated k times, or, where it is anything
      // else, it is extended one index at a time while the dictionary knows
      // it (what it becomes is no run of v either); where it does not, it is
      // written and the match starts again at v, which is v once.
      size_t k = 0;
      if (run_index == v) {
        k = run_count;
      } else {
        do {
          const size_t slot = static_cast<size_t>(v) << 12 | code;
          const uint32_t known = next[slot];
          --left;
          if (known == 0) {
            put(code);
            learn(slot);
            code = v;
            k = 1;
            break;
          }
          code = known;
        } while (left > 0);
        if (k == 0) {
          run_index = kNoRun;
          continue;
        }
      }
      // The dictionary knows v repeated up to longest[v] times. Where the
      // run goes on past the longest, that is written, the next one learnt,
      // and the match starts again at v.
      uint16_t* const run_codes = runs + v * kLongestRun;
      while (left > longest[v] - k) {
        const uint32_t whole_run = run_codes[longest[v]];
        left -= longest[v] - k + 1;
        put(whole_run);
        const uint32_t longer = longest[v] + 1u;
        if (learn(static_cast<size_t>(v) << 12 | whole_run)) {
          run_codes[longer] = static_cast<uint16_t>(next_code - 1);
          longest[v] = static_cast<uint16_t>(longer);
        }
        k = 1;
      }
      run_index = v;
      run_count = k + left;
      code = run_codes[run_count];
    }
  }
  learnt_end_ = next_code;
  put(code);
  put(kEndCode);
  if (bit_count > 0) *out++ = static_cast<uint8_t>(bits);
  return framer.Put(raw, static_cast<size_t>(out - raw), true) ? LzwResult::kOk : LzwResult::kSinkFailed;
}

}  // namespace gifformat
