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

// ------------------------------------------------------- settings and dialog
// The settings block as the host keeps it: loop_count then use_mask, 4 bytes
// each, little-endian.
//
// Copies the block into `data` unless it is null; returns its size, 8, in
// every case, so a null call tells the host how large a buffer to pass. Some
// hosts pass the buffer's size as a second argument: it is not read (the
// caller pops it), so the buffer must hold 8 bytes.
int32_t LODRA_CDECL GetConfig(void* data);
// Takes a block the host kept: 8 when taken, 0 (and nothing changed) when
// `size` is not 8 or `data` is null. The values are taken as they are.
int32_t LODRA_CDECL SetConfig(const void* data, int32_t size);

// Runs the modal dialog "CONFIG" from `module_instance`, owned by
// `parent_window`. Returns 1 whether the user confirmed, cancelled, or the
// dialog could not be opened.
int32_t LODRA_CDECL ShowConfigDialog(HWND parent_window, HINSTANCE module_instance);
// The dialog procedure of "CONFIG": shows the settings when the dialog opens
// and stores both of them together, only on OK.
INT_PTR CALLBACK ConfigDialogProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

// ------------------------------------------------------------ the plug-in table
typedef int32_t(LODRA_CDECL* OutputEntry)(OutputInfo* info);
typedef int32_t(LODRA_CDECL* ConfigEntry)(HWND parent_window, HINSTANCE module_instance);
typedef int32_t(LODRA_CDECL* ConfigGetEntry)(void* data);
typedef int32_t(LODRA_CDECL* ConfigSetEntry)(const void* data, int32_t size);

// What the host asks the module for first and goes through from then on. The
// texts are 8-bit strings in code page 932; file_filter is a block of
// NUL-terminated label/pattern pairs closed by an empty string.
struct OutputPluginTable {
  int32_t flag;                 //  0: always 0
  const char* name;             //  4
  const char* file_filter;      //  8
  const char* information;      // 12
  void* unused_entry_16;        // 16: an entry this plug-in does not offer
  void* unused_entry_20;        // 20: likewise
  OutputEntry output;           // 24
  ConfigEntry config;           // 28
  ConfigGetEntry config_get;    // 32
  ConfigSetEntry config_set;    // 36
  int32_t reserved[18];         // 40..111: all 0
};

// The module's one export, by this plain name: the same static table on every
// call, valid while the module is loaded.
extern "C" OutputPluginTable* LODRA_CDECL GetOutputPluginTable(void);

#if defined(_WIN32) && !defined(_WIN64)
static_assert(offsetof(OutputPluginTable, name) == 4, "host layout");
static_assert(offsetof(OutputPluginTable, file_filter) == 8, "host layout");
static_assert(offsetof(OutputPluginTable, information) == 12, "host layout");
static_assert(offsetof(OutputPluginTable, unused_entry_16) == 16, "host layout");
static_assert(offsetof(OutputPluginTable, unused_entry_20) == 20, "host layout");
static_assert(offsetof(OutputPluginTable, output) == 24, "host layout");
static_assert(offsetof(OutputPluginTable, config) == 28, "host layout");
static_assert(offsetof(OutputPluginTable, config_get) == 32, "host layout");
static_assert(offsetof(OutputPluginTable, config_set) == 36, "host layout");
static_assert(offsetof(OutputPluginTable, reserved) == 40, "host layout");
static_assert(sizeof(OutputPluginTable) == 112, "host layout");
#endif
