// The LZW coding of a GIF image's data with 8-bit indices (gif_format.h
// describes the coding): the stand-in's GIF writer and the optimiser's
// frames use it.
//
// A GIF image's data is the LZW minimum code size (one byte), then the codes
// packed least significant bit first into bytes, the bytes cut into
// sub-blocks of at most 255 (each led by its length), and an empty sub-block
// to end them. With 8-bit indices the codes are: 0..255 the indices, 256
// clear (empty the dictionary, back to 9-bit codes), 257 end of data, and
// from 258 the strings the dictionary learns, one for each code written
// (the string just coded plus the next index). Codes start 9 bits wide and
// grow a bit each time the next free code no longer fits, up to 12 bits.
//
// The coder here takes the longest string the dictionary knows at each step
// and follows giflib's encoder in everything else, so that it writes the
// same bytes: a clear code first; each code written before the string it
// adds; the code size grows right after a code is written once the next free
// code needs the larger size; once codes up to 4094 are taken the dictionary
// counts as full, and where it would add the next string the coder writes a
// clear code (12 bits wide) and starts again; the last string's code, then
// end of data; sub-blocks of 255 bytes but the last.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "gifformat/gif_format.h"

namespace gifformat {

// Takes the coded bytes, in order, in pieces; false when it could not (the
// coder then stops and gives it nothing more).
using LzwSink = bool (*)(void* context, const uint8_t* bytes, size_t length);

enum class LzwResult {
  kOk,
  kBadSize,      // width or height below 1, or a code size outside 2..8; nothing was given to the sink
  kOutOfMemory,  // the coder's tables; nothing was given to the sink
  kSinkFailed,   // the sink returned false
};

struct LzwFreeDeleter {
  void operator()(void* p) const;
};

// The most bytes an encoder holds once it has coded images up to `width`
// wide: its tables and buffers, the object itself included.
uint64_t LzwEncoderBytes(int32_t width);

// The most bytes Write gives for an image of `pixels` indices: 12 bits an
// index, a clear code every 3837 codes, a size byte every 255 bytes.
constexpr uint64_t LzwMostCodedBytes(uint64_t pixels) { return pixels * 3 / 2 + pixels / 64 + 64; }

// Codes images one after another, on one thread. Its tables (4 MiB of
// address space; a picture touches a part of it) are made at the first
// image and kept, and only the entries an image set are cleared for the
// next, so that coding a frame allocates nothing and clears little.
//
// Runs of one index, which quantised pictures are mostly made of, are coded
// a string at a time rather than an index at a time: the strings of one
// repeated index the dictionary knows, v, vv, vvv .. up to the longest, are
// kept in a list for each index, so the longest one a run can take is found
// at once. The codes written are the same.
class LzwEncoder {
 public:
  LzwEncoder() = default;
  LzwEncoder(const LzwEncoder&) = delete;
  LzwEncoder& operator=(const LzwEncoder&) = delete;

  // Codes a `width` x `height` image of indices as a GIF image's data, from
  // the minimum code size byte to the empty sub-block, and hands it to
  // `sink` in pieces. Row y starts at `first_row + y * stride`; a negative
  // stride walks up through memory. The rows are only read. Every index
  // must be below 2^min_code_size (2..8; 8 takes any index); kBadSize for a
  // size outside 2..8.
  LzwResult Write(const uint8_t* first_row, int32_t width, int32_t height, ptrdiff_t stride, LzwSink sink,
                  void* context, int min_code_size = kMaxLzwCodeSize);

 private:
  bool Reserve(int32_t width);
  void Forget(uint32_t learnt_begin, uint32_t learnt_end);

  // For each next index and code, the code of that string extended by the
  // index; 0 (which no string has) when the dictionary does not know it.
  std::unique_ptr<uint16_t[], LzwFreeDeleter> next_;
  // Where in `next_` each learnt code is, to clear it again.
  std::unique_ptr<uint32_t[], LzwFreeDeleter> slot_of_;
  // Codes from learnt_begin_ (the last image's first free code) up to
  // learnt_end_ may be set in `next_`.
  uint32_t learnt_begin_ = 0;
  uint32_t learnt_end_ = 0;
  // For each index v, the codes of v repeated 1, 2 .. longest_[v] times.
  std::unique_ptr<uint16_t[], LzwFreeDeleter> runs_;
  uint16_t longest_[256] = {};
  // Raw code bytes, and the same framed as sub-blocks.
  std::unique_ptr<uint8_t[], LzwFreeDeleter> raw_;
  std::unique_ptr<uint8_t[], LzwFreeDeleter> framed_;
  // Where the runs of one index in a row start, a bit an index.
  std::unique_ptr<uint64_t[], LzwFreeDeleter> starts_;
  size_t raw_capacity_ = 0;
};

}  // namespace gifformat
