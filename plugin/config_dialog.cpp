// The settings dialog "CONFIG": the loop count in an edit box and the mask
// mode as a check box. Both settings change together, and only on OK.
#include <cstdint>

#include "gif/export_limits.h"
#include "plugin/module_entries.h"
#include "resources/resource_ids.h"

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
          // The box reads as unsigned 32-bit: from 2^31 up the number is
          // negative as the signed setting, so it loops forever; above the
          // field's limit it clamps, as the export would.
          g_settings.loop_count = LoopCountField(static_cast<int32_t>(typed));
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
