// The stand-in for the Windows APIs: what the frame encoder relies on, checked
// against the real APIs' meanings, and the GIF its imaging library writes,
// checked byte by byte and decoded again with giflib.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "platform/standin/control.h"
#include "platform/win32.h"
#include "tests/support/gif_decode.h"

// The imaging library's names, from its namespaces.
using namespace Gdiplus;
using namespace Gdiplus::DllExports;

namespace {

using standin::GifLayout;
using standin::Resource;

constexpr Resource kAllKinds[] = {Resource::kStartup, Resource::kImagingAlloc, Resource::kBitmap,
                                  Resource::kGlobalBlock, Resource::kStream};

// Every test starts from the defaults and must leave alive what it found.
class StandinTest : public ::testing::Test {
 protected:
  void SetUp() override {
    standin::Reset();
    for (Resource kind : kAllKinds) live_before_.push_back(standin::LiveCount(kind));
  }
  void TearDown() override {
    standin::Reset();
    for (size_t i = 0; i < live_before_.size(); ++i) {
      int have = standin::LiveCount(kAllKinds[i]);
      EXPECT_EQ(have, live_before_[i]) << standin::ResourceName(kAllKinds[i]) << " left alive: have " << have
                                       << ", want " << live_before_[i];
    }
  }
  std::vector<int> live_before_;
};

template <typename F>
class ScopeExit {
 public:
  explicit ScopeExit(F f) : f_(f) {}
  ~ScopeExit() { f_(); }
  ScopeExit(const ScopeExit&) = delete;
  ScopeExit& operator=(const ScopeExit&) = delete;

 private:
  F f_;
};

// One start of the imaging library for the length of a scope.
struct Started {
  Started() {
    GdiplusStartupInput input;
    status = GdiplusStartup(&token, &input, nullptr);
  }
  ~Started() { GdiplusShutdown(token); }
  ULONG_PTR token = 0;
  GpStatus status;
};

// The palette record as the plug-in lays it out: flags, count, 256 entries.
struct TestPalette {
  UINT flags = 0;
  UINT count = 256;
  ARGB entries[256] = {};
  const ColorPalette* get() const { return reinterpret_cast<const ColorPalette*>(this); }
};

// Entry 0 transparent, the rest opaque and all different.
TestPalette PluginLikePalette() {
  TestPalette palette;
  for (uint32_t i = 1; i < 256; ++i) palette.entries[i] = 0xFF000000u | (i * 0x010203u + 0x405060u) % 0x1000000u;
  return palette;
}

// 0xRRGGBB of an entry, what a colour table holds.
uint32_t Rgb(ARGB argb) { return argb & 0xFFFFFFu; }

const CLSID kGifEncoder = {0x557CF402, 0x1A04, 0x11D3, {0x9A, 0x73, 0x00, 0x00, 0xF8, 0x1E, 0xF3, 0x2E}};
const CLSID kBmpEncoder = {0x557CF400, 0x1A04, 0x11D3, {0x9A, 0x73, 0x00, 0x00, 0xF8, 0x1E, 0xF3, 0x2E}};

// Indices that use every value and differ from row to row.
std::vector<uint8_t> Pattern(int width, int height, int stride) {
  std::vector<uint8_t> pixels(static_cast<size_t>(stride) * height, 0xEE);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) pixels[static_cast<size_t>(y) * stride + x] = static_cast<uint8_t>(x * 7 + y * 31 + 1);
  return pixels;
}

std::vector<uint8_t> Unpadded(const std::vector<uint8_t>& pixels, int width, int height, int stride) {
  std::vector<uint8_t> out;
  for (int y = 0; y < height; ++y)
    out.insert(out.end(), pixels.begin() + y * stride, pixels.begin() + y * stride + width);
  return out;
}

// Everything in a stream, read the way the frame encoder reads it.
std::vector<uint8_t> StreamBytes(IStream* stream) {
  ULARGE_INTEGER end = {};
  stream->Seek(LARGE_INTEGER{0}, STREAM_SEEK_END, &end);
  stream->Seek(LARGE_INTEGER{0}, STREAM_SEEK_SET, nullptr);
  std::vector<uint8_t> bytes(static_cast<size_t>(end.QuadPart));
  ULONG read = 0;
  if (!bytes.empty()) stream->Read(bytes.data(), static_cast<ULONG>(bytes.size()), &read);
  bytes.resize(read);
  return bytes;
}

IStream* NewStream() {
  IStream* stream = nullptr;
  EXPECT_EQ(CreateStreamOnHGlobal(nullptr, TRUE, &stream), S_OK);
  return stream;
}

// Saves a bitmap over `pixels` as GIF; the bytes, or empty with `*status` set.
std::vector<uint8_t> SaveGif(std::vector<uint8_t>& pixels, int width, int height, int stride,
                             const TestPalette& palette, GpStatus* status) {
  Started started;
  GpBitmap* bitmap = nullptr;
  *status = GdipCreateBitmapFromScan0(width, height, stride, PixelFormat8bppIndexed, pixels.data(), &bitmap);
  if (*status != Ok) return {};
  ScopeExit dispose([&] { GdipDisposeImage(bitmap); });
  *status = GdipSetImagePalette(bitmap, palette.get());
  if (*status != Ok) return {};
  IStream* stream = NewStream();
  if (stream == nullptr) return {};
  ScopeExit release([&] { stream->Release(); });
  *status = GdipSaveImageToStream(bitmap, stream, &kGifEncoder, nullptr);
  if (*status != Ok) return {};
  return StreamBytes(stream);
}

// -------------------------------------------------------- decoding with giflib

// The first image of a GIF, as the shared giflib decoder reads it.
struct Decoded {
  std::string error;  // empty when giflib read the file
  int width = 0, height = 0, images = 0;
  bool global_table = false, local_table = false;
  std::vector<uint32_t> table;  // 0xRRGGBB, the table the image is drawn with
  int transparent = -2;         // -2: no control extension, -1: one without transparency
  std::vector<uint8_t> indices;
};

Decoded Decode(const std::vector<uint8_t>& bytes) {
  Decoded d;
  testing_support::DecodedGif gif;
  if (!testing_support::DecodeGif(bytes, &gif, &d.error)) return d;
  d.width = gif.width;
  d.height = gif.height;
  d.images = static_cast<int>(gif.frames.size());
  d.global_table = !gif.global_table.empty();
  if (gif.frames.empty()) return d;
  const testing_support::DecodedFrame& image = gif.frames[0];
  d.local_table = !image.local_table.empty();
  d.table = d.local_table ? image.local_table : gif.global_table;
  d.transparent = image.disposal < 0 ? -2 : image.transparent_index;  // disposal -1: no control extension
  d.indices = image.indices;
  return d;
}

int Word16(const std::vector<uint8_t>& bytes, size_t at) { return bytes[at] | bytes[at + 1] << 8; }

// ============================================================== global memory

using GlobalMemoryTest = StandinTest;

struct AllocCase {
  const char* what;
  UINT flags;
  SIZE_T bytes;
  bool want_handle_is_address;
  bool want_lock_null;  // a movable block of size 0 has no memory to lock
};

TEST_F(GlobalMemoryTest, AllocationKinds) {
  const AllocCase cases[] = {
      {"fixed", GMEM_FIXED, 16, true, false},
      {"fixed, zeroed", GPTR, 16, true, false},
      {"fixed, size 0", GMEM_FIXED, 0, true, false},
      {"movable", GMEM_MOVEABLE, 16, false, false},
      {"movable, zeroed", GHND, 33, false, false},
      {"movable, size 0", GMEM_MOVEABLE, 0, false, true},
  };
  for (const AllocCase& c : cases) {
    SCOPED_TRACE(c.what);
    const int live = standin::LiveCount(Resource::kGlobalBlock);
    HGLOBAL block = GlobalAlloc(c.flags, c.bytes);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(standin::LiveCount(Resource::kGlobalBlock), live + 1);
    EXPECT_EQ(GlobalSize(block), c.bytes) << "have " << GlobalSize(block) << ", want " << c.bytes;
    void* data = GlobalLock(block);
    EXPECT_EQ(data == nullptr, c.want_lock_null) << "lock gave " << data;
    if (data != nullptr) {
      EXPECT_EQ(data == block, c.want_handle_is_address) << "handle " << block << ", address " << data;
      if ((c.flags & GMEM_ZEROINIT) != 0) {
        const auto* bytes = static_cast<const uint8_t*>(data);
        for (SIZE_T i = 0; i < c.bytes; ++i) ASSERT_EQ(bytes[i], 0) << "byte " << i;
      }
      std::memset(data, 0x5A, c.bytes);  // the whole block is writable
      GlobalUnlock(block);
    }
    EXPECT_EQ(GlobalFree(block), nullptr) << "GlobalFree returns null on success";
    EXPECT_EQ(standin::LiveCount(Resource::kGlobalBlock), live);
  }
}

TEST_F(GlobalMemoryTest, WithoutZeroInitTheBytesAreNotZero) {
  // Code that wants zeros must ask for them; the stand-in makes sure it shows.
  HGLOBAL block = GlobalAlloc(GMEM_FIXED, 64);
  ASSERT_NE(block, nullptr);
  const auto* bytes = static_cast<const uint8_t*>(block);
  int zeros = 0;
  for (int i = 0; i < 64; ++i) zeros += bytes[i] == 0;
  EXPECT_EQ(zeros, 0);
  GlobalFree(block);
}

TEST_F(GlobalMemoryTest, BadHandlesAndSizes) {
  HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, 4);
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(GlobalFree(block), nullptr);
  EXPECT_EQ(GlobalFree(block), block) << "a second free fails and returns the handle";
  EXPECT_EQ(GlobalSize(block), 0u);
  EXPECT_EQ(GlobalLock(block), nullptr);
  EXPECT_EQ(GlobalFree(nullptr), nullptr);

  const int live = standin::LiveTotal();
  EXPECT_EQ(GlobalAlloc(GMEM_FIXED, SIZE_MAX), nullptr);
  EXPECT_EQ(GlobalAlloc(GMEM_MOVEABLE, SIZE_MAX / 2 + 1), nullptr);
  EXPECT_EQ(GlobalAlloc(0x8000u, 4), nullptr) << "unknown flag";
  EXPECT_EQ(standin::LiveTotal(), live);
}

// ===================================================================== streams

using StreamTest = StandinTest;

// What the frame encoder does: a movable block of size 0, a stream over it
// that frees it, the GIF written in pieces, the length from the end, the
// bytes from the start.
TEST_F(StreamTest, WrittenPiecesComeBackWhole) {
  const int blocks = standin::LiveCount(Resource::kGlobalBlock);
  HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, 0);
  ASSERT_NE(block, nullptr);
  IStream* stream = nullptr;
  ASSERT_EQ(CreateStreamOnHGlobal(block, TRUE, &stream), S_OK);
  ASSERT_NE(stream, nullptr);

  std::vector<uint8_t> want;
  for (int piece = 0; piece < 40; ++piece) {
    std::vector<uint8_t> bytes(static_cast<size_t>(piece * 37 % 300 + 1));
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(piece + i);
    ULONG written = 0;
    ASSERT_EQ(stream->Write(bytes.data(), static_cast<ULONG>(bytes.size()), &written), S_OK);
    ASSERT_EQ(written, bytes.size());
    want.insert(want.end(), bytes.begin(), bytes.end());
  }
  ULARGE_INTEGER end = {};
  ASSERT_EQ(stream->Seek(LARGE_INTEGER{0}, STREAM_SEEK_END, &end), S_OK);
  EXPECT_EQ(end.QuadPart, want.size()) << "have " << end.QuadPart << ", want " << want.size();
  EXPECT_EQ(GlobalSize(block), want.size()) << "the block is the stream's length";
  ULARGE_INTEGER start = {};
  ASSERT_EQ(stream->Seek(LARGE_INTEGER{0}, STREAM_SEEK_SET, &start), S_OK);
  EXPECT_EQ(start.QuadPart, 0u);
  std::vector<uint8_t> have(want.size());
  ULONG read = 0;
  ASSERT_EQ(stream->Read(have.data(), static_cast<ULONG>(have.size()), &read), S_OK);
  EXPECT_EQ(read, want.size());
  EXPECT_EQ(have, want);

  EXPECT_EQ(stream->Release(), 0u);
  EXPECT_EQ(standin::LiveCount(Resource::kGlobalBlock), blocks) << "delete-on-release frees the block";
  EXPECT_EQ(standin::LiveCount(Resource::kStream), 0);
}

struct SeekCase {
  const char* what;
  int64_t move;
  DWORD origin;
  HRESULT want_result;
  uint64_t want_position;  // where the stream is afterwards
};

TEST_F(StreamTest, SeekOrigins) {
  // Each case starts on a 10-byte stream at position 4.
  const SeekCase cases[] = {
      {"set 0", 0, STREAM_SEEK_SET, S_OK, 0},
      {"set 7", 7, STREAM_SEEK_SET, S_OK, 7},
      {"current +3", 3, STREAM_SEEK_CUR, S_OK, 7},
      {"current -4", -4, STREAM_SEEK_CUR, S_OK, 0},
      {"end 0 is the length", 0, STREAM_SEEK_END, S_OK, 10},
      {"end -10", -10, STREAM_SEEK_END, S_OK, 0},
      {"past the end is allowed", 5, STREAM_SEEK_END, S_OK, 15},
      {"before the start", -5, STREAM_SEEK_CUR, STG_E_INVALIDFUNCTION, 4},
      {"set negative", -1, STREAM_SEEK_SET, STG_E_INVALIDFUNCTION, 4},
      {"end overflowing", INT64_MAX, STREAM_SEEK_END, STG_E_INVALIDFUNCTION, 4},
      {"unknown origin", 0, 3, STG_E_INVALIDFUNCTION, 4},
  };
  for (const SeekCase& c : cases) {
    SCOPED_TRACE(c.what);
    IStream* stream = NewStream();
    ASSERT_NE(stream, nullptr);
    ScopeExit release([&] { stream->Release(); });
    stream->Write("0123456789", 10, nullptr);
    stream->Seek(LARGE_INTEGER{4}, STREAM_SEEK_SET, nullptr);
    ULARGE_INTEGER reported = {12345};
    HRESULT result = stream->Seek(LARGE_INTEGER{c.move}, c.origin, &reported);
    EXPECT_EQ(result, c.want_result) << std::hex << "have " << result << ", want " << c.want_result;
    if (c.want_result == S_OK) {
      EXPECT_EQ(reported.QuadPart, c.want_position);
    }
    ULARGE_INTEGER now = {};
    stream->Seek(LARGE_INTEGER{0}, STREAM_SEEK_CUR, &now);
    EXPECT_EQ(now.QuadPart, c.want_position) << "have " << now.QuadPart << ", want " << c.want_position;
  }
}

TEST_F(StreamTest, WritingPastTheEndFillsTheGapWithZeros) {
  IStream* stream = NewStream();
  ASSERT_NE(stream, nullptr);
  ScopeExit release([&] { stream->Release(); });
  stream->Write("abc", 3, nullptr);
  stream->Seek(LARGE_INTEGER{5}, STREAM_SEEK_CUR, nullptr);
  stream->Write("z", 1, nullptr);
  const std::vector<uint8_t> want = {'a', 'b', 'c', 0, 0, 0, 0, 0, 'z'};
  EXPECT_EQ(StreamBytes(stream), want);

  // Reading at or past the end succeeds with nothing read.
  stream->Seek(LARGE_INTEGER{20}, STREAM_SEEK_SET, nullptr);
  uint8_t byte = 0;
  ULONG read = 99;
  EXPECT_EQ(stream->Read(&byte, 1, &read), S_OK);
  EXPECT_EQ(read, 0u);
}

struct OwnershipCase {
  const char* what;
  bool caller_block;
  BOOL delete_on_release;
  int want_acquisitions;    // a stream making its own block counts once
  bool want_block_left;     // a global block still alive after the last Release
};

TEST_F(StreamTest, WhoFreesTheBlock) {
  const OwnershipCase cases[] = {
      {"caller's block, freed on release", true, TRUE, 2, false},
      {"caller's block, kept", true, FALSE, 2, true},
      {"own block, freed on release", false, TRUE, 1, false},
  };
  for (const OwnershipCase& c : cases) {
    SCOPED_TRACE(c.what);
    standin::Reset();
    const int blocks = standin::LiveCount(Resource::kGlobalBlock);
    HGLOBAL block = c.caller_block ? GlobalAlloc(GMEM_MOVEABLE, 0) : nullptr;
    IStream* stream = nullptr;
    ASSERT_EQ(CreateStreamOnHGlobal(block, c.delete_on_release, &stream), S_OK);
    EXPECT_EQ(standin::LiveCount(Resource::kGlobalBlock), blocks + 1);
    EXPECT_EQ(standin::AcquisitionCount(), c.want_acquisitions);
    stream->Write("gif", 3, nullptr);
    EXPECT_EQ(stream->AddRef(), 2u);
    EXPECT_EQ(stream->Release(), 1u);
    EXPECT_EQ(standin::LiveCount(Resource::kStream), 1) << "one reference left";
    EXPECT_EQ(stream->Release(), 0u);
    const int want_blocks = blocks + (c.want_block_left ? 1 : 0);
    EXPECT_EQ(standin::LiveCount(Resource::kGlobalBlock), want_blocks);
    if (c.want_block_left) {
      // The kept block holds what was written.
      ASSERT_EQ(GlobalSize(block), 3u);
      EXPECT_EQ(std::memcmp(GlobalLock(block), "gif", 3), 0);
      GlobalUnlock(block);
      GlobalFree(block);
    }
  }
}

TEST_F(StreamTest, BadArguments) {
  EXPECT_EQ(CreateStreamOnHGlobal(nullptr, TRUE, nullptr), E_INVALIDARG);
  HGLOBAL freed = GlobalAlloc(GMEM_MOVEABLE, 0);
  GlobalFree(freed);
  IStream* stream = reinterpret_cast<IStream*>(&freed);
  EXPECT_EQ(CreateStreamOnHGlobal(freed, TRUE, &stream), E_INVALIDARG);
  EXPECT_EQ(stream, nullptr);
  EXPECT_EQ(standin::AcquisitionCount(), 1) << "only the GlobalAlloc counts";
}

// ===================================================================== imaging

using ImagingTest = StandinTest;

struct RefusedCase {
  const char* what;
  std::function<GpStatus()> call;
};

TEST_F(ImagingTest, CallsBeforeStartupAreRefused) {
  std::vector<uint8_t> pixels(16);
  TestPalette palette = PluginLikePalette();
  GpBitmap* bitmap = nullptr;
  UINT count = 0, bytes = 0;
  ImageCodecInfo info = {};
  const RefusedCase cases[] = {
      {"create bitmap",
       [&] { return GdipCreateBitmapFromScan0(4, 4, 4, PixelFormat8bppIndexed, pixels.data(), &bitmap); }},
      {"encoders size", [&] { return GdipGetImageEncodersSize(&count, &bytes); }},
      {"encoders", [&] { return GdipGetImageEncoders(1, sizeof info, &info); }},
      {"set palette", [&] { return GdipSetImagePalette(reinterpret_cast<GpImage*>(&info), palette.get()); }},
      {"dispose", [&] { return GdipDisposeImage(reinterpret_cast<GpImage*>(&info)); }},
      {"save", [&] { return GdipSaveImageToStream(reinterpret_cast<GpImage*>(&info), nullptr, &kGifEncoder, nullptr); }},
  };
  for (const RefusedCase& c : cases) {
    GpStatus have = c.call();
    EXPECT_EQ(have, GdiplusNotInitialized) << c.what << ": have " << have << ", want " << GdiplusNotInitialized;
  }
  EXPECT_EQ(bitmap, nullptr);
  EXPECT_EQ(standin::AcquisitionCount(), 0);
}

TEST_F(ImagingTest, StartupTokens) {
  GdiplusStartupInput input;
  ULONG_PTR first = 0, second = 0;
  ASSERT_EQ(GdiplusStartup(&first, &input, nullptr), Ok);
  ASSERT_EQ(GdiplusStartup(&second, &input, nullptr), Ok);
  EXPECT_NE(first, second);
  EXPECT_EQ(standin::LiveCount(Resource::kStartup), 2);
  UINT count = 0, bytes = 0;
  GdiplusShutdown(first);
  GdiplusShutdown(first);  // a stale token ends nothing
  EXPECT_EQ(GdipGetImageEncodersSize(&count, &bytes), Ok) << "the second start still holds";
  GdiplusShutdown(second);
  EXPECT_EQ(GdipGetImageEncodersSize(&count, &bytes), GdiplusNotInitialized);
  EXPECT_EQ(standin::LiveCount(Resource::kStartup), 0);
}

struct BitmapCase {
  const char* what;
  INT width, height, stride;
  PixelFormat format;
  bool with_pixels;
  GpStatus want_status;
};

TEST_F(ImagingTest, BitmapArguments) {
  const BitmapCase cases[] = {
      {"4x4", 4, 4, 4, PixelFormat8bppIndexed, true, Ok},
      {"1x1, stride 4", 1, 1, 4, PixelFormat8bppIndexed, true, Ok},
      {"bottom-up", 4, 4, -4, PixelFormat8bppIndexed, true, Ok},
      {"no pixels: the bitmap owns them", 5, 3, 0, PixelFormat8bppIndexed, false, Ok},
      {"width 0", 0, 4, 4, PixelFormat8bppIndexed, true, InvalidParameter},
      {"height 0", 4, 0, 4, PixelFormat8bppIndexed, true, InvalidParameter},
      {"negative width", -4, 4, 4, PixelFormat8bppIndexed, true, InvalidParameter},
      {"stride not a multiple of 4", 3, 4, 3, PixelFormat8bppIndexed, true, InvalidParameter},
      {"stride shorter than a row", 8, 2, 4, PixelFormat8bppIndexed, true, InvalidParameter},
      {"stride 0", 4, 4, 0, PixelFormat8bppIndexed, true, InvalidParameter},
      {"24-bit format", 4, 4, 12, 0x00021808, true, InvalidParameter},
  };
  Started started;
  ASSERT_EQ(started.status, Ok);
  std::vector<uint8_t> pixels(64);
  for (const BitmapCase& c : cases) {
    SCOPED_TRACE(c.what);
    standin::Reset();
    GpBitmap* bitmap = reinterpret_cast<GpBitmap*>(&pixels);
    BYTE* scan0 = c.with_pixels ? pixels.data() + (c.stride < 0 ? 12 : 0) : nullptr;
    GpStatus have = GdipCreateBitmapFromScan0(c.width, c.height, c.stride, c.format, scan0, &bitmap);
    EXPECT_EQ(have, c.want_status) << "have " << have << ", want " << c.want_status;
    EXPECT_EQ(bitmap != nullptr, c.want_status == Ok);
    EXPECT_EQ(standin::LiveCount(Resource::kBitmap), c.want_status == Ok ? 1 : 0);
    EXPECT_EQ(standin::AcquisitionCount(), c.want_status == Ok ? 1 : 0) << "a refused call acquires nothing";
    if (bitmap != nullptr) {
      EXPECT_EQ(GdipDisposeImage(bitmap), Ok);
    }
  }
  EXPECT_EQ(GdipCreateBitmapFromScan0(4, 4, 4, PixelFormat8bppIndexed, pixels.data(), nullptr), InvalidParameter);
}

TEST_F(ImagingTest, TheBitmapIsAViewAndThePaletteACopy) {
  // Pixels changed after the bitmap is made show in the GIF; a palette
  // changed after it is set does not.
  const int width = 6, height = 3, stride = 8;
  std::vector<uint8_t> pixels = Pattern(width, height, stride);
  TestPalette palette = PluginLikePalette();
  const TestPalette want_palette = palette;
  Started started;
  GpBitmap* bitmap = nullptr;
  ASSERT_EQ(GdipCreateBitmapFromScan0(width, height, stride, PixelFormat8bppIndexed, pixels.data(), &bitmap), Ok);
  ASSERT_EQ(GdipSetImagePalette(bitmap, palette.get()), Ok);
  palette.count = 257;
  EXPECT_EQ(GdipSetImagePalette(bitmap, palette.get()), InvalidParameter) << "more than 8 bits can index";
  pixels[stride * 2 + 5] = 200;
  for (ARGB& entry : palette.entries) entry = 0xFF123456;
  IStream* stream = NewStream();
  ASSERT_EQ(GdipSaveImageToStream(bitmap, stream, &kGifEncoder, nullptr), Ok);
  Decoded d = Decode(StreamBytes(stream));
  stream->Release();
  GdipDisposeImage(bitmap);

  ASSERT_EQ(d.error, "");
  EXPECT_EQ(d.indices, Unpadded(pixels, width, height, stride));
  ASSERT_EQ(d.table.size(), 256u);
  for (int i = 0; i < 256; ++i)
    EXPECT_EQ(d.table[i], Rgb(want_palette.entries[i])) << "entry " << i << ": have " << std::hex << d.table[i]
                                                        << ", want " << Rgb(want_palette.entries[i]);
}

TEST_F(ImagingTest, NegativeStrideRunsUpMemory) {
  // scan0 is the top row; each row below it lies one stride lower in memory.
  std::vector<uint8_t> memory = {30, 31, 32, 33, 20, 21, 22, 23, 10, 11, 12, 13};
  Started started;
  GpBitmap* bitmap = nullptr;
  ASSERT_EQ(GdipCreateBitmapFromScan0(4, 3, -4, PixelFormat8bppIndexed, memory.data() + 8, &bitmap), Ok);
  IStream* stream = NewStream();
  const GpStatus status = GdipSaveImageToStream(bitmap, stream, &kGifEncoder, nullptr);
  const std::vector<uint8_t> gif = StreamBytes(stream);
  stream->Release();
  GdipDisposeImage(bitmap);
  ASSERT_EQ(status, Ok);
  const std::vector<uint8_t> want = {10, 11, 12, 13, 20, 21, 22, 23, 30, 31, 32, 33};
  EXPECT_EQ(Decode(gif).indices, want);
}

TEST_F(ImagingTest, SaveWritesAtTheStreamsPosition) {
  std::vector<uint8_t> pixels = Pattern(3, 2, 4);
  Started started;
  GpBitmap* bitmap = nullptr;
  ASSERT_EQ(GdipCreateBitmapFromScan0(3, 2, 4, PixelFormat8bppIndexed, pixels.data(), &bitmap), Ok);
  GdipSetImagePalette(bitmap, PluginLikePalette().get());
  IStream* stream = NewStream();
  stream->Write("XYZ", 3, nullptr);
  ASSERT_EQ(GdipSaveImageToStream(bitmap, stream, &kGifEncoder, nullptr), Ok);
  std::vector<uint8_t> bytes = StreamBytes(stream);
  stream->Release();
  GdipDisposeImage(bitmap);
  ASSERT_GT(bytes.size(), 9u);
  EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 9), "XYZGIF89a");
  EXPECT_EQ(Decode(std::vector<uint8_t>(bytes.begin() + 3, bytes.end())).indices, Unpadded(pixels, 3, 2, 4));
}

// ================================================================ GIF layouts

using GifLayoutTest = StandinTest;

// The pieces of a single-image GIF, from which the offsets follow.
constexpr size_t kSignature = 6;       // "GIF89a"
constexpr size_t kScreen = 7;          // width, height, packed, background, aspect
constexpr size_t kTable = 256 * 3;     // R, G, B per entry
constexpr size_t kControl = 8;         // 21 F9 04 packed delay delay index 00
constexpr size_t kImageDescriptor = 10;  // 2C left top width height packed
constexpr uint8_t kTableFlag = 0x80;   // packed 1xxxxxxx: a colour table follows
constexpr uint8_t kTableSize256 = 0x07;  // packed xxxxx111: 2^(7+1) entries

struct PaletteKind {
  const char* what;
  TestPalette palette;
  int want_transparent;  // -1: the flag clear
};

PaletteKind Kind(const char* what, std::function<void(TestPalette*)> change, int want_transparent) {
  PaletteKind kind{what, PluginLikePalette(), want_transparent};
  change(&kind.palette);
  return kind;
}

struct LayoutCase {
  int width, height;
};

const LayoutCase kSizes[] = {{1, 1}, {3, 2}, {255, 1}, {1, 300}, {300, 200}};

TEST_F(GifLayoutTest, GlobalTableWithControlExtension) {
  const PaletteKind kinds[] = {
      Kind("plug-in's: entry 0 transparent", [](TestPalette*) {}, 0),
      Kind("first of two alpha-0 entries", [](TestPalette* p) {
        p->entries[0] = 0xFF000000;
        p->entries[5] = 0x00FF0000;
        p->entries[9] = 0x00000000;
      }, 5),
      Kind("none transparent", [](TestPalette* p) { p->entries[0] = 0xFF000000; }, -1),
      Kind("16 entries, padded", [](TestPalette* p) { p->count = 16; }, 0),
  };
  const size_t control_at = kSignature + kScreen + kTable;
  const size_t image_at = control_at + kControl;
  for (const PaletteKind& kind : kinds) {
    for (const LayoutCase& c : kSizes) {
      SCOPED_TRACE(::testing::Message() << kind.what << ", " << c.width << "x" << c.height);
      const int stride = (c.width + 3) / 4 * 4;
      std::vector<uint8_t> pixels = Pattern(c.width, c.height, stride);
      if (kind.palette.count < 256)
        for (uint8_t& p : pixels) p %= kind.palette.count;
      GpStatus status = Ok;
      std::vector<uint8_t> gif = SaveGif(pixels, c.width, c.height, stride, kind.palette, &status);
      ASSERT_EQ(status, Ok);
      ASSERT_GT(gif.size(), image_at + kImageDescriptor + 2);

      EXPECT_EQ(std::string(gif.begin(), gif.begin() + kSignature), "GIF89a");
      EXPECT_EQ(Word16(gif, 6), c.width);
      EXPECT_EQ(Word16(gif, 8), c.height);
      EXPECT_EQ(gif[10] & (kTableFlag | kTableSize256), kTableFlag | kTableSize256) << "packed " << +gif[10];
      for (UINT i = 0; i < 256; ++i) {
        const uint32_t want = i < kind.palette.count ? Rgb(kind.palette.entries[i]) : 0;
        const size_t at = kSignature + kScreen + 3 * i;
        const uint32_t have = static_cast<uint32_t>(gif[at]) << 16 | gif[at + 1] << 8 | gif[at + 2];
        ASSERT_EQ(have, want) << "table entry " << i << ": have " << std::hex << have << ", want " << want;
      }
      const bool want_flag = kind.want_transparent >= 0;
      const uint8_t want_control[kControl] = {
          0x21, 0xF9, 0x04, static_cast<uint8_t>(want_flag ? 0x01 : 0x00), 0, 0,
          static_cast<uint8_t>(want_flag ? kind.want_transparent : 0), 0x00};
      for (size_t i = 0; i < kControl; ++i)
        EXPECT_EQ(gif[control_at + i], want_control[i]) << "control extension byte " << i << ": have "
                                                        << +gif[control_at + i] << ", want " << +want_control[i];
      EXPECT_EQ(gif[image_at], 0x2C);
      EXPECT_EQ(Word16(gif, image_at + 5), c.width);
      EXPECT_EQ(Word16(gif, image_at + 7), c.height);
      EXPECT_EQ(gif[image_at + 9] & kTableFlag, 0) << "no local table";
      EXPECT_EQ(gif[gif.size() - 2], 0x00) << "image data ends with a block terminator";
      EXPECT_EQ(gif.back(), 0x3B) << "trailer";

      Decoded d = Decode(gif);
      ASSERT_EQ(d.error, "");
      EXPECT_EQ(d.images, 1);
      EXPECT_TRUE(d.global_table);
      EXPECT_FALSE(d.local_table);
      EXPECT_EQ(d.transparent, kind.want_transparent);
      EXPECT_EQ(d.indices, Unpadded(pixels, c.width, c.height, stride));
    }
  }
}

TEST_F(GifLayoutTest, LocalTableOnly) {
  const TestPalette palette = PluginLikePalette();
  const size_t image_at = kSignature + kScreen;
  const size_t table_at = image_at + kImageDescriptor;
  for (const LayoutCase& c : kSizes) {
    SCOPED_TRACE(::testing::Message() << c.width << "x" << c.height);
    standin::SetGifLayout(GifLayout::kLocalTableOnly);
    const int stride = (c.width + 3) / 4 * 4;
    std::vector<uint8_t> pixels = Pattern(c.width, c.height, stride);
    GpStatus status = Ok;
    std::vector<uint8_t> gif = SaveGif(pixels, c.width, c.height, stride, palette, &status);
    ASSERT_EQ(status, Ok);
    ASSERT_GT(gif.size(), table_at + kTable + 2);

    EXPECT_EQ(std::string(gif.begin(), gif.begin() + kSignature), "GIF89a");
    EXPECT_EQ(Word16(gif, 6), c.width);
    EXPECT_EQ(Word16(gif, 8), c.height);
    EXPECT_EQ(gif[10] & kTableFlag, 0) << "no global table";
    EXPECT_EQ(gif[image_at], 0x2C) << "the image descriptor comes first: no control extension";
    EXPECT_EQ(Word16(gif, image_at + 5), c.width);
    EXPECT_EQ(Word16(gif, image_at + 7), c.height);
    EXPECT_EQ(gif[image_at + 9] & (kTableFlag | kTableSize256), kTableFlag | kTableSize256);
    for (int i = 0; i < 256; ++i) {
      const size_t at = table_at + 3 * i;
      const uint32_t have = static_cast<uint32_t>(gif[at]) << 16 | gif[at + 1] << 8 | gif[at + 2];
      ASSERT_EQ(have, Rgb(palette.entries[i])) << "local entry " << i;
    }
    EXPECT_EQ(gif[gif.size() - 2], 0x00);
    EXPECT_EQ(gif.back(), 0x3B);

    Decoded d = Decode(gif);
    ASSERT_EQ(d.error, "");
    EXPECT_FALSE(d.global_table);
    EXPECT_TRUE(d.local_table);
    EXPECT_EQ(d.transparent, -2) << "no control extension";
    EXPECT_EQ(d.indices, Unpadded(pixels, c.width, c.height, stride));
  }
}

TEST_F(GifLayoutTest, SidesAbove65535CannotBeWritten) {
  const struct {
    int width, height;
    GpStatus want_status;
  } cases[] = {{65535, 1, Ok}, {1, 65535, Ok}, {65536, 1, InvalidParameter}, {1, 65536, InvalidParameter}};
  for (const auto& c : cases) {
    const int stride = (c.width + 3) / 4 * 4;
    std::vector<uint8_t> pixels(static_cast<size_t>(stride) * c.height, 1);
    GpStatus have = Ok;
    std::vector<uint8_t> gif = SaveGif(pixels, c.width, c.height, stride, PluginLikePalette(), &have);
    EXPECT_EQ(have, c.want_status) << c.width << "x" << c.height << ": have " << have << ", want " << c.want_status;
    if (c.want_status == Ok) {
      EXPECT_EQ(Decode(gif).width, c.width);
    }
  }
}

// =============================================================== encoder list

using EncoderListTest = StandinTest;

struct Listing {
  UINT count = 0, bytes = 0;
  std::vector<uint64_t> storage;  // 8-aligned, as the real caller's allocation is
  ImageCodecInfo* encoders() { return reinterpret_cast<ImageCodecInfo*>(storage.data()); }
};

Listing List() {
  Listing listing;
  EXPECT_EQ(GdipGetImageEncodersSize(&listing.count, &listing.bytes), Ok);
  listing.storage.resize((listing.bytes + 7) / 8);
  EXPECT_EQ(GdipGetImageEncoders(listing.count, listing.bytes, listing.encoders()), Ok);
  return listing;
}

std::u16string Mime(const ImageCodecInfo& info) { return info.MimeType; }

TEST_F(EncoderListTest, WalkFindsGifNotFirst) {
  Started started;
  Listing listing = List();
  ASSERT_GE(listing.count, 5u);
  ASSERT_GE(listing.bytes, listing.count * sizeof(ImageCodecInfo));
  const auto* begin = reinterpret_cast<const uint8_t*>(listing.encoders());
  const uint8_t* strings = begin + listing.count * sizeof(ImageCodecInfo);
  const uint8_t* end = begin + listing.bytes;
  auto inside = [&](const void* p) { return p >= strings && p < end; };
  int gif_at = -1;
  for (UINT i = 0; i < listing.count; ++i) {
    const ImageCodecInfo& info = listing.encoders()[i];
    SCOPED_TRACE(::testing::Message() << "encoder " << i);
    // Everything an entry points to lies after the array, in the same buffer.
    EXPECT_TRUE(inside(info.MimeType));
    EXPECT_TRUE(inside(info.CodecName));
    EXPECT_TRUE(inside(info.FilenameExtension));
    EXPECT_TRUE(inside(info.SigPattern) && inside(info.SigPattern + 2 * info.SigCount * info.SigSize - 1));
    if (Mime(info) == u"image/gif") {
      EXPECT_EQ(gif_at, -1) << "listed twice";
      gif_at = static_cast<int>(i);
      EXPECT_EQ(std::memcmp(&info.Clsid, &kGifEncoder, sizeof(CLSID)), 0);
    }
  }
  EXPECT_GT(gif_at, 0) << "image/gif is listed, and not first";
  EXPECT_EQ(GdipGetImageEncoders(listing.count, listing.bytes - 1, listing.encoders()), GenericError);
  EXPECT_EQ(GdipGetImageEncoders(listing.count - 1, listing.bytes, listing.encoders()), GenericError);

  // Each listed encoder is known to the save call; only the GIF one works.
  std::vector<uint8_t> pixels(4, 1);
  GpBitmap* bitmap = nullptr;
  ASSERT_EQ(GdipCreateBitmapFromScan0(1, 1, 4, PixelFormat8bppIndexed, pixels.data(), &bitmap), Ok);
  for (UINT i = 0; i < listing.count; ++i) {
    IStream* stream = NewStream();
    GpStatus have = GdipSaveImageToStream(bitmap, stream, &listing.encoders()[i].Clsid, nullptr);
    const bool want_ok = static_cast<int>(i) == gif_at;
    EXPECT_EQ(have == Ok, want_ok) << "encoder " << i << ": status " << have;
    EXPECT_EQ(StreamBytes(stream).empty(), !want_ok) << "a refused save writes nothing";
    stream->Release();
  }
  CLSID unknown = kGifEncoder;
  unknown.Data1 = 0x12345678;
  IStream* stream = NewStream();
  EXPECT_EQ(GdipSaveImageToStream(bitmap, stream, &unknown, nullptr), UnknownImageFormat);
  EXPECT_EQ(GdipSaveImageToStream(bitmap, stream, &kBmpEncoder, nullptr), NotImplemented);
  EXPECT_EQ(GdipSaveImageToStream(bitmap, stream, nullptr, nullptr), InvalidParameter);
  EXPECT_EQ(GdipSaveImageToStream(bitmap, nullptr, &kGifEncoder, nullptr), InvalidParameter);
  stream->Release();
  GdipDisposeImage(bitmap);
}

TEST_F(EncoderListTest, GifCanBeDropped) {
  Started started;
  const UINT all = List().count;
  standin::SetGifEncoderListed(false);
  Listing listing = List();
  EXPECT_EQ(listing.count, all - 1);
  for (UINT i = 0; i < listing.count; ++i) EXPECT_NE(Mime(listing.encoders()[i]), u"image/gif") << "encoder " << i;
  std::vector<uint8_t> pixels(4, 1);
  GpBitmap* bitmap = nullptr;
  ASSERT_EQ(GdipCreateBitmapFromScan0(1, 1, 4, PixelFormat8bppIndexed, pixels.data(), &bitmap), Ok);
  IStream* stream = NewStream();
  EXPECT_NE(GdipSaveImageToStream(bitmap, stream, &kGifEncoder, nullptr), Ok) << "an unlisted encoder cannot save";
  stream->Release();
  GdipDisposeImage(bitmap);
  standin::Reset();
  EXPECT_EQ(List().count, all) << "Reset lists it again";
}

// ============================================================ fault injection

using FaultInjectionTest = StandinTest;

struct AcquireCase {
  const char* what;
  // Makes one acquisition; true when it got it, after releasing it again.
  std::function<bool()> acquire;
};

TEST_F(FaultInjectionTest, EachKindFailsWhenArmed) {
  Started started;  // bitmaps need the library
  std::vector<uint8_t> pixels(16);
  const AcquireCase cases[] = {
      {"GdiplusStartup", [] {
         GdiplusStartupInput input;
         ULONG_PTR token = 99;
         GpStatus status = GdiplusStartup(&token, &input, nullptr);
         GdiplusShutdown(token);
         EXPECT_TRUE(status == Ok || (status == OutOfMemory && token == 0)) << "status " << status;
         return status == Ok;
       }},
      {"GdipAlloc", [] {
         void* block = GdipAlloc(24);
         GdipFree(block);
         return block != nullptr;
       }},
      {"GdipCreateBitmapFromScan0", [&] {
         GpBitmap* bitmap = nullptr;
         GpStatus status = GdipCreateBitmapFromScan0(4, 4, 4, PixelFormat8bppIndexed, pixels.data(), &bitmap);
         EXPECT_TRUE(status == Ok || (status == OutOfMemory && bitmap == nullptr)) << "status " << status;
         if (bitmap != nullptr) GdipDisposeImage(bitmap);
         return status == Ok;
       }},
      {"GlobalAlloc", [] {
         HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, 0);
         GlobalFree(block);
         return block != nullptr;
       }},
      {"CreateStreamOnHGlobal", [] {
         IStream* stream = reinterpret_cast<IStream*>(1);
         HRESULT result = CreateStreamOnHGlobal(nullptr, TRUE, &stream);
         EXPECT_TRUE(result == S_OK || (result == E_OUTOFMEMORY && stream == nullptr)) << std::hex << result;
         if (stream != nullptr) stream->Release();
         return result == S_OK;
       }},
  };
  for (const AcquireCase& c : cases) {
    SCOPED_TRACE(c.what);
    const int live = standin::LiveTotal();
    standin::Reset();
    standin::FailAcquisition(1);
    EXPECT_FALSE(c.acquire()) << "armed: fails";
    EXPECT_EQ(standin::LiveTotal(), live) << "a failed acquisition acquires nothing";
    EXPECT_EQ(standin::AcquisitionCount(), 1) << "and still counts";
    EXPECT_TRUE(c.acquire()) << "the next one succeeds";
    EXPECT_EQ(standin::AcquisitionCount(), 2);
    EXPECT_EQ(standin::LiveTotal(), live);
  }
}

TEST_F(FaultInjectionTest, TheCountRunsAcrossKinds) {
  // The third acquisition fails whatever its kind, and only that one.
  standin::FailAcquisition(3);
  void* first = GdipAlloc(8);
  HGLOBAL second = GlobalAlloc(GMEM_FIXED, 8);
  IStream* third = nullptr;
  HRESULT third_result = CreateStreamOnHGlobal(nullptr, TRUE, &third);
  Started fourth;
  EXPECT_NE(first, nullptr);
  EXPECT_NE(second, nullptr);
  EXPECT_EQ(third_result, E_OUTOFMEMORY) << std::hex << "have " << third_result << ", want " << E_OUTOFMEMORY;
  EXPECT_EQ(fourth.status, Ok);
  EXPECT_EQ(standin::AcquisitionCount(), 4);
  GdipFree(first);
  GlobalFree(second);
}

TEST_F(FaultInjectionTest, ResetForgetsNoLiveObject) {
  void* block = GdipAlloc(4);
  ASSERT_NE(block, nullptr);
  standin::Reset();
  EXPECT_EQ(standin::LiveCount(Resource::kImagingAlloc), 1) << "a leak stays visible";
  EXPECT_EQ(standin::AcquisitionCount(), 0);
  GdipFree(block);
}

}  // namespace
