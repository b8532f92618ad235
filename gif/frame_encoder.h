// One host frame in, one complete single-image GIF out, through the system
// imaging library.
//
// Host frames are laid out as host_frame.h says (bottom-up rows of
// blue, green, red, padded to 4 bytes). The GIF is the index image of the
// frame over the palette: GIF89a, a 256-entry global colour table, the
// Graphic Control Extension at offset 781 (transparent index 0), the image,
// the trailer; the imaging library may lay it out otherwise, and the output
// pass copes with that.
//
// The encoder's steps, for the tests and benchmarks that take them one by
// one, are in frame_encoder_internal.h.
#pragma once

#include <cstdint>

#include "gif/export_result.h"
#include "quantize/palette.h"

enum class FrameLayout {
  kPlain,   // the whole frame is the picture
  kMasked,  // the left half is the picture, the right half its mask
};

// The encoder. Returns a block holding the GIF (the caller frees it with
// FreeFrameGif) and stores its length through `out_length` when that is not
// null; null on any failure, with everything acquired released,
// `out_length` untouched and the reason in `failure` when that is not null:
// kNoPixels, kSizeRefused (CheckHostFrameSize, gif/export_limits.h),
// kAllocation or kImagingLibrary.
uint8_t* EncodeFrameGif(FrameLayout layout, const Palette* palette, int32_t host_width, const void* pixels,
                        int32_t height, uint32_t* out_length, ExportResult* failure);

// The whole frame is the picture: the GIF is `host_width` x `height`.
uint8_t* EncodeFrame(const Palette* palette, int32_t host_width, const void* pixels, int32_t height,
                     uint32_t* out_length);
// The left half is the picture and the right half its mask: where the mask
// pixel is pure black the picture pixel becomes transparent (index 0). The
// GIF is host_width / 2 wide.
uint8_t* EncodeMaskedFrame(const Palette* palette, int32_t host_width, const void* pixels, int32_t height,
                           uint32_t* out_length);

// Frees a block the encoder returned (a fixed global block: GlobalFree);
// null is let be.
void FreeFrameGif(uint8_t* gif);
