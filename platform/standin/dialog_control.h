// What the dialog stand-in offers beyond the real calls, for tests: the
// templates DialogBoxParamA can open, a script of what the user does while a
// dialog is open, and a record of what the dialog showed. Native builds only.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "platform/win32.h"

namespace standin {

enum class ControlKind {
  kPushButton,
  kCheckBox,  // an automatic check box: a click toggles it
  kEdit,
  kStatic,
};

struct DialogControl {
  int id;
  ControlKind kind;
  std::string text;       // as the template gives it
  bool tab_stop = false;  // the first tab stop gets the focus when the dialog opens
};

// Makes `name` a template DialogBoxParamA can open, replacing one of the same
// name. The controls keep this order.
void RegisterDialogTemplate(const std::string& name, std::vector<DialogControl> controls);

// One thing the user does while the dialog is open.
struct UserAction {
  enum class Kind {
    kType,   // replaces an edit box's text, then EN_CHANGE
    kClick,  // a button (a check box toggles first), then BN_CLICKED
    kClose,  // the close box: WM_CLOSE, and IDCANCEL if the procedure leaves it
  };
  Kind kind;
  int id;
  std::string text;
};
UserAction TypeText(int id, std::string text);
UserAction Click(int id);
UserAction CloseWindow();

// What the user does in the next dialog, in this order. Actions left when the
// dialog ends are dropped; the script is used up by that dialog.
void ScriptUser(std::vector<UserAction> actions);

struct ControlState {
  int id;
  std::string text;
  UINT check;  // BST_*; always BST_UNCHECKED but for check boxes
};

// What the last DialogBoxParamA call was given and what it saw.
struct DialogRun {
  bool called = false;
  std::string template_name;
  HINSTANCE instance = nullptr;
  HWND parent = nullptr;
  LPARAM init_param = 0;
  bool opened = false;             // the template was found
  HWND focus_offered = nullptr;    // WM_INITDIALOG's wparam
  INT_PTR init_result = 0;         // the procedure's answer to WM_INITDIALOG
  std::vector<ControlState> after_init;  // controls once WM_INITDIALOG was handled
  std::vector<ControlState> at_end;      // controls when the dialog closed
  std::size_t actions_delivered = 0;
  bool ended = false;  // the procedure called EndDialog
  INT_PTR result = 0;  // what DialogBoxParamA returned
  // Scripted actions that made no sense for the template (typing into a
  // button, clicking a missing control); a test expects none.
  std::vector<std::string> script_errors;
};
const DialogRun& LastDialogRun();

// The state of control `id` in `controls`, or null.
const ControlState* FindControl(const std::vector<ControlState>& controls, int id);

// Forgets the templates, the script and the last run.
void ResetDialogs();

}  // namespace standin
