// The settings dialog "CONFIG": the loop count in an edit box and the mask
// mode as a check box. Both settings change together, and only on OK.
#include <cstdint>

#include "plugin/module_entries.h"
#include "resources/resource_ids.h"

namespace {

// The looping extension's count field is 16 bits wide.
constexpr UINT kMaxLoopCount = 65535;
// GetDlgItemInt reads the box as unsigned 32-bit; anything from 2^31 up would
// be negative as the signed setting, so it means "loop forever" instead.
constexpr UINT kFirstNegative = 0x80000000u;

int32_t LoopCountFromTyped(UINT typed) {
  if (typed >= kFirstNegative) return 0;
  if (typed > kMaxLoopCount) return static_cast<int32_t>(kMaxLoopCount);
  return static_cast<int32_t>(typed);
}

}  // namespace

int32_t LODRA_CDECL ShowConfigDialog(void* parent_window, void* module_instance) {
  // Whatever the dialog returns (1 OK, 2 Cancel, -1 or 0 when it could not be
  // created), the host is told the configuration step is done.
  DialogBoxParamA(static_cast<HINSTANCE>(module_instance), "CONFIG", static_cast<HWND>(parent_window),
                  ConfigDialogProc, 0);
  return 1;
}

INT_PTR CALLBACK ConfigDialogProc(HWND window, UINT message, WPARAM wparam, LPARAM /*lparam*/) {
  switch (message) {
    case WM_INITDIALOG:
      // A stored count outside 0..65535 (from SetConfig) is shown as it is,
      // read as unsigned: -1 shows as 4294967295.
      SetDlgItemInt(window, IDC_LOOP_COUNT, static_cast<UINT>(g_settings.loop_count), FALSE);
      CheckDlgButton(window, IDC_USE_MASK, g_settings.use_mask != 0 ? BST_CHECKED : BST_UNCHECKED);
      return TRUE;  // let the system focus the first tab stop (OK)

    case WM_COMMAND:
      switch (LOWORD(wparam)) {
        case IDOK: {
          // Text that is no unsigned number reads as 0: loop forever.
          BOOL translated = FALSE;
          const UINT typed = GetDlgItemInt(window, IDC_LOOP_COUNT, &translated, FALSE);
          g_settings.loop_count = LoopCountFromTyped(typed);
          g_settings.use_mask = IsDlgButtonChecked(window, IDC_USE_MASK) == BST_CHECKED ? 1 : 0;
          EndDialog(window, 1);
          return FALSE;
        }
        case IDCANCEL:
          EndDialog(window, 2);
          return FALSE;
        default:
          return FALSE;
      }

    default:
      return FALSE;
  }
}
