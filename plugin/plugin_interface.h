// What a host and the plug-in exchange, and all a host needs: the export
// record with its callbacks, the layout of the frames it hands over, the
// settings block and the plug-in table. No Windows or imaging-library header
// comes with it: lodra-gif and the tests that act as a host include only this.
//
// The editor is a 32-bit Windows program: every field below is 32 bits wide
// there, pointers included, and the byte offsets in the comments are the ones
// it relies on. On a platform with wider pointers the field order stays and
// the widths follow the platform.
#pragma once

#include <cstddef>
#include <cstdint>

// The C calling convention of the table's entries and the host's callbacks
// (the default on both compilers, spelled out because the editor relies on it).
#if defined(_WIN32) && !defined(_WIN64)
#define LODRA_CDECL __cdecl
#else
#define LODRA_CDECL
#endif

// ------------------------------------------------------------ host frames
// The layout of the frames a host hands over (HostFrameStride,
// HostFrameBytes) and the largest picture a GIF holds; what an export can
// take, which a host asks before it starts one: the largest frame
// (CheckHostFrameSize) and loop count (kMaxLoopingCount, LoopCountField).
#include "gif/export_limits.h"
#include "gif/host_frame.h"
// The fixed palette's cube and grey ramp levels, which a host that prepares
// frames for it (lodra-gif's ordered dither) steps by.
#include "quantize/palette_levels.h"

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

// ------------------------------------------------------------------- settings
// The plug-in's two settings. The host keeps them as an opaque block of
// exactly 8 bytes: loop_count then use_mask, 4 bytes each, little-endian
// whatever the platform's byte order.
struct Settings {
  int32_t loop_count;  // repeats after the first play; 0 = loop forever
  int32_t use_mask;    // non-zero: the right half of a frame masks its left half
};
constexpr int32_t kSettingsBlockSize = 8;
static_assert(sizeof(Settings) == kSettingsBlockSize, "the settings block is the record");

inline void EncodeSettingsBlock(const Settings& settings, unsigned char block[kSettingsBlockSize]) {
  const uint32_t fields[2] = {static_cast<uint32_t>(settings.loop_count), static_cast<uint32_t>(settings.use_mask)};
  for (int i = 0; i < kSettingsBlockSize; ++i) block[i] = static_cast<unsigned char>(fields[i / 4] >> (8 * (i % 4)));
}

inline Settings DecodeSettingsBlock(const unsigned char block[kSettingsBlockSize]) {
  uint32_t fields[2] = {0, 0};
  for (int i = 0; i < kSettingsBlockSize; ++i) fields[i / 4] |= static_cast<uint32_t>(block[i]) << (8 * (i % 4));
  return Settings{static_cast<int32_t>(fields[0]), static_cast<int32_t>(fields[1])};
}

// ------------------------------------------------------------ the plug-in table
// The export: 1 = file written (also when the host stopped it early), 0 = failure.
typedef int32_t(LODRA_CDECL* OutputEntry)(OutputInfo* info);
// Runs the settings dialog, owned by the host's window (an HWND), from the
// module instance the host passes (an HINSTANCE); 1 whatever the user did.
typedef int32_t(LODRA_CDECL* ConfigEntry)(void* parent_window, void* module_instance);
// Copies the settings block into `data` unless it is null; returns its size,
// 8, in every case. A second argument, if the host passes one, is not read.
typedef int32_t(LODRA_CDECL* ConfigGetEntry)(void* data);
// Takes a block the host kept: 8 when taken, 0 (nothing changed) when `size`
// is not 8 or `data` is null. The values are taken as they are.
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

// The module's one export, by this plain name: the same static table on every
// call, valid while the module is loaded. A host that loads the module at run
// time looks it up by that name and calls it through this type.
typedef OutputPluginTable*(LODRA_CDECL* GetOutputPluginTableFunction)(void);
extern "C" OutputPluginTable* LODRA_CDECL GetOutputPluginTable(void);
