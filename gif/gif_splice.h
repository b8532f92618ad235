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

#include "gifformat/gif_format.h"
#include "quantize/palette.h"

namespace gif {

// The head every frame GIF is cut to: signature, screen descriptor and a
// 256-entry global colour table.
constexpr size_t kHeadSize = gifformat::kHeaderSize + gifformat::kMaxColourTableBytes;  // 781

// The 781-byte head, the frame's Graphic Control Extension and a rewritten
// image descriptor are held here; the rest points into the encoded block,
// which must outlive this.
struct SplicedFrame {
  uint8_t head[kHeadSize];
  uint8_t prefix[gifformat::kControlExtensionSize + gifformat::kImageDescriptorSize];
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
