// Walking a GIF's blocks, a unit at a time, over bytes that may still be
// arriving; and writing data as sub-blocks.
//
// A unit is the smallest piece a reader acts on: the head (signature,
// screen descriptor and global colour table), the start of an extension
// (introducer and label), the start of an image (descriptor, local colour
// table and LZW minimum code size), one data sub-block (size byte and data),
// the empty sub-block that ends a chain, and the trailer. No unit is longer
// than kLongestUnit bytes, so a reader that keeps that many bytes at hand
// can walk a file of any size, skipping the sub-blocks it has no use for.
#pragma once

#include <cstddef>
#include <cstdint>

#include "gifformat/gif_format.h"

namespace gifformat {

// Every reason a GIF is refused by this library's readers.
enum class Error : uint8_t {
  kNone,
  kNotGif,         // no GIF87a or GIF89a signature
  kTruncated,      // the input ends inside a unit, or before the trailer
  kUnknownBlock,   // a byte that starts no block where a block must start
  kBadCodeSize,    // an LZW minimum code size outside 2..8
  kBadCode,        // LZW data names a code that has not been learnt
  kImageDataShort, // the LZW data ends before the image's last pixel
};
// A short lower-case phrase for messages: "the data ends before the trailer".
const char* ErrorText(Error error);

constexpr size_t kLongestUnit = kHeaderSize + kMaxColourTableBytes;  // 781

enum class UnitKind : uint8_t {
  kHeader,     // signature, screen descriptor, global colour table
  kExtension,  // introducer and label; its sub-blocks follow
  kImage,      // descriptor, local colour table, LZW minimum code size; the data's sub-blocks follow
  kSubBlock,   // a size byte (1..255) and that many bytes
  kBlockEnd,   // the empty sub-block that ends an extension's or an image's chain
  kTrailer,
};

struct ScreenFields {
  bool is_89a = false;
  uint16_t width = 0, height = 0;
  uint8_t packed = 0;
  uint8_t background = 0;
  uint8_t aspect = 0;
  int table_entries = 0;  // of the global colour table; 0 when there is none
};

struct ImageFields {
  uint16_t left = 0, top = 0, width = 0, height = 0;
  uint8_t packed = 0;
  bool interlaced = false;
  int table_entries = 0;  // of the local colour table; 0 when there is none
  uint8_t code_size = 0;  // LZW minimum code size, 2..8
};

struct Unit {
  UnitKind kind = UnitKind::kTrailer;
  size_t size = 0;          // bytes from the unit's first byte to its last
  size_t table_offset = 0;  // kHeader, kImage: where the colour table starts within the unit
  ScreenFields screen;      // kHeader
  ImageFields image;        // kImage
  // kExtension: its label. kSubBlock, kBlockEnd: the label of the extension
  // whose chain they belong to, unless `in_image` (the image's data).
  uint8_t label = 0;
  bool in_image = false;
  uint32_t sub_block = 0;   // kSubBlock: its place in its chain, from 0
  // kSubBlock: its data, which starts at the unit's second byte.
  size_t data_size() const { return size - 1; }
};

enum class Step : uint8_t {
  kUnit,      // `unit` describes the next unit; the caller moves past its `size` bytes
  kNeedMore,  // the next unit is not all there yet: call again from the same byte with more
  kEnd,       // the trailer has been read; what follows it is not looked at
  kFailed,    // error() says why; every later call fails the same way
};

// Keeps where in the file's grammar the walk is; the caller keeps the bytes.
class Walker {
 public:
  // The unit that starts at `bytes`, of which `available` are at hand.
  // `input_ended` says no more will come: a unit cut short is then
  // kTruncated rather than kNeedMore.
  Step Next(const uint8_t* bytes, size_t available, bool input_ended, Unit* unit);
  Error error() const { return error_; }

 private:
  enum class State : uint8_t { kHead, kBlocks, kExtensionChain, kImageChain, kEnded, kFailed };
  Step Fail(Error error);
  Step Chain(const uint8_t* bytes, size_t available, bool input_ended, Unit* unit);

  State state_ = State::kHead;
  Error error_ = Error::kNone;
  uint8_t label_ = 0;       // of the extension whose chain is being walked
  uint32_t sub_block_ = 0;  // the next sub-block's place in its chain
};

// Sub-blocks for `count` data bytes: 255 at a time, the last shorter, each
// led by its size; no terminator. Returns the bytes written to `out`, which
// must hold SubBlocksSize(count).
size_t PutSubBlocks(const uint8_t* data, size_t count, uint8_t* out);
constexpr size_t SubBlocksSize(size_t count) { return count + (count + kMaxSubBlockData - 1) / kMaxSubBlockData; }

}  // namespace gifformat
