// One host frame in, one complete single-image GIF out, through the system
// imaging library.
//
// Host frames are laid out as host_frame.h says (bottom-up rows of
// blue, green, red, padded to 4 bytes). The GIF is the index image of the
// frame over the palette: GIF89a, a 256-entry global colour table, the
// Graphic Control Extension at offset 781 (transparent index 0), the image,
// the trailer; the imaging library may lay it out otherwise, and the output
// pass copes with that.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/win32.h"
#include "quantize/palette.h"

enum class FrameLayout {
  kPlain,   // the whole frame is the picture
  kMasked,  // the left half is the picture, the right half its mask
};

// Why an encoding gave no GIF.
enum class EncodeFailure {
  kNone,
  kNoPixels,        // the host gave no pixels
  kSizeRefused,     // the picture is not 1..65535 pixels each way, or its bytes do not fit
  kAllocation,      // memory (global, the imaging library's heap or a stream) ran out
  kImagingLibrary,  // the imaging library failed: start-up, bitmap, no GIF encoder, saving
};

// Bytes from one index-image row to the next: a byte a pixel, padded to 4.
constexpr uint64_t IndexImageStride(int64_t width) { return (static_cast<uint64_t>(width) + 3) / 4 * 4; }

// The encoder. Returns a fixed global block holding the GIF (the caller frees
// it with GlobalFree; a fixed block's address is its handle) and stores its
// length through `out_length` when that is not null; null on any failure,
// with everything acquired released, `out_length` untouched and the reason in
// `failure` when that is not null.
uint8_t* EncodeFrameGif(FrameLayout layout, const Palette* palette, int32_t host_width, const void* pixels,
                        int32_t height, uint32_t* out_length, EncodeFailure* failure);

// The whole frame is the picture: the GIF is `host_width` x `height`.
uint8_t* EncodeFrame(const Palette* palette, int32_t host_width, const void* pixels, int32_t height,
                     uint32_t* out_length);
// The left half is the picture and the right half its mask: where the mask
// pixel is pure black the picture pixel becomes transparent (index 0). The
// GIF is host_width / 2 wide.
uint8_t* EncodeMaskedFrame(const Palette* palette, int32_t host_width, const void* pixels, int32_t height,
                           uint32_t* out_length);

// The encoder's steps, for the benchmarks that time them one by one.
//
// Maps every picture pixel of a host frame to its palette index into
// `indices` (rows top-down, `index_stride` apart, each row's padding
// zeroed): through the fixed palette's colour map when `palette` is the
// fixed one, else FindNearestColor. The sizes must be ones EncodeFrameGif
// takes.
void MapFrameToIndices(FrameLayout layout, const Palette& palette, int32_t host_width, const void* pixels,
                       int32_t height, uint8_t* indices, size_t index_stride);

// The imaging library started for as long as this lives (every encoding
// starts and stops it).
class ImagingSession {
 public:
  ImagingSession();
  ~ImagingSession();
  ImagingSession(const ImagingSession&) = delete;
  ImagingSession& operator=(const ImagingSession&) = delete;
  bool started() const { return started_; }

 private:
  ULONG_PTR token_ = 0;
  bool started_ = false;
};

// Saves an index image as a single-image GIF with `palette` through the
// imaging library, which a live ImagingSession must have started; results as
// EncodeFrameGif's. `indices` must outlive the call.
uint8_t* SaveIndexImageAsGif(const Palette& palette, int32_t width, int32_t height, uint8_t* indices,
                             int32_t index_stride, uint32_t* out_length, EncodeFailure* failure);

// Position of the "image/gif" encoder in the imaging library's list, with its
// class id copied to `out_clsid`; -1 when there is none.
int GetGifEncoderClsid(CLSID* out_clsid);
