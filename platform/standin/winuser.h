// Stand-in for the dialog functions of user32 that the settings dialog calls.
// Never include this directly: include "platform/win32.h", whose stand-in
// windows.h declares the base types used here.
//
// A dialog here is an in-memory window holding its controls' texts and check
// states. Templates are registered by tests, and what the "user" does while a
// dialog is open is scripted: see "platform/standin/dialog_control.h".
#pragma once

// ------------------------------------------------------------------- messages
#define WM_CLOSE 0x0010u
#define WM_INITDIALOG 0x0110u
#define WM_COMMAND 0x0111u

// Ids of the standard buttons, which are also their commands.
#define IDOK 1
#define IDCANCEL 2

// Notification codes, in the high word of a WM_COMMAND's wparam.
#define BN_CLICKED 0
#define EN_CHANGE 0x0300

// Check states of a check box.
#define BST_UNCHECKED 0x0000u
#define BST_CHECKED 0x0001u

#define LOWORD(l) ((WORD)(((UINT_PTR)(l)) & 0xffffu))
#define HIWORD(l) ((WORD)((((UINT_PTR)(l)) >> 16) & 0xffffu))
#define MAKEWPARAM(low, high) ((WPARAM)(DWORD)((WORD)(low) | ((DWORD)(WORD)(high) << 16)))
#define MAKEINTRESOURCEA(id) ((LPCSTR)(ULONG_PTR)(WORD)(id))

typedef INT_PTR(CALLBACK* DLGPROC)(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

// ---------------------------------------------------------------- the calls
// Runs the dialog `template_name` modally: sends WM_INITDIALOG (lparam =
// init_param), then delivers the scripted user actions until the procedure
// calls EndDialog. Returns EndDialog's result, or -1 when there is no such
// template (or the script ran out before the dialog ended).
INT_PTR WINAPI DialogBoxParamA(HINSTANCE instance, LPCSTR template_name, HWND parent,
                               DLGPROC procedure, LPARAM init_param);
// Marks the open dialog `dialog` to close with `result` once the procedure
// returns. FALSE for a window that is no open dialog.
BOOL WINAPI EndDialog(HWND dialog, INT_PTR result);

// Sets control `id`'s text to `value` in decimal, signed or unsigned. FALSE
// when there is no such control.
BOOL WINAPI SetDlgItemInt(HWND dialog, int id, UINT value, BOOL is_signed);
// Reads control `id`'s text as a decimal number the way the real call does
// (its first 29 characters, leading blanks skipped, an optional sign, digits
// up to the first other character). Text without digits, a value out of the
// 32-bit range (signed or unsigned as asked) or a missing control give 0 and
// *translated FALSE. In unsigned mode "-n" wraps to 2^32 - n, as it does
// there.
UINT WINAPI GetDlgItemInt(HWND dialog, int id, BOOL* translated, BOOL is_signed);

// Sets a check box's state (BST_CHECKED or BST_UNCHECKED; a larger value
// checks it). Other controls ignore it. FALSE when there is no such control.
BOOL WINAPI CheckDlgButton(HWND dialog, int id, UINT check);
// A check box's state; 0 for any other control or a missing one.
UINT WINAPI IsDlgButtonChecked(HWND dialog, int id);
