// One host frame in, one complete single-image GIF out, through the system
// imaging library.
#pragma once

#include <cstdint>

#include "platform/win32.h"
#include "quantize/palette.h"

// Host frames: 3 bytes a pixel (blue, green, red), rows bottom-up, each row
// padded to a multiple of 4 bytes.
//
// Both encoders return a fixed global block holding the GIF (the caller frees
// it with GlobalFree; a fixed block's address is its handle) and store its length through `out_length` when that is
// not null; null on any failure, with everything they acquired released and
// `out_length` untouched. The output must be 1..65535 pixels each way.

// The whole frame is the picture: the GIF is `width` x `height`.
uint8_t* EncodeFrame(const Palette* palette, int32_t width, const void* pixels, int32_t height,
                     uint32_t* out_length);

// The left half is the picture and the right half its mask: where the mask
// pixel is pure black the picture pixel becomes transparent (index 0). The
// GIF is width / 2 wide; with an odd width the last column is read by neither.
uint8_t* EncodeMaskedFrame(const Palette* palette, int32_t width, const void* pixels, int32_t height,
                           uint32_t* out_length);

// Position of the "image/gif" encoder in the imaging library's list, with its
// class id copied to `out_clsid`; -1 when there is none.
int GetGifEncoderClsid(CLSID* out_clsid);
