// The frame encoder's steps one by one, for the tests, benchmarks and fuzz
// targets that drive or time them apart. Nothing of the product includes
// this but gif/frame_encoder.cpp: the output pass takes the whole encoder
// (frame_encoder.h).
#pragma once

#include <cstddef>
#include <cstdint>

#include "gif/export_limits.h"
#include "gif/export_result.h"
#include "gif/frame_encoder.h"
#include "platform/win32.h"
#include "quantize/palette.h"

// Maps every picture pixel of a host frame to its palette index into
// `indices` (rows top-down, `index_stride` apart, each row's padding
// zeroed; the encoder's stride is IndexImageStride): through the fixed palette's colour map when `palette` is the
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
                             int32_t index_stride, uint32_t* out_length, ExportResult* failure);

// Position of the "image/gif" encoder in the imaging library's list, with its
// class id copied to `out_clsid`; -1 when there is none, with the reason in
// `failure` when that is not null: kAllocation when the list could not be
// held, else kImagingLibrary.
int GetGifEncoderClsid(CLSID* out_clsid, ExportResult* failure);
