// What the stand-in offers beyond the real APIs, for tests: it counts the
// objects alive of each kind, can fail the k-th acquisition, and can be told
// which GIF layout its imaging library writes. Native builds only.
#pragma once

#include <cstdint>

namespace standin {

// Every kind of object the stand-in hands out and expects back.
enum class Resource {
  kStartup,      // GdiplusStartup .. GdiplusShutdown
  kImagingAlloc, // GdipAlloc .. GdipFree
  kBitmap,       // GdipCreateBitmapFromScan0 .. GdipDisposeImage
  kGlobalBlock,  // GlobalAlloc .. GlobalFree (also a stream's own block)
  kStream,       // CreateStreamOnHGlobal .. last Release
  kCount,
};

const char* ResourceName(Resource kind);

// Objects of `kind` acquired and not yet released.
int LiveCount(Resource kind);
// Sum of LiveCount over every kind.
int LiveTotal();

// Acquisitions of any kind since the last Reset(); a failed one counts too.
int AcquisitionCount();

// Fail the k-th acquisition (1-based, counted over all kinds) after Reset();
// 0 fails none. A failed acquisition returns what the real call returns on
// failure (null, OutOfMemory, E_OUTOFMEMORY) and acquires nothing.
void FailAcquisition(int k);
// The kind of the acquisition failed since the last Reset(); kCount while
// none has been.
Resource FailedAcquisition();

// Which single-image GIF layout GdipSaveImageToStream writes.
enum class GifLayout {
  // GIF89a, screen descriptor with a 256-entry global colour table, the
  // Graphic Control Extension right after it (offset 781, transparent index
  // 0), the image, the trailer.
  kGlobalTableWithControlExtension,
  // GIF89a, screen descriptor without a global colour table, no Graphic
  // Control Extension, an image descriptor with a 256-entry local colour
  // table, the image, the trailer.
  kLocalTableOnly,
};
void SetGifLayout(GifLayout layout);

// Whether the encoder list holds the "image/gif" entry (it does by default).
void SetGifEncoderListed(bool listed);

// Back to the defaults: counters at zero, no failure armed, the global-table
// layout, the GIF encoder listed. Live objects are not forgotten: a leak stays
// visible to the next LiveCount.
void Reset();

}  // namespace standin
