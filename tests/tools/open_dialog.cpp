// Opens the module's settings dialog as the host does and holds it open, for
// scripts/screenshot-dialog.sh:
//
//   open_dialog.exe MODULE LOOP_COUNT USE_MASK
//
// loads MODULE, hands it the settings block (LOOP_COUNT, USE_MASK), and calls
// the table's config entry with a plain top-level window as the owner. Once
// the dialog is up it prints the dialog's window rectangle in screen
// coordinates as "x y width height" on a line of its own, then waits for a
// line (or the end) on standard input and presses Cancel. Exits 0 when the
// dialog opened and closed, 1 otherwise.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace {

typedef uint32_t(__cdecl* GetTableFn)(void);
typedef int32_t(__cdecl* ConfigFn)(HWND owner, HINSTANCE module);
typedef int32_t(__cdecl* ConfigSetFn)(const void* data, int32_t size);

// Offsets of the table's entries, as the host reads them.
constexpr std::size_t kConfig = 28, kConfigSet = 36;
constexpr DWORD kOpenTimeoutMs = 60000;

template <typename Fn>
Fn EntryAt(const uint8_t* table, std::size_t offset) {
  uint32_t word;
  std::memcpy(&word, table + offset, 4);
  return reinterpret_cast<Fn>(static_cast<uintptr_t>(word));
}

BOOL CALLBACK FindDialog(HWND window, LPARAM param) {
  wchar_t class_name[16] = {};
  GetClassNameW(window, class_name, 16);
  if (std::wcscmp(class_name, L"#32770") != 0) return TRUE;
  *reinterpret_cast<HWND*>(param) = window;
  return FALSE;
}

// Runs beside the dialog's modal loop on `thread`.
bool ReportAndClose(DWORD thread) {
  HWND dialog = nullptr;
  const DWORD start = GetTickCount();
  while (dialog == nullptr && GetTickCount() - start < kOpenTimeoutMs) {
    EnumThreadWindows(thread, FindDialog, reinterpret_cast<LPARAM>(&dialog));
    if (dialog == nullptr) Sleep(10);
  }
  if (dialog == nullptr) {
    std::fprintf(stderr, "open_dialog: no dialog appeared\n");
    return false;
  }
  // Answered once the modal loop runs; then make sure it has painted.
  DWORD_PTR ignored = 0;
  SendMessageTimeoutW(dialog, WM_NULL, 0, 0, SMTO_NORMAL, kOpenTimeoutMs, &ignored);
  RedrawWindow(dialog, nullptr, nullptr,
               RDW_INVALIDATE | RDW_ERASE | RDW_FRAME | RDW_ALLCHILDREN | RDW_UPDATENOW);
  RECT rect = {};
  GetWindowRect(dialog, &rect);
  std::printf("%ld %ld %ld %ld\n", rect.left, rect.top, rect.right - rect.left,
              rect.bottom - rect.top);
  std::fflush(stdout);

  char line[16];
  if (std::fgets(line, sizeof line, stdin) == nullptr) {
    // Standard input ended: close anyway.
  }
  SendDlgItemMessageW(dialog, IDCANCEL, BM_CLICK, 0, 0);
  return true;
}

LRESULT CALLBACK OwnerProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  return DefWindowProcW(window, message, wparam, lparam);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: open_dialog.exe MODULE LOOP_COUNT USE_MASK\n");
    return 2;
  }
  HMODULE module = LoadLibraryA(argv[1]);
  if (module == nullptr) {
    std::fprintf(stderr, "open_dialog: cannot load %s (error %lu)\n", argv[1], GetLastError());
    return 1;
  }
  const auto get_table = reinterpret_cast<GetTableFn>(
      reinterpret_cast<void*>(GetProcAddress(module, "GetOutputPluginTable")));
  if (get_table == nullptr) {
    std::fprintf(stderr, "open_dialog: no GetOutputPluginTable in %s\n", argv[1]);
    FreeLibrary(module);
    return 1;
  }
  const auto* table = reinterpret_cast<const uint8_t*>(static_cast<uintptr_t>(get_table()));
  const int32_t block[2] = {static_cast<int32_t>(std::strtol(argv[2], nullptr, 10)),
                            static_cast<int32_t>(std::strtol(argv[3], nullptr, 10))};
  EntryAt<ConfigSetFn>(table, kConfigSet)(block, 8);

  WNDCLASSW window_class = {};
  window_class.lpfnWndProc = OwnerProc;
  window_class.hInstance = GetModuleHandleW(nullptr);
  window_class.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_APPWORKSPACE + 1);
  window_class.lpszClassName = L"LodraDialogHost";
  RegisterClassW(&window_class);
  HWND owner = CreateWindowExW(0, L"LodraDialogHost", L"host", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 40,
                               40, 480, 360, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
  if (owner == nullptr) {
    std::fprintf(stderr, "open_dialog: cannot create the owner window (error %lu)\n",
                 GetLastError());
    FreeLibrary(module);
    return 1;
  }

  bool shown = false;
  const DWORD thread = GetCurrentThreadId();
  std::thread user([&] { shown = ReportAndClose(thread); });
  EntryAt<ConfigFn>(table, kConfig)(owner, module);
  user.join();

  DestroyWindow(owner);
  FreeLibrary(module);
  return shown ? 0 : 1;
}
