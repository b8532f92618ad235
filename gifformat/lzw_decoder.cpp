#include "gifformat/lzw_decoder.h"

#include <cstring>

namespace gifformat {
namespace {

// Copies `length` bytes from `from` forward to `to` 16 at a time, writing
// up to 15 bytes past the end. The source ends at or before `to`, so no
// byte it reads is one this copy has written, except past the source's end.
inline void CopyForward(uint8_t* to, const uint8_t* from, size_t length) {
  for (size_t i = 0; i < length; i += 16) {
    uint8_t chunk[16];
    std::memcpy(chunk, from + i, 16);
    std::memcpy(to + i, chunk, 16);
  }
}

}  // namespace

Error LzwDecoder::Decode(const uint8_t* code_bytes, size_t size, int code_size, uint8_t* out, size_t pixel_count,
                         const uint8_t* roots) {
  decoded_ = 0;
  if (code_size < kMinLzwCodeSize || code_size > kMaxLzwCodeSize) return Error::kBadCodeSize;
  const uint32_t clear_code = 1u << code_size;
  const uint32_t end_code = clear_code + 1;

  uint32_t next_code = clear_code + 2;  // the code the next string learnt gets
  int width = code_size + 1;
  bool has_previous = false;  // no string to extend right after a clear code
  size_t previous_at = 0;
  uint32_t previous_length = 0;

  // Bits are taken from the low end of `bits`, which holds `bit_count`.
  const uint8_t* in = code_bytes;
  const uint8_t* const in_end = code_bytes + size;
  uint64_t bits = 0;
  int bit_count = 0;
  size_t written = 0;
  while (written < pixel_count) {
    if (bit_count < width) {
      if (in_end - in >= 8) {
        // Whole bytes up to 56 bits at once.
        uint64_t word;
        std::memcpy(&word, in, 8);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
        word = __builtin_bswap64(word);
#endif
        bits |= word << bit_count;
        in += (63 - bit_count) >> 3;
        bit_count |= 56;
      } else {
        while (bit_count < width && in < in_end) {
          bits |= static_cast<uint64_t>(*in++) << bit_count;
          bit_count += 8;
        }
        if (bit_count < width) break;
      }
    }
    const uint32_t code = static_cast<uint32_t>(bits) & ((1u << width) - 1);
    bits >>= width;
    bit_count -= width;

    if (code == clear_code) {
      next_code = clear_code + 2;
      width = code_size + 1;
      has_previous = false;
      continue;
    }
    if (code == end_code) break;

    const size_t room = pixel_count - written;
    uint32_t length;
    if (code < clear_code) {
      out[written] = roots != nullptr ? roots[code] : static_cast<uint8_t>(code);
      length = 1;
    } else if (code < next_code) {
      const Entry entry = entries_[code];
      length = entry.length;
      CopyForward(out + written, out + entry.at, length < room ? length : room);
    } else if (code == next_code && has_previous) {
      // The string being learnt by this very code: the previous one and its
      // own first index.
      length = previous_length + 1;
      CopyForward(out + written, out + previous_at, previous_length < room ? previous_length : room);
      if (previous_length < room) out[written + previous_length] = out[previous_at];
    } else {
      decoded_ = written;
      return Error::kBadCode;
    }

    if (has_previous && next_code < kCodeLimit) {
      entries_[next_code] = Entry{previous_at, previous_length + 1};
      ++next_code;
      if (next_code == 1u << width && width < kMaxCodeBits) ++width;
    }
    has_previous = true;
    previous_at = written;
    previous_length = length;
    written += length < room ? length : room;
  }
  decoded_ = written;
  return written == pixel_count ? Error::kNone : Error::kImageDataShort;
}

size_t JoinSubBlocks(const uint8_t* chain, size_t size, uint8_t* out) {
  size_t at = 0;
  size_t joined = 0;
  while (at < size && chain[at] != kBlockTerminator) {
    size_t length = chain[at++];
    if (length > size - at) length = size - at;
    std::memcpy(out + joined, chain + at, length);
    joined += length;
    at += length;
  }
  return joined;
}

}  // namespace gifformat
