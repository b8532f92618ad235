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
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "tests/support/windows_host.h"

namespace {

using namespace testing_support::host_table;

constexpr DWORD kOpenTimeoutMs = 60000;

// Runs beside the dialog's modal loop on `thread`.
bool ReportAndClose(DWORD thread) {
  HWND dialog = testing_support::WaitForDialog(thread, kOpenTimeoutMs);
  if (dialog == nullptr) {
    std::fprintf(stderr, "open_dialog: no dialog appeared\n");
    return false;
  }
  // Its modal loop runs; make sure it has painted.
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

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: open_dialog.exe MODULE LOOP_COUNT USE_MASK\n");
    return 2;
  }
  testing_support::PluginModule plugin;
  std::string error;
  if (!plugin.Load(argv[1], &error)) {
    std::fprintf(stderr, "open_dialog: %s\n", error.c_str());
    return 1;
  }
  const int32_t block[2] = {static_cast<int32_t>(std::strtol(argv[2], nullptr, 10)),
                            static_cast<int32_t>(std::strtol(argv[3], nullptr, 10))};
  EntryAt<ConfigSetFn>(plugin.table, kConfigSet)(block, 8);

  const testing_support::HostWindow owner = testing_support::MakeHostWindow(40, 40);
  if (owner == nullptr) {
    std::fprintf(stderr, "open_dialog: cannot create the owner window (error %lu)\n",
                 GetLastError());
    return 1;
  }

  bool shown = false;
  const DWORD thread = GetCurrentThreadId();
  std::thread user([&] { shown = ReportAndClose(thread); });
  EntryAt<ConfigFn>(plugin.table, kConfig)(owner.get(), plugin.module.get());
  user.join();
  return shown ? 0 : 1;
}
