// Cutting one single-image GIF, as the imaging library wrote it, into the
// pieces the animation is made of.
//
// The animation file is:
//   head         "GIF89a", logical screen descriptor, 256-entry global colour
//                table (781 bytes)
//   looping ext  21 FF 0B "NETSCAPE2.0" 03 01 <count lo> <count hi> 00
//   per frame    Graphic Control Extension, image descriptor, image data
//   comment ext  21 FE 08 "UUUUUUUU" 00
//   trailer      3B
#pragma once

#include <cstddef>
#include <cstdint>

#include "quantize/palette.h"

namespace gif {

// Block introducers and extension labels.
constexpr uint8_t kExtensionIntroducer = 0x21;  // '!'
constexpr uint8_t kImageSeparator = 0x2C;       // ','
constexpr uint8_t kTrailer = 0x3B;              // ';'
constexpr uint8_t kGraphicControlLabel = 0xF9;
constexpr uint8_t kCommentLabel = 0xFE;
constexpr uint8_t kApplicationLabel = 0xFF;

constexpr size_t kSignatureSize = 6;          // "GIF89a"
constexpr size_t kScreenDescriptorSize = 7;   // width, height, packed, background, aspect
constexpr size_t kColourTableSize = 256 * 3;  // 256 entries of red, green, blue
constexpr size_t kHeadSize = kSignatureSize + kScreenDescriptorSize + kColourTableSize;  // 781
constexpr size_t kControlExtensionSize = 8;   // 21 F9 04 packed delay(2) index 00
constexpr size_t kImageDescriptorSize = 10;   // 2C left top width height packed

// Screen descriptor / image descriptor packed fields.
constexpr uint8_t kColourTableFlag = 0x80;   // 1xxxxxxx: a colour table follows
constexpr uint8_t kColourTableSizeBits = 0x07;  // xxxxx111: 2^(n+1) entries
constexpr uint8_t kImageSortFlag = 0x20;        // image descriptor: xx1xxxxx
constexpr uint8_t kFullColourResolution = 0x70;  // x111xxxx: 8 bits a primary

// Graphic Control Extension packed fields for every frame:
// 000 010 0 1 = reserved, disposal 2 (restore to background), no user input,
// transparent colour flag set.
constexpr uint8_t kControlPackedFields = 0x09;

// The 781-byte head, the frame's Graphic Control Extension and a rewritten
// image descriptor are held here; the rest points into the encoded block,
// which must outlive this.
struct SplicedFrame {
  uint8_t head[kHeadSize];
  uint8_t prefix[kControlExtensionSize + kImageDescriptorSize];
  size_t prefix_size;
  struct Span {
    const uint8_t* data;
    size_t size;
  } rest[2];
  int rest_count;
};

// Splits `block` (`length` bytes) into the animation's pieces with `delay`
// (hundredths of a second) in the frame's Graphic Control Extension.
//
// A block laid out as GIF89a with a 256-entry global colour table and the
// Graphic Control Extension right behind it (offset 781) is cut at fixed
// offsets: the head is its first 781 bytes, the frame its bytes from 781 to
// the end less a trailing trailer, with the extension's packed fields and
// delay patched. Any other well-formed single-image GIF is parsed and
// rewritten in that same layout: a head from its screen size and `palette`,
// a new Graphic Control Extension (transparent index 0), the image descriptor
// without its local colour table when that table is `palette`, the image
// data. Returns false for a block that is neither.
bool SpliceFrameGif(const uint8_t* block, size_t length, const Palette& palette, uint16_t delay,
                    SplicedFrame* out);

}  // namespace gif
