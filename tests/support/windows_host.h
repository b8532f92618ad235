// The host's side of the module on Windows, for the Wine tests and the
// dialog screenshot tool: the module loaded by its path, its table read as
// the raw 32-bit words the host reads (not through our own headers'
// layouts), a top-level window to own the settings dialog, and that dialog
// found once it runs. Nothing here uses GoogleTest.
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <type_traits>

namespace testing_support {

// The table as the host reads it (a namespace of its own, for a using
// directive). The entries: every one __cdecl, every argument and result
// 32 bits.
namespace host_table {

typedef uint32_t(__cdecl* GetTableFn)(void);
typedef int32_t(__cdecl* OutputFn)(void* info);
typedef int32_t(__cdecl* ConfigFn)(HWND owner, HINSTANCE module);
typedef int32_t(__cdecl* ConfigGetFn)(void* data);
typedef int32_t(__cdecl* ConfigSetFn)(const void* data, int32_t size);

// The table's words, by the offsets the host uses.
constexpr std::size_t kFlag = 0, kName = 4, kFilter = 8, kInformation = 12, kUnused16 = 16,
                      kUnused20 = 20, kOutput = 24, kConfig = 28, kConfigGet = 32, kConfigSet = 36,
                      kReserved = 40, kReservedWords = 18,
                      kTableBytes = kReserved + 4 * kReservedWords;

uint32_t Get32(const uint8_t* bytes, std::size_t offset);

template <typename Fn>
Fn EntryAt(const uint8_t* table, std::size_t offset) {
  return reinterpret_cast<Fn>(static_cast<uintptr_t>(Get32(table, offset)));
}

}  // namespace host_table

struct FreeModule {
  void operator()(HMODULE module) const { FreeLibrary(module); }
};
struct DestroyOwnedWindow {
  void operator()(HWND window) const { DestroyWindow(window); }
};

// The module, freed when this goes, and its table.
struct PluginModule {
  // Loads `path` and asks it for its table; false, with the reason in
  // `error`, when either fails.
  bool Load(const char* path, std::string* error);

  std::unique_ptr<std::remove_pointer_t<HMODULE>, FreeModule> module;
  const uint8_t* table = nullptr;
};

// The host's main window: a plain visible top-level window at (x, y),
// destroyed when this goes; null when it cannot be made, GetLastError
// saying why.
using HostWindow = std::unique_ptr<std::remove_pointer_t<HWND>, DestroyOwnedWindow>;
HostWindow MakeHostWindow(int x, int y);

// The first dialog (window class #32770) on `thread`, once its modal loop
// runs (so after WM_INITDIALOG), or null when none appears in `timeout_ms`.
// Whether it is owned by the right window is the caller's business.
HWND WaitForDialog(DWORD thread, DWORD timeout_ms);

}  // namespace testing_support
