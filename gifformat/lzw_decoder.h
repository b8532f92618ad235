// Decoding a GIF image's LZW data (gif_format.h describes the coding).
//
// Every string the dictionary learns is the previous code's string and one
// index more, and the two lie side by side in what has been decoded: so an
// entry is kept as where its string starts in the output and how long it
// is, and a code is decoded by copying that stretch of the output forward,
// 16 bytes at a time. No string is ever built backwards through a chain of
// prefixes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "gifformat/gif_format.h"
#include "gifformat/gif_walker.h"

namespace gifformat {

// Bytes past the last index that Decode may write (and leave undefined).
constexpr size_t kLzwDecodeSlack = 16;

class LzwDecoder {
 public:
  // Decodes `code_bytes` (the data of an image's sub-blocks, joined; `size`
  // bytes) coded with minimum code size `code_size` into `pixel_count`
  // indices at `out`, in the order they were coded (an interlaced image's
  // rows come in its pass order). `out` must hold pixel_count +
  // kLzwDecodeSlack bytes. Codes after the last pixel are not read. Returns
  // kNone; kBadCodeSize (not 2..8); kBadCode, at the first code not yet
  // learnt; or kImageDataShort when the data or an end code comes before
  // the last pixel. On failure the indices before the bad code are in
  // `out`, and `decoded()` says how many. With `roots` (256 entries), each
  // index is written as roots[index]: every string is made of the indices
  // the codes below the clear code stand for, so the whole image comes out
  // mapped at no cost.
  Error Decode(const uint8_t* code_bytes, size_t size, int code_size, uint8_t* out, size_t pixel_count,
               const uint8_t* roots = nullptr);
  size_t decoded() const { return decoded_; }

 private:
  struct Entry {
    size_t at;        // where the string starts in the output
    uint32_t length;
  };
  Entry entries_[kCodeLimit];
  size_t decoded_ = 0;
};

// The data of a sub-block chain (from the first size byte to the
// terminator, or to `size` when that comes first) joined into `out`, which
// must hold `size` bytes. Returns the data's length.
size_t JoinSubBlocks(const uint8_t* chain, size_t size, uint8_t* out);

}  // namespace gifformat
