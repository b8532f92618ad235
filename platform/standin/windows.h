// Stand-in for the subset of the Windows APIs this product calls, for builds
// on systems without them. Same names, same meanings, same results as the
// real calls; only what the code uses is here. Never include this directly:
// include "platform/win32.h".
//
// What it adds over the real thing lives in "platform/standin/control.h":
// live-object counts and failing the k-th acquisition on demand.
#pragma once

#include <cstddef>
#include <cstdint>

// ---------------------------------------------------------------- base types
typedef uint8_t BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef uint32_t UINT;
typedef uint32_t UINT32;
typedef int32_t INT;
typedef int32_t LONG;
typedef uint32_t ULONG;
typedef uintptr_t ULONG_PTR;
typedef intptr_t INT_PTR;
typedef intptr_t LONG_PTR;
typedef uintptr_t UINT_PTR;
typedef size_t SIZE_T;
typedef int BOOL;
typedef int32_t HRESULT;
typedef char16_t WCHAR;
typedef void VOID;
typedef void* HGLOBAL;
typedef void* HANDLE;
typedef struct StandinWindow* HWND;
typedef struct StandinInstance* HINSTANCE;
typedef UINT_PTR WPARAM;
typedef LONG_PTR LPARAM;
typedef const char* LPCSTR;

#define WINAPI
#define CALLBACK
#define WINGDIPAPI

#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif

#define S_OK ((HRESULT)0)
#define E_OUTOFMEMORY ((HRESULT)0x8007000EL)
#define E_INVALIDARG ((HRESULT)0x80070057L)
#define STG_E_INVALIDFUNCTION ((HRESULT)0x80030001L)
#define SUCCEEDED(hr) (((HRESULT)(hr)) >= 0)
#define FAILED(hr) (((HRESULT)(hr)) < 0)

struct GUID {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];
};
typedef GUID CLSID;

union LARGE_INTEGER {
  int64_t QuadPart;
};
union ULARGE_INTEGER {
  uint64_t QuadPart;
};

// ------------------------------------------------------ global memory (kernel32)
#define GMEM_FIXED 0x0000u
#define GMEM_MOVEABLE 0x0002u
#define GMEM_ZEROINIT 0x0040u
#define GHND (GMEM_MOVEABLE | GMEM_ZEROINIT)
#define GPTR (GMEM_FIXED | GMEM_ZEROINIT)

// A fixed block's handle is its address; a movable block's is not.
HGLOBAL GlobalAlloc(UINT flags, SIZE_T bytes);
// Returns null on success, the handle on failure (as the real call does).
HGLOBAL GlobalFree(HGLOBAL block);
void* GlobalLock(HGLOBAL block);
BOOL GlobalUnlock(HGLOBAL block);
SIZE_T GlobalSize(HGLOBAL block);

// ------------------------------------------------------------- streams (ole32)
enum STREAM_SEEK { STREAM_SEEK_SET = 0, STREAM_SEEK_CUR = 1, STREAM_SEEK_END = 2 };

struct IStream {
  virtual HRESULT Read(void* buffer, ULONG bytes, ULONG* bytes_read) = 0;
  virtual HRESULT Write(const void* buffer, ULONG bytes, ULONG* bytes_written) = 0;
  virtual HRESULT Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* new_position) = 0;
  virtual ULONG AddRef() = 0;
  virtual ULONG Release() = 0;

 protected:
  virtual ~IStream() = default;
};

// A stream over a global block that grows as it is written. With
// delete_on_release the last Release frees the block. A null block makes the
// stream allocate its own.
HRESULT CreateStreamOnHGlobal(HGLOBAL block, BOOL delete_on_release, IStream** stream);

// ------------------------------------------------------------------ GDI+ (flat)
// In the real headers' namespaces: the types and start-up in Gdiplus, the
// flat calls in Gdiplus::DllExports.
namespace Gdiplus {

enum GpStatus {
  Ok = 0,
  GenericError = 1,
  InvalidParameter = 2,
  OutOfMemory = 3,
  ObjectBusy = 4,
  InsufficientBuffer = 5,
  NotImplemented = 6,
  Win32Error = 7,
  WrongState = 8,
  Aborted = 9,
  FileNotFound = 10,
  ValueOverflow = 11,
  AccessDenied = 12,
  UnknownImageFormat = 13,
  FontFamilyNotFound = 14,
  FontStyleNotFound = 15,
  NotTrueTypeFont = 16,
  UnsupportedGdiplusVersion = 17,
  GdiplusNotInitialized = 18,
};
typedef GpStatus Status;

typedef INT PixelFormat;
#define PixelFormat8bppIndexed ((Gdiplus::PixelFormat)0x00030803)
typedef DWORD ARGB;

class GpImage {
 protected:
  GpImage() = default;
  ~GpImage() = default;
};
class GpBitmap : public GpImage {
 protected:
  GpBitmap() = default;
  ~GpBitmap() = default;
};

struct ColorPalette {
  UINT Flags;
  UINT Count;
  ARGB Entries[1];
};

struct ImageCodecInfo {
  CLSID Clsid;
  GUID FormatID;
  WCHAR* CodecName;
  WCHAR* DllName;
  WCHAR* FormatDescription;
  WCHAR* FilenameExtension;
  WCHAR* MimeType;
  DWORD Flags;
  DWORD Version;
  DWORD SigCount;
  DWORD SigSize;
  BYTE* SigPattern;
  BYTE* SigMask;
};

struct EncoderParameters;

typedef void(WINGDIPAPI* DebugEventProc)(int level, char* message);

struct GdiplusStartupInput {
  UINT32 GdiplusVersion;
  DebugEventProc DebugEventCallback;
  BOOL SuppressBackgroundThread;
  BOOL SuppressExternalCodecs;

  GdiplusStartupInput(DebugEventProc debug_event_callback = nullptr,
                      BOOL suppress_background_thread = FALSE,
                      BOOL suppress_external_codecs = FALSE)
      : GdiplusVersion(1),
        DebugEventCallback(debug_event_callback),
        SuppressBackgroundThread(suppress_background_thread),
        SuppressExternalCodecs(suppress_external_codecs) {}
};
struct GdiplusStartupOutput {
  void* NotificationHook = nullptr;
  void* NotificationUnhook = nullptr;
};

GpStatus WINGDIPAPI GdiplusStartup(ULONG_PTR* token, const GdiplusStartupInput* input,
                                   GdiplusStartupOutput* output);
void WINGDIPAPI GdiplusShutdown(ULONG_PTR token);

namespace DllExports {

void* WINGDIPAPI GdipAlloc(size_t bytes);
void WINGDIPAPI GdipFree(void* block);

GpStatus WINGDIPAPI GdipCreateBitmapFromScan0(INT width, INT height, INT stride, PixelFormat format,
                                              BYTE* scan0, GpBitmap** bitmap);
GpStatus WINGDIPAPI GdipSetImagePalette(GpImage* image, const ColorPalette* palette);
GpStatus WINGDIPAPI GdipDisposeImage(GpImage* image);
GpStatus WINGDIPAPI GdipGetImageEncodersSize(UINT* count, UINT* bytes);
GpStatus WINGDIPAPI GdipGetImageEncoders(UINT count, UINT bytes, ImageCodecInfo* encoders);
GpStatus WINGDIPAPI GdipSaveImageToStream(GpImage* image, IStream* stream, const CLSID* encoder,
                                          const EncoderParameters* parameters);

}  // namespace DllExports
}  // namespace Gdiplus

// ----------------------------------------------------------- dialogs (user32)
#include "platform/standin/winuser.h"
