// What the host and the plug-in exchange: the export record with its
// callbacks, the settings record and the plug-in table.
//
// The host is a 32-bit Windows program: every field below is 32 bits wide
// there, pointers included, and the byte offsets in the comments are the ones
// it relies on. On a platform with wider pointers the field order stays and
// the widths follow the platform.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/win32.h"

// -------------------------------------------------------------- host callbacks
// Pixels of frame `frame`, or null. Valid until the frame has been encoded.
typedef void*(LODRA_CDECL* GetFrameCallback)(int32_t frame);
// Non-zero: the user wants the export stopped.
typedef int32_t(LODRA_CDECL* IsAbortedCallback)(void);
// Progress before frame `current` of `total` is fetched; the result is ignored.
typedef int32_t(LODRA_CDECL* ReportProgressCallback)(int32_t current, int32_t total);
// Lets the host repaint; the result is ignored.
typedef int32_t(LODRA_CDECL* HostRefreshCallback)(void);

// The host's description of one export. The plug-in reads only the named
// fields; the host_owned_* ones are the host's business.
struct OutputInfo {
  int32_t host_owned_flag;        //  0
  int32_t width;                  //  4: frame width in pixels
  int32_t height;                 //  8: frame height in pixels
  int32_t rate;                   // 12: frames per second = rate / scale
  int32_t scale;                  // 16
  int32_t frame_count;            // 20
  int32_t host_owned_counts[5];   // 24..43
  const char* save_file;          // 44: path in the system code page
  GetFrameCallback get_frame;     // 48
  void* host_owned_52;            // 52
  IsAbortedCallback is_aborted;   // 56
  ReportProgressCallback report_progress;  // 60
  void* host_owned_64;            // 64
  HostRefreshCallback host_refresh;        // 68
};

// ------------------------------------------------------------------- settings
// The plug-in's settings: one process-wide record, zero when the module is
// loaded, exchanged with the host as exactly these 8 bytes (little-endian).
struct Settings {
  int32_t loop_count;  // 0 = loop forever; the dialog keeps it in 0..65535
  int32_t use_mask;    // non-zero: the right half of a frame masks its left half
};
static_assert(sizeof(Settings) == 8, "the settings block is 8 bytes");

extern Settings g_settings;

// -------------------------------------------------------------- the entries
// The export: 1 = file written (also when the host stopped it early), 0 = failure.
int32_t LODRA_CDECL OutputAnimatedGif(OutputInfo* info);

#if defined(_WIN32) && !defined(_WIN64)
static_assert(offsetof(OutputInfo, width) == 4, "host layout");
static_assert(offsetof(OutputInfo, height) == 8, "host layout");
static_assert(offsetof(OutputInfo, rate) == 12, "host layout");
static_assert(offsetof(OutputInfo, scale) == 16, "host layout");
static_assert(offsetof(OutputInfo, frame_count) == 20, "host layout");
static_assert(offsetof(OutputInfo, save_file) == 44, "host layout");
static_assert(offsetof(OutputInfo, get_frame) == 48, "host layout");
static_assert(offsetof(OutputInfo, is_aborted) == 56, "host layout");
static_assert(offsetof(OutputInfo, report_progress) == 60, "host layout");
static_assert(offsetof(OutputInfo, host_refresh) == 68, "host layout");
static_assert(sizeof(OutputInfo) == 72, "host layout");
#endif
