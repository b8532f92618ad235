// The imaging library's flat API, as far as the frame encoder uses it: start
// and stop, its allocator, 8-bit indexed bitmaps over the caller's pixels,
// their palettes, the encoder list and saving as GIF, with our own coder.
#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <unordered_set>
#include <vector>

#include "gifformat/gif_format.h"
#include "gifformat/lzw_encoder.h"
#include "platform/standin/internal.h"

// What this file defines lives in the library's namespaces; its own helpers
// below use the names from there.
using namespace Gdiplus;
using namespace Gdiplus::DllExports;

namespace {

using standin::GifLayout;
using standin::Resource;
namespace internal = standin::internal;

// ------------------------------------------------------------------ start-up

std::vector<ULONG_PTR>& LiveTokens() {
  static std::vector<ULONG_PTR> tokens;
  return tokens;
}

bool Started() { return !LiveTokens().empty(); }

// -------------------------------------------------------------- allocations

std::unordered_set<void*>& ImagingBlocks() {
  static std::unordered_set<void*> blocks;
  return blocks;
}

// ------------------------------------------------------------------- bitmaps

class IndexedBitmap final : public GpBitmap {
 public:
  int32_t width = 0;
  int32_t height = 0;
  ptrdiff_t stride = 0;     // bytes from one row to the next; negative for bottom-up
  uint8_t* scan0 = nullptr; // the first row: the caller's, or `own_pixels`
  uint8_t* own_pixels = nullptr;
  uint32_t palette_count = 0;
  ARGB palette[256] = {};

  ~IndexedBitmap() { std::free(own_pixels); }

  const uint8_t* Row(int32_t y) const { return scan0 + static_cast<ptrdiff_t>(y) * stride; }
};

std::unordered_set<GpImage*>& LiveBitmaps() {
  static std::unordered_set<GpImage*> bitmaps;
  return bitmaps;
}

IndexedBitmap* FindBitmap(GpImage* image) {
  if (image == nullptr || LiveBitmaps().count(image) == 0) return nullptr;
  return static_cast<IndexedBitmap*>(image);
}

// -------------------------------------------------------------- encoder list

constexpr DWORD kCodecEncoder = 0x00000001;
constexpr DWORD kCodecSupportBitmap = 0x00000004;
constexpr DWORD kCodecBuiltin = 0x00010000;

struct EncoderEntry {
  CLSID clsid;
  GUID format_id;
  const WCHAR* codec_name;
  const WCHAR* format_description;
  const WCHAR* filename_extension;
  const WCHAR* mime_type;
  DWORD signature_count;
  DWORD signature_size;
  const BYTE* signatures;  // signature_count patterns of signature_size bytes
};

// The encoders' class ids and format ids are the well-known ones of the
// Windows imaging library, so an id copied from either list means the same.
constexpr CLSID kGifEncoder = {0x557CF402, 0x1A04, 0x11D3, {0x9A, 0x73, 0x00, 0x00, 0xF8, 0x1E, 0xF3, 0x2E}};

constexpr BYTE kBmpSignature[] = {'B', 'M'};
constexpr BYTE kJpegSignature[] = {0xFF, 0xD8};
constexpr BYTE kGifSignatures[] = {'G', 'I', 'F', '8', '9', 'a', 'G', 'I', 'F', '8', '7', 'a'};
constexpr BYTE kTiffSignatures[] = {'I', 'I', 'M', 'M'};
constexpr BYTE kPngSignature[] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};

// In the order the real list has them: "image/gif" is not first, so a walk
// that only looks at the first entry fails here too.
const EncoderEntry kEncoders[] = {
    {{0x557CF400, 0x1A04, 0x11D3, {0x9A, 0x73, 0x00, 0x00, 0xF8, 0x1E, 0xF3, 0x2E}},
     {0xB96B3CAB, 0x0728, 0x11D3, {0x9D, 0x7B, 0x00, 0x00, 0xF8, 0x1E, 0xF3, 0x2E}},
     u"Stand-in BMP encoder", u"BMP", u"*.BMP;*.DIB;*.RLE", u"image/bmp", 1, 2, kBmpSignature},
    {{0x557CF401, 0x1A04, 0x11D3, {0x9A, 0x73, 0x00, 0x00, 0xF8, 0x1E, 0xF3, 0x2E}},
     {0xB96B3CAE, 0x0728, 0x11D3, {0x9D, 0x7B, 0x00, 0x00, 0xF8, 0x1E, 0xF3, 0x2E}},
     u"Stand-in JPEG encoder", u"JPEG", u"*.JPG;*.JPEG;*.JPE;*.JFIF", u"image/jpeg", 1, 2,
     kJpegSignature},
    {kGifEncoder,
     {0xB96B3CB0, 0x0728, 0x11D3, {0x9D, 0x7B, 0x00, 0x00, 0xF8, 0x1E, 0xF3, 0x2E}},
     u"Stand-in GIF encoder", u"GIF", u"*.GIF", u"image/gif", 2, 6, kGifSignatures},
    {{0x557CF405, 0x1A04, 0x11D3, {0x9A, 0x73, 0x00, 0x00, 0xF8, 0x1E, 0xF3, 0x2E}},
     {0xB96B3CB1, 0x0728, 0x11D3, {0x9D, 0x7B, 0x00, 0x00, 0xF8, 0x1E, 0xF3, 0x2E}},
     u"Stand-in TIFF encoder", u"TIFF", u"*.TIF;*.TIFF", u"image/tiff", 2, 2, kTiffSignatures},
    {{0x557CF406, 0x1A04, 0x11D3, {0x9A, 0x73, 0x00, 0x00, 0xF8, 0x1E, 0xF3, 0x2E}},
     {0xB96B3CAF, 0x0728, 0x11D3, {0x9D, 0x7B, 0x00, 0x00, 0xF8, 0x1E, 0xF3, 0x2E}},
     u"Stand-in PNG encoder", u"PNG", u"*.PNG", u"image/png", 1, 8, kPngSignature},
};

bool SameGuid(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof(GUID)) == 0; }

bool Listed(const EncoderEntry& entry) {
  return internal::IsGifEncoderListed() || !SameGuid(entry.clsid, kGifEncoder);
}

size_t StringBytes(const WCHAR* text) { return (std::char_traits<WCHAR>::length(text) + 1) * sizeof(WCHAR); }

// What one entry adds after the array: its four strings, then its signature
// patterns and as many masks.
size_t TrailingBytes(const EncoderEntry& entry) {
  return StringBytes(entry.codec_name) + StringBytes(entry.format_description) +
         StringBytes(entry.filename_extension) + StringBytes(entry.mime_type) +
         2 * static_cast<size_t>(entry.signature_count) * entry.signature_size;
}

void ListedEncoders(UINT* count, UINT* bytes) {
  size_t n = 0;
  size_t total = 0;
  for (const EncoderEntry& entry : kEncoders) {
    if (!Listed(entry)) continue;
    ++n;
    total += sizeof(ImageCodecInfo) + TrailingBytes(entry);
  }
  *count = static_cast<UINT>(n);
  *bytes = static_cast<UINT>(total);
}

// ------------------------------------------------------------------ GIF out
//
// The GIF's blocks are named by the format library (gifformat/gif_format.h).

constexpr uint8_t kEveryTableEntry = 7;  // 2^(7+1) = 256 entries

// Signature, screen descriptor, global table, control extension, image
// descriptor: the longer of the two layouts' heads.
constexpr size_t kLongestHead = gifformat::kHeaderSize + gifformat::kMaxColourTableBytes +
                                gifformat::kControlExtensionSize + gifformat::kImageDescriptorSize;

class HeadWriter {
 public:
  explicit HeadWriter(uint8_t* out) : start_(out), out_(out) {}
  void Byte(uint8_t value) { *out_++ = value; }
  void Word(int value) { gifformat::WriteLe16(Bytes(2), static_cast<uint16_t>(value)); }  // little-endian
  // Room for `count` bytes the caller writes.
  uint8_t* Bytes(size_t count) {
    uint8_t* at = out_;
    out_ += count;
    return at;
  }
  // The palette padded with black to the 256 entries both layouts write.
  void Table(const IndexedBitmap& bitmap) {
    for (uint32_t i = 0; i < gifformat::kMaxColourTableEntries; ++i) {
      const ARGB colour = i < bitmap.palette_count ? bitmap.palette[i] : 0;
      Byte(static_cast<uint8_t>(colour >> 16));
      Byte(static_cast<uint8_t>(colour >> 8));
      Byte(static_cast<uint8_t>(colour));
    }
  }
  size_t size() const { return static_cast<size_t>(out_ - start_); }

 private:
  uint8_t* start_;
  uint8_t* out_;
};

// The first entry with alpha 0, the one the encoder marks transparent; -1
// when there is none.
int TransparentIndex(const IndexedBitmap& bitmap) {
  for (uint32_t i = 0; i < bitmap.palette_count; ++i) {
    if ((bitmap.palette[i] >> 24) == 0) return static_cast<int>(i);
  }
  return -1;
}

// Everything before the image data in the layout asked for; its length.
size_t PutHead(const IndexedBitmap& bitmap, uint8_t* head) {
  HeadWriter out(head);
  std::memcpy(out.Bytes(gifformat::kSignatureSize), gifformat::kSignature89a, gifformat::kSignatureSize);
  const bool global = internal::CurrentGifLayout() != GifLayout::kLocalTableOnly;
  out.Word(bitmap.width);
  out.Word(bitmap.height);
  // Without a global table the size bits say 256 all the same; readers
  // ignore them.
  out.Byte((global ? gifformat::kColourTableFlag : 0) | gifformat::kColourResolutionBits | kEveryTableEntry);
  out.Byte(0);  // background index
  out.Byte(0);  // aspect ratio: none given
  if (global) {
    out.Table(bitmap);
    // The control extension comes right after the global table. Without an
    // alpha-0 entry it is still written, with the transparent flag clear and
    // index 0, so the image part always starts at the same offset. Disposal
    // unspecified, no delay.
    const int transparent = TransparentIndex(bitmap);
    gifformat::ControlFields control;
    control.has_transparent = transparent >= 0;
    control.transparent_index = static_cast<uint8_t>(transparent >= 0 ? transparent : 0);
    gifformat::WriteControlExtension(control, out.Bytes(gifformat::kControlExtensionSize));
  }
  out.Byte(gifformat::kImageSeparator);
  out.Word(0);  // left
  out.Word(0);  // top
  out.Word(bitmap.width);
  out.Word(bitmap.height);
  out.Byte(global ? 0 : gifformat::kColourTableFlag | kEveryTableEntry);  // not interlaced
  if (!global) out.Table(bitmap);
  return out.size();
}

// Once a write has failed nothing more is written.
struct StreamSink {
  IStream* stream;
  bool failed = false;
};

bool WriteToStream(void* context, const uint8_t* bytes, size_t length) {
  auto* sink = static_cast<StreamSink*>(context);
  if (sink->failed) return false;
  ULONG written = 0;
  HRESULT result = length > ULONG_MAX ? E_OUTOFMEMORY
                                      : sink->stream->Write(bytes, static_cast<ULONG>(length), &written);
  if (FAILED(result) || written != length) sink->failed = true;
  return !sink->failed;
}

GpStatus WriteGif(const IndexedBitmap& bitmap, IStream* stream) {
  if (bitmap.width > gifformat::kMaxSide || bitmap.height > gifformat::kMaxSide) return InvalidParameter;
  uint8_t head[kLongestHead];
  const size_t head_size = PutHead(bitmap, head);
  StreamSink sink{stream};
  if (!WriteToStream(&sink, head, head_size)) return Win32Error;
  // One coder for the process: its tables outlive the imaging library's
  // start and stop, which the frame encoder does for every frame.
  static gifformat::LzwEncoder coder;
  switch (coder.Write(bitmap.Row(0), bitmap.width, bitmap.height, bitmap.stride, WriteToStream, &sink)) {
    case gifformat::LzwResult::kOk:
      break;
    case gifformat::LzwResult::kOutOfMemory:
      return OutOfMemory;
    case gifformat::LzwResult::kSinkFailed:
      return Win32Error;
    case gifformat::LzwResult::kBadSize:
      return GenericError;  // a bitmap is never empty
  }
  return WriteToStream(&sink, &gifformat::kTrailer, 1) ? Ok : Win32Error;
}

}  // namespace

namespace Gdiplus {

// ------------------------------------------------------------------ start-up

GpStatus WINGDIPAPI GdiplusStartup(ULONG_PTR* token, const GdiplusStartupInput* input,
                                   GdiplusStartupOutput* output) {
  if (token == nullptr || input == nullptr) return InvalidParameter;
  *token = 0;  // shutting down with it after a failure does nothing
  if (input->GdiplusVersion != 1) return UnsupportedGdiplusVersion;
  // Whoever suppresses the background thread must take the hooks that stand
  // in for it.
  if (input->SuppressBackgroundThread && output == nullptr) return InvalidParameter;
  if (!internal::BeginAcquisition(Resource::kStartup)) return OutOfMemory;
  // Tokens are never reused, so a stale one cannot end someone else's start.
  static ULONG_PTR last_token = 0x5000;
  ULONG_PTR next = last_token + 1;
  try {
    LiveTokens().push_back(next);
  } catch (const std::bad_alloc&) {
    return OutOfMemory;
  }
  last_token = next;
  if (output != nullptr) *output = GdiplusStartupOutput();
  internal::NoteAcquired(Resource::kStartup);
  *token = next;
  return Ok;
}

void WINGDIPAPI GdiplusShutdown(ULONG_PTR token) {
  std::vector<ULONG_PTR>& tokens = LiveTokens();
  auto it = std::find(tokens.begin(), tokens.end(), token);
  if (it == tokens.end()) return;
  tokens.erase(it);
  internal::NoteReleased(Resource::kStartup);
}

namespace DllExports {

// -------------------------------------------------------------- allocations

void* WINGDIPAPI GdipAlloc(size_t bytes) {
  if (!internal::BeginAcquisition(Resource::kImagingAlloc)) return nullptr;
  void* block = std::malloc(bytes == 0 ? 1 : bytes);
  if (block == nullptr) return nullptr;
  try {
    ImagingBlocks().insert(block);
  } catch (const std::bad_alloc&) {
    std::free(block);
    return nullptr;
  }
  internal::NoteAcquired(Resource::kImagingAlloc);
  return block;
}

void WINGDIPAPI GdipFree(void* block) {
  if (block == nullptr) return;
  if (ImagingBlocks().erase(block) == 0) internal::Misuse("GdipFree of a block GdipAlloc did not return");
  std::free(block);
  internal::NoteReleased(Resource::kImagingAlloc);
}

// ------------------------------------------------------------------- bitmaps

GpStatus WINGDIPAPI GdipCreateBitmapFromScan0(INT width, INT height, INT stride, PixelFormat format,
                                              BYTE* scan0, GpBitmap** bitmap) {
  if (!Started()) return GdiplusNotInitialized;
  if (bitmap == nullptr) return InvalidParameter;
  *bitmap = nullptr;
  // Only the 8-bit indexed format is supported; every other one is refused.
  if (width <= 0 || height <= 0 || format != PixelFormat8bppIndexed) return InvalidParameter;
  // With the caller's pixels the stride says where each row starts: at least
  // a row long, a multiple of 4, negative for rows stored bottom-up.
  const int64_t row_bytes = width;
  const int64_t abs_stride = stride < 0 ? -static_cast<int64_t>(stride) : stride;
  if (scan0 != nullptr && (abs_stride < row_bytes || abs_stride % 4 != 0)) return InvalidParameter;
  // Without pixels the bitmap owns zeroed rows, padded to 4 bytes.
  const int64_t own_stride = (row_bytes + 3) / 4 * 4;
  if (scan0 == nullptr && static_cast<uint64_t>(own_stride) > SIZE_MAX / static_cast<uint64_t>(height)) {
    return OutOfMemory;
  }
  if (!internal::BeginAcquisition(Resource::kBitmap)) return OutOfMemory;

  auto* created = new (std::nothrow) IndexedBitmap();
  if (created == nullptr) return OutOfMemory;
  created->width = width;
  created->height = height;
  if (scan0 != nullptr) {
    created->scan0 = scan0;
    created->stride = stride;
  } else {
    created->own_pixels =
        static_cast<uint8_t*>(std::calloc(static_cast<size_t>(own_stride) * static_cast<size_t>(height), 1));
    created->scan0 = created->own_pixels;
    created->stride = static_cast<ptrdiff_t>(own_stride);
  }
  // Until a palette is set the bitmap has a grey ramp (the real library's
  // default is a halftone palette; nothing here relies on either).
  created->palette_count = 256;
  for (uint32_t i = 0; i < 256; ++i) created->palette[i] = 0xFF000000u | (i * 0x010101u);
  bool stored = created->scan0 != nullptr;
  if (stored) {
    try {
      LiveBitmaps().insert(created);
    } catch (const std::bad_alloc&) {
      stored = false;
    }
  }
  if (!stored) {
    delete created;
    return OutOfMemory;
  }
  internal::NoteAcquired(Resource::kBitmap);
  *bitmap = created;
  return Ok;
}

GpStatus WINGDIPAPI GdipSetImagePalette(GpImage* image, const ColorPalette* palette) {
  if (!Started()) return GdiplusNotInitialized;
  IndexedBitmap* bitmap = FindBitmap(image);
  if (bitmap == nullptr || palette == nullptr) return InvalidParameter;
  if (palette->Count == 0 || palette->Count > 256) return InvalidParameter;
  // Entries is declared with one element and really holds Count of them.
  const ARGB* entries = palette->Entries;
  std::copy(entries, entries + palette->Count, bitmap->palette);
  bitmap->palette_count = palette->Count;
  return Ok;
}

GpStatus WINGDIPAPI GdipDisposeImage(GpImage* image) {
  if (!Started()) return GdiplusNotInitialized;
  IndexedBitmap* bitmap = FindBitmap(image);
  if (bitmap == nullptr) return InvalidParameter;
  LiveBitmaps().erase(image);
  delete bitmap;
  internal::NoteReleased(Resource::kBitmap);
  return Ok;
}

// -------------------------------------------------------------- encoder list

GpStatus WINGDIPAPI GdipGetImageEncodersSize(UINT* count, UINT* bytes) {
  if (!Started()) return GdiplusNotInitialized;
  if (count == nullptr || bytes == nullptr) return InvalidParameter;
  ListedEncoders(count, bytes);
  return Ok;
}

// The caller's buffer holds the array of descriptions followed by the
// strings and signature bytes they point to.
GpStatus WINGDIPAPI GdipGetImageEncoders(UINT count, UINT bytes, ImageCodecInfo* encoders) {
  if (!Started()) return GdiplusNotInitialized;
  if (encoders == nullptr) return InvalidParameter;
  UINT want_count = 0;
  UINT want_bytes = 0;
  ListedEncoders(&want_count, &want_bytes);
  if (count != want_count || bytes != want_bytes) return GenericError;

  auto* tail = reinterpret_cast<BYTE*>(encoders + count);
  auto put_string = [&tail](const WCHAR* text) {
    size_t size = StringBytes(text);
    std::memcpy(tail, text, size);
    auto* placed = reinterpret_cast<WCHAR*>(tail);
    tail += size;
    return placed;
  };
  ImageCodecInfo* info = encoders;
  for (const EncoderEntry& entry : kEncoders) {
    if (!Listed(entry)) continue;
    *info = ImageCodecInfo();
    info->Clsid = entry.clsid;
    info->FormatID = entry.format_id;
    info->CodecName = put_string(entry.codec_name);
    info->DllName = nullptr;  // built in, no codec DLL
    info->FormatDescription = put_string(entry.format_description);
    info->FilenameExtension = put_string(entry.filename_extension);
    info->MimeType = put_string(entry.mime_type);
    info->Flags = kCodecEncoder | kCodecSupportBitmap | kCodecBuiltin;
    info->Version = 1;
    info->SigCount = entry.signature_count;
    info->SigSize = entry.signature_size;
    ++info;
  }
  // The signature bytes go last: the strings before them need 2-byte
  // alignment, the bytes none.
  info = encoders;
  for (const EncoderEntry& entry : kEncoders) {
    if (!Listed(entry)) continue;
    size_t size = static_cast<size_t>(entry.signature_count) * entry.signature_size;
    info->SigPattern = tail;
    std::memcpy(tail, entry.signatures, size);
    tail += size;
    info->SigMask = tail;
    std::memset(tail, 0xFF, size);
    tail += size;
    ++info;
  }
  return Ok;
}

// --------------------------------------------------------------------- save

GpStatus WINGDIPAPI GdipSaveImageToStream(GpImage* image, IStream* stream, const CLSID* encoder,
                                          const EncoderParameters* /*parameters*/) {
  if (!Started()) return GdiplusNotInitialized;
  IndexedBitmap* bitmap = FindBitmap(image);
  if (bitmap == nullptr || stream == nullptr || encoder == nullptr) return InvalidParameter;
  const EncoderEntry* found = nullptr;
  for (const EncoderEntry& entry : kEncoders) {
    if (Listed(entry) && SameGuid(entry.clsid, *encoder)) found = &entry;
  }
  if (found == nullptr) return UnknownImageFormat;
  if (!SameGuid(found->clsid, kGifEncoder)) return NotImplemented;
  return WriteGif(*bitmap, stream);
}

}  // namespace DllExports
}  // namespace Gdiplus
