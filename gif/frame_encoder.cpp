#include "gif/frame_encoder.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "gif/export_limits.h"
#include "gif/frame_encoder_internal.h"
#include "gif/host_frame.h"
#include "platform/win32.h"
#include "quantize/colour_map.h"

// The imaging library's names live in its namespaces, its flat calls in
// DllExports.
using namespace Gdiplus;
using namespace Gdiplus::DllExports;

namespace {

// The encoder's one and only MIME type, spelled out so the comparison is the
// same code-unit walk whatever the platform's wide character is.
constexpr WCHAR kGifMimeType[] = {'i', 'm', 'a', 'g', 'e', '/', 'g', 'i', 'f', 0};

bool IsGifMimeType(const WCHAR* mime_type) {
  if (mime_type == nullptr) return false;
  for (size_t i = 0;; ++i) {
    if (mime_type[i] != kGifMimeType[i]) return false;
    if (kGifMimeType[i] == 0) return true;
  }
}

// ---- owners: each releases exactly what its acquisition got, on every path.

class GlobalBlock {
 public:
  explicit GlobalBlock(HGLOBAL block = nullptr) : block_(block) {}
  ~GlobalBlock() {
    if (block_ != nullptr) GlobalFree(block_);
  }
  GlobalBlock(const GlobalBlock&) = delete;
  GlobalBlock& operator=(const GlobalBlock&) = delete;
  HGLOBAL get() const { return block_; }
  HGLOBAL release() {
    HGLOBAL block = block_;
    block_ = nullptr;
    return block;
  }

 private:
  HGLOBAL block_;
};

// The bitmap object (allocated from the imaging library's heap) and the
// native image it wraps. The image is a view over the caller's index image,
// which must outlive it.
class IndexedBitmap {
 public:
  IndexedBitmap(int32_t width, int32_t height, int32_t stride, BYTE* scan0) {
    holder_ = static_cast<Holder*>(GdipAlloc(sizeof(Holder)));
    if (holder_ == nullptr) {
      failure_ = ExportResult::kAllocation;
      return;
    }
    holder_->native = nullptr;
    if (GdipCreateBitmapFromScan0(width, height, stride, PixelFormat8bppIndexed, scan0,
                                  &holder_->native) != Ok ||
        holder_->native == nullptr) {
      GdipFree(holder_);
      holder_ = nullptr;
      failure_ = ExportResult::kImagingLibrary;
    }
  }
  ~IndexedBitmap() {
    if (holder_ == nullptr) return;
    GdipDisposeImage(holder_->native);
    GdipFree(holder_);
  }
  IndexedBitmap(const IndexedBitmap&) = delete;
  IndexedBitmap& operator=(const IndexedBitmap&) = delete;
  GpBitmap* native() const { return holder_ != nullptr ? holder_->native : nullptr; }
  // Why there is no bitmap, when there is none.
  ExportResult failure() const { return failure_; }

 private:
  struct Holder {
    GpBitmap* native;
  };
  Holder* holder_ = nullptr;
  ExportResult failure_ = ExportResult::kImagingLibrary;
};

class StreamOwner {
 public:
  StreamOwner() = default;
  ~StreamOwner() {
    if (stream_ != nullptr) stream_->Release();
  }
  StreamOwner(const StreamOwner&) = delete;
  StreamOwner& operator=(const StreamOwner&) = delete;
  IStream** out() { return &stream_; }
  IStream* get() const { return stream_; }

 private:
  IStream* stream_ = nullptr;
};

// Copies the whole stream into a new fixed global block; null on failure,
// with the reason in `failure`.
BYTE* CopyStreamOut(IStream* stream, uint32_t* out_length, ExportResult* failure) {
  *failure = ExportResult::kImagingLibrary;  // until the copy is made
  LARGE_INTEGER zero;
  zero.QuadPart = 0;
  ULARGE_INTEGER end;
  end.QuadPart = 0;
  if (FAILED(stream->Seek(zero, STREAM_SEEK_END, &end))) return nullptr;
  // A GIF of 16-bit sizes cannot reach 4 GiB; an empty one is no GIF.
  if (end.QuadPart == 0 || end.QuadPart > UINT32_MAX || end.QuadPart > SIZE_MAX) return nullptr;
  const uint32_t length = static_cast<uint32_t>(end.QuadPart);
  if (FAILED(stream->Seek(zero, STREAM_SEEK_SET, nullptr))) return nullptr;

  GlobalBlock copy(GlobalAlloc(GMEM_FIXED, length));
  if (copy.get() == nullptr) {
    *failure = ExportResult::kAllocation;
    return nullptr;
  }
  ULONG read = 0;
  if (FAILED(stream->Read(copy.get(), length, &read)) || read != length) return nullptr;
  *out_length = length;
  return static_cast<BYTE*>(copy.release());
}

// Maps every picture pixel to its palette index, top row first: `map_row`
// does one row's picture pixels, then in mask mode a pure black mask pixel
// makes its picture pixel transparent. The host buffer is bottom-up: its
// first row is the picture's last.
template <typename MapRow>
void FillIndexImage(FrameLayout layout, int32_t host_width, const void* pixels, int32_t height, uint8_t* indices,
                    size_t index_stride, MapRow map_row) {
  const int32_t width = static_cast<int32_t>(PictureWidthOf(host_width, layout == FrameLayout::kMasked));
  const size_t host_stride = static_cast<size_t>(HostFrameStride(host_width));
  const uint8_t* host = static_cast<const uint8_t*>(pixels);
  for (int32_t y = 0; y < height; ++y) {
    const uint8_t* source = host + static_cast<size_t>(height - 1 - y) * host_stride;
    uint8_t* target = indices + static_cast<size_t>(y) * index_stride;
    map_row(source, static_cast<size_t>(width), target);
    // The padding after the row goes to the imaging library with it: zeros,
    // so that every byte it reads is defined.
    std::memset(target + width, 0, index_stride - static_cast<size_t>(width));
    if (layout != FrameLayout::kMasked) continue;
    const uint8_t* mask = source + 3 * static_cast<size_t>(width);
    for (int32_t x = 0; x < width; ++x) {
      const uint8_t* m = mask + 3 * static_cast<size_t>(x);
      if (m[0] + m[1] + m[2] == 0) target[x] = kTransparentIndex;
    }
  }
}

// The search for a palette other than the fixed one, a row at a time: a
// pixel of the same colour as its left neighbour takes the neighbour's
// answer, which saves most searches on real pictures.
void SearchRow(const Palette& palette, const uint8_t* source, size_t width, uint8_t* target) {
  uint32_t last_colour = PixelColour(source);
  uint8_t last_index = static_cast<uint8_t>(FindNearestColor(last_colour, &palette));
  for (size_t x = 0; x < width; ++x) {
    const uint32_t colour = PixelColour(source + 3 * x);
    if (colour != last_colour) {
      last_colour = colour;
      last_index = static_cast<uint8_t>(FindNearestColor(colour, &palette));
    }
    target[x] = last_index;
  }
}

uint8_t* Fail(ExportResult reason, ExportResult* failure) {
  if (failure != nullptr) *failure = reason;
  return nullptr;
}

}  // namespace

ImagingSession::ImagingSession() {
  GdiplusStartupInput input;  // version 1, no debug callback, nothing suppressed
  started_ = GdiplusStartup(&token_, &input, nullptr) == Ok;
}

ImagingSession::~ImagingSession() {
  if (started_) GdiplusShutdown(token_);
}

void MapFrameToIndices(FrameLayout layout, const Palette& palette, int32_t host_width, const void* pixels,
                       int32_t height, uint8_t* indices, size_t index_stride) {
  const ColourMap* map = IsFixedPalette(palette) ? FixedPaletteColourMap() : nullptr;
  if (map != nullptr)
    FillIndexImage(layout, host_width, pixels, height, indices, index_stride,
                   [map](const uint8_t* source, size_t width, uint8_t* target) {
                     MapPixelsToIndices(*map, source, width, target);
                   });
  else
    FillIndexImage(layout, host_width, pixels, height, indices, index_stride,
                   [&palette](const uint8_t* source, size_t width, uint8_t* target) {
                     SearchRow(palette, source, width, target);
                   });
}

uint8_t* SaveIndexImageAsGif(const Palette& palette, int32_t width, int32_t height, uint8_t* indices,
                             int32_t index_stride, uint32_t* out_length, ExportResult* failure) {
  IndexedBitmap bitmap(width, height, index_stride, indices);
  if (bitmap.native() == nullptr) return Fail(bitmap.failure(), failure);
  // The palette layout is the imaging library's own (flags, count, entries).
  GdipSetImagePalette(bitmap.native(), reinterpret_cast<const ColorPalette*>(&palette));

  CLSID gif_encoder;
  ExportResult lookup_failure = ExportResult::kImagingLibrary;
  if (GetGifEncoderClsid(&gif_encoder, &lookup_failure) < 0) return Fail(lookup_failure, failure);

  // A growable stream over an empty movable block; releasing the stream frees
  // the block, so until the stream exists the block is ours to free.
  GlobalBlock stream_block(GlobalAlloc(GMEM_MOVEABLE, 0));
  if (stream_block.get() == nullptr) return Fail(ExportResult::kAllocation, failure);
  StreamOwner stream;
  if (FAILED(CreateStreamOnHGlobal(stream_block.get(), TRUE, stream.out())) || stream.get() == nullptr)
    return Fail(ExportResult::kAllocation, failure);
  stream_block.release();

  if (GdipSaveImageToStream(bitmap.native(), stream.get(), &gif_encoder, nullptr) != Ok)
    return Fail(ExportResult::kImagingLibrary, failure);

  uint32_t length = 0;
  ExportResult copy_failure = ExportResult::kImagingLibrary;
  BYTE* frame_gif = CopyStreamOut(stream.get(), &length, &copy_failure);
  if (frame_gif == nullptr) return Fail(copy_failure, failure);
  if (out_length != nullptr) *out_length = length;
  return frame_gif;
}

uint8_t* EncodeFrameGif(FrameLayout layout, const Palette* palette, int32_t host_width, const void* pixels,
                        int32_t height, uint32_t* out_length, ExportResult* failure) {
  if (pixels == nullptr || palette == nullptr) return Fail(ExportResult::kNoPixels, failure);

  // Sizes are checked once, here, by the rule hosts ask too: after it every
  // byte count below fits in 31 bits, so nothing multiplied in size_t wraps.
  const bool masked = layout == FrameLayout::kMasked;
  if (CheckHostFrameSize(host_width, height, masked) != FrameSizeCheck::kFits)
    return Fail(ExportResult::kSizeRefused, failure);
  const int32_t width = static_cast<int32_t>(PictureWidthOf(host_width, masked));
  const uint64_t index_stride = IndexImageStride(width);
  const uint64_t index_bytes = index_stride * static_cast<uint64_t>(height);

  ImagingSession imaging;
  if (!imaging.started()) return Fail(ExportResult::kImagingLibrary, failure);

  // Not cleared first: MapFrameToIndices writes every byte.
  GlobalBlock index_image(GlobalAlloc(GMEM_FIXED, static_cast<SIZE_T>(index_bytes)));
  if (index_image.get() == nullptr) return Fail(ExportResult::kAllocation, failure);
  uint8_t* indices = static_cast<uint8_t*>(index_image.get());
  MapFrameToIndices(layout, *palette, host_width, pixels, height, indices, static_cast<size_t>(index_stride));
  return SaveIndexImageAsGif(*palette, width, height, indices, static_cast<int32_t>(index_stride), out_length,
                             failure);
}

uint8_t* EncodeFrame(const Palette* palette, int32_t host_width, const void* pixels, int32_t height,
                     uint32_t* out_length) {
  return EncodeFrameGif(FrameLayout::kPlain, palette, host_width, pixels, height, out_length, nullptr);
}

uint8_t* EncodeMaskedFrame(const Palette* palette, int32_t host_width, const void* pixels, int32_t height,
                           uint32_t* out_length) {
  return EncodeFrameGif(FrameLayout::kMasked, palette, host_width, pixels, height, out_length, nullptr);
}

void FreeFrameGif(uint8_t* gif) {
  if (gif != nullptr) GlobalFree(gif);
}

int GetGifEncoderClsid(CLSID* out_clsid, ExportResult* failure) {
  auto none = [failure](ExportResult reason) {
    if (failure != nullptr) *failure = reason;
    return -1;
  };
  UINT count = 0;
  UINT bytes = 0;
  GdipGetImageEncodersSize(&count, &bytes);
  if (bytes == 0 || count == 0) return none(ExportResult::kImagingLibrary);
  // The descriptions and the strings they point to share one buffer, so the
  // buffer must hold at least the descriptions themselves.
  if (static_cast<uint64_t>(count) * sizeof(ImageCodecInfo) > bytes) return none(ExportResult::kImagingLibrary);

  GlobalBlock buffer(GlobalAlloc(GMEM_FIXED, bytes));
  if (buffer.get() == nullptr) return none(ExportResult::kAllocation);
  ImageCodecInfo* encoders = static_cast<ImageCodecInfo*>(buffer.get());
  if (GdipGetImageEncoders(count, bytes, encoders) != Ok) return none(ExportResult::kImagingLibrary);

  for (UINT i = 0; i < count; ++i) {
    if (IsGifMimeType(encoders[i].MimeType)) {
      std::memcpy(out_clsid, &encoders[i].Clsid, sizeof(CLSID));
      return static_cast<int>(i);
    }
  }
  return none(ExportResult::kImagingLibrary);
}
