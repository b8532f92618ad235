#include "tests/support/windows_host.h"

#include <cwchar>

namespace testing_support {

uint32_t host_table::Get32(const uint8_t* bytes, std::size_t offset) {
  return static_cast<uint32_t>(bytes[offset]) | static_cast<uint32_t>(bytes[offset + 1]) << 8 |
         static_cast<uint32_t>(bytes[offset + 2]) << 16 |
         static_cast<uint32_t>(bytes[offset + 3]) << 24;
}

bool PluginModule::Load(const char* path, std::string* error) {
  module.reset(LoadLibraryA(path));
  if (module == nullptr) {
    *error = "LoadLibraryA(" + std::string(path) + ") failed, error " +
             std::to_string(GetLastError());
    return false;
  }
  const auto get_table = reinterpret_cast<host_table::GetTableFn>(
      reinterpret_cast<void*>(GetProcAddress(module.get(), "GetOutputPluginTable")));
  if (get_table == nullptr) {
    *error = "no export named GetOutputPluginTable in " + std::string(path);
    return false;
  }
  table = reinterpret_cast<const uint8_t*>(static_cast<uintptr_t>(get_table()));
  if (table == nullptr) {
    *error = "GetOutputPluginTable returned no table";
    return false;
  }
  return true;
}

namespace {

LRESULT CALLBACK HostWindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  return DefWindowProcW(window, message, wparam, lparam);
}

BOOL CALLBACK FindDialog(HWND window, LPARAM param) {
  wchar_t class_name[16] = {};
  GetClassNameW(window, class_name, 16);
  if (std::wcscmp(class_name, L"#32770") != 0) return TRUE;
  *reinterpret_cast<HWND*>(param) = window;
  return FALSE;
}

}  // namespace

HostWindow MakeHostWindow(int x, int y) {
  WNDCLASSW window_class = {};
  window_class.lpfnWndProc = HostWindowProc;
  window_class.hInstance = GetModuleHandleW(nullptr);
  // Painted, so that a screenshot shows the dialog on a plain background.
  window_class.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_APPWORKSPACE + 1);
  window_class.lpszClassName = L"LodraTestHost";
  RegisterClassW(&window_class);  // fails harmlessly once it is registered
  return HostWindow(CreateWindowExW(0, L"LodraTestHost", L"host", WS_OVERLAPPEDWINDOW | WS_VISIBLE,
                                    x, y, 480, 360, nullptr, nullptr, GetModuleHandleW(nullptr),
                                    nullptr));
}

HWND WaitForDialog(DWORD thread, DWORD timeout_ms) {
  const DWORD start = GetTickCount();
  HWND dialog = nullptr;
  while (dialog == nullptr) {
    if (GetTickCount() - start >= timeout_ms) return nullptr;
    EnumThreadWindows(thread, FindDialog, reinterpret_cast<LPARAM>(&dialog));
    if (dialog == nullptr) Sleep(10);
  }
  // What is sent is handled by the dialog's thread only once its modal loop
  // runs, after WM_INITDIALOG: this waits for that.
  DWORD_PTR ignored = 0;
  SendMessageTimeoutW(dialog, WM_NULL, 0, 0, SMTO_NORMAL, timeout_ms, &ignored);
  return dialog;
}

}  // namespace testing_support
