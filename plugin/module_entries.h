// The module's own side of the plug-in table: the entries it fills the table
// with and the settings record they share. Only the module and its tests
// include this; hosts see plugin_interface.h alone.
#pragma once

#include <cstdint>

#include "platform/win32.h"
#include "plugin/plugin_interface.h"

// One process-wide record, zero when the module is loaded (loop forever,
// mask off), until the host hands back a stored block or the user confirms
// the dialog. The export reads it when it starts.
extern Settings g_settings;

// The export entry: reads the host's OutputInfo and the settings and writes
// the animation. 1 = file written (also when the host stopped it early),
// 0 = failure, with nothing more said.
int32_t LODRA_CDECL OutputAnimatedGif(OutputInfo* info);

int32_t LODRA_CDECL GetConfig(void* data);
int32_t LODRA_CDECL SetConfig(const void* data, int32_t size);

// Runs the modal dialog "CONFIG" from `module_instance` (an HINSTANCE), owned
// by `parent_window` (an HWND). Returns 1 whether the user confirmed,
// cancelled, or the dialog could not be opened.
int32_t LODRA_CDECL ShowConfigDialog(void* parent_window, void* module_instance);
// The dialog procedure of "CONFIG": shows the settings when the dialog opens
// and stores both of them together, only on OK.
INT_PTR CALLBACK ConfigDialogProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
