// The dialog stand-in: modal dialogs over in-memory controls, driven by a
// scripted user. See winuser.h and dialog_control.h.
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/standin/dialog_control.h"
#include "platform/win32.h"

// A dialog or one of its controls.
struct StandinWindow {
  int id = 0;
  standin::ControlKind kind = standin::ControlKind::kStatic;
  std::string text;
  UINT check = BST_UNCHECKED;
};

namespace standin {
namespace {

struct OpenDialog {
  StandinWindow window;
  std::vector<std::unique_ptr<StandinWindow>> controls;
  DLGPROC procedure = nullptr;
  bool ended = false;
  INT_PTR result = 0;
};

struct State {
  std::map<std::string, std::vector<DialogControl>> templates;
  std::vector<UserAction> script;
  DialogRun last_run;
  OpenDialog* open = nullptr;  // the one modal dialog running, if any
};

State& TheState() {
  static State state;
  return state;
}

// The real GetDlgItemInt reads the text into a 30-byte buffer: 29 characters.
constexpr std::size_t kReadChars = 29;

StandinWindow* ControlById(OpenDialog& dialog, int id) {
  for (const auto& control : dialog.controls) {
    if (control->id == id) return control.get();
  }
  return nullptr;
}

// Control `id` of `dialog`, which must be the dialog that is open.
StandinWindow* FindControlWindow(HWND dialog, int id) {
  OpenDialog* open = TheState().open;
  if (open == nullptr || dialog != &open->window) return nullptr;
  return ControlById(*open, id);
}

std::vector<ControlState> Snapshot(const OpenDialog& dialog) {
  std::vector<ControlState> states;
  for (const auto& control : dialog.controls) {
    states.push_back({control->id, control->text, control->check});
  }
  return states;
}

// Template names may be integer ids (MAKEINTRESOURCE); they are looked up
// as "#id", the way resource scripts name them.
std::string TemplateKey(LPCSTR name) {
  const auto bits = reinterpret_cast<uintptr_t>(name);
  if ((bits >> 16) == 0) return "#" + std::to_string(bits);
  return name;
}

INT_PTR Send(OpenDialog& dialog, UINT message, WPARAM wparam, LPARAM lparam) {
  if (dialog.procedure == nullptr) return FALSE;
  return dialog.procedure(&dialog.window, message, wparam, lparam);
}

void SendCommand(OpenDialog& dialog, int id, int code, StandinWindow* control) {
  Send(dialog, WM_COMMAND, MAKEWPARAM(id, code), reinterpret_cast<LPARAM>(control));
}

void Deliver(OpenDialog& dialog, const UserAction& action, DialogRun& run) {
  StandinWindow* control = ControlById(dialog, action.id);
  switch (action.kind) {
    case UserAction::Kind::kType:
      if (control == nullptr || control->kind != ControlKind::kEdit) {
        run.script_errors.push_back("typed into control " + std::to_string(action.id) +
                                    ", which is no edit box");
        return;
      }
      control->text = action.text;
      SendCommand(dialog, action.id, EN_CHANGE, control);
      return;
    case UserAction::Kind::kClick:
      if (control == nullptr ||
          (control->kind != ControlKind::kPushButton && control->kind != ControlKind::kCheckBox)) {
        run.script_errors.push_back("clicked control " + std::to_string(action.id) +
                                    ", which is no button");
        return;
      }
      if (control->kind == ControlKind::kCheckBox) {
        control->check = control->check == BST_CHECKED ? BST_UNCHECKED : BST_CHECKED;
      }
      SendCommand(dialog, action.id, BN_CLICKED, control);
      return;
    case UserAction::Kind::kClose:
      // The default dialog procedure turns an unhandled WM_CLOSE into Cancel.
      if (!Send(dialog, WM_CLOSE, 0, 0) && !dialog.ended) {
        SendCommand(dialog, IDCANCEL, BN_CLICKED, ControlById(dialog, IDCANCEL));
      }
      return;
  }
}

// Parses the way the real call does: strtoul/strtol with 32-bit longs.
UINT ParseDialogInt(const std::string& full_text, BOOL* translated, bool is_signed) {
  const std::string text = full_text.substr(0, kReadChars);
  std::size_t i = 0;
  auto is_blank = [](char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
  };
  auto is_digit = [](char c) { return c >= '0' && c <= '9'; };
  while (i < text.size() && is_blank(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  if (i >= text.size() || !is_digit(text[i])) return 0;  // nothing converted

  // Largest magnitude that fits: 2^32 - 1 unsigned; 2^31 - 1 or 2^31 signed.
  const uint64_t limit = !is_signed ? 0xFFFFFFFFu : (negative ? 0x80000000u : 0x7FFFFFFFu);
  uint64_t magnitude = 0;
  for (; i < text.size() && is_digit(text[i]); ++i) {
    magnitude = magnitude * 10 + static_cast<uint64_t>(text[i] - '0');
    if (magnitude > limit) return 0;  // out of range
  }
  const uint32_t low = static_cast<uint32_t>(magnitude);
  if (translated != nullptr) *translated = TRUE;
  return negative ? 0u - low : low;
}

}  // namespace

// The templates and the scripted user exist in the test build only: in the
// module that ships no template is ever registered, so DialogBoxParamA fails
// as it does for a missing resource.
#if LODRA_STANDIN_HOOKS
void RegisterDialogTemplate(const std::string& name, std::vector<DialogControl> controls) {
  TheState().templates[name] = std::move(controls);
}

UserAction TypeText(int id, std::string text) {
  return {UserAction::Kind::kType, id, std::move(text)};
}
UserAction Click(int id) { return {UserAction::Kind::kClick, id, {}}; }
UserAction CloseWindow() { return {UserAction::Kind::kClose, 0, {}}; }

void ScriptUser(std::vector<UserAction> actions) { TheState().script = std::move(actions); }

const DialogRun& LastDialogRun() { return TheState().last_run; }

const ControlState* FindControl(const std::vector<ControlState>& controls, int id) {
  for (const ControlState& state : controls) {
    if (state.id == id) return &state;
  }
  return nullptr;
}

void ResetDialogs() {
  State& state = TheState();
  state.templates.clear();
  state.script.clear();
  state.last_run = DialogRun();
}
#endif

}  // namespace standin

using standin::ControlKind;

INT_PTR WINAPI DialogBoxParamA(HINSTANCE instance, LPCSTR template_name, HWND parent,
                               DLGPROC procedure, LPARAM init_param) {
  standin::State& state = standin::TheState();
  standin::DialogRun run;
  run.called = true;
  run.template_name = standin::TemplateKey(template_name);
  run.instance = instance;
  run.parent = parent;
  run.init_param = init_param;
  const std::vector<standin::UserAction> script = std::move(state.script);
  state.script.clear();

  // One modal dialog at a time is all this product opens.
  const auto found = state.templates.find(run.template_name);
  if (found == state.templates.end() || state.open != nullptr) {
    run.result = -1;
    state.last_run = std::move(run);
    return -1;
  }
  run.opened = true;

  standin::OpenDialog dialog;
  dialog.procedure = procedure;
  for (const standin::DialogControl& source : found->second) {
    auto control = std::make_unique<StandinWindow>();
    control->id = source.id;
    control->kind = source.kind;
    control->text = source.text;
    if (run.focus_offered == nullptr && source.tab_stop) run.focus_offered = control.get();
    dialog.controls.push_back(std::move(control));
  }

  state.open = &dialog;
  run.init_result = standin::Send(dialog, WM_INITDIALOG,
                                  reinterpret_cast<WPARAM>(run.focus_offered), init_param);
  run.after_init = standin::Snapshot(dialog);
  for (const standin::UserAction& action : script) {
    if (dialog.ended) break;
    standin::Deliver(dialog, action, run);
    ++run.actions_delivered;
  }
  state.open = nullptr;

  run.at_end = standin::Snapshot(dialog);
  run.ended = dialog.ended;
  // A real modal loop would wait on; here the user has walked away.
  run.result = dialog.ended ? dialog.result : -1;
  const INT_PTR result = run.result;
  state.last_run = std::move(run);
  return result;
}

BOOL WINAPI EndDialog(HWND dialog, INT_PTR result) {
  standin::OpenDialog* open = standin::TheState().open;
  if (open == nullptr || dialog != &open->window) return FALSE;
  open->ended = true;
  open->result = result;
  return TRUE;
}

BOOL WINAPI SetDlgItemInt(HWND dialog, int id, UINT value, BOOL is_signed) {
  StandinWindow* control = standin::FindControlWindow(dialog, id);
  if (control == nullptr) return FALSE;
  control->text = is_signed ? std::to_string(static_cast<int32_t>(value)) : std::to_string(value);
  return TRUE;
}

UINT WINAPI GetDlgItemInt(HWND dialog, int id, BOOL* translated, BOOL is_signed) {
  if (translated != nullptr) *translated = FALSE;
  const StandinWindow* control = standin::FindControlWindow(dialog, id);
  if (control == nullptr) return 0;
  return standin::ParseDialogInt(control->text, translated, is_signed != FALSE);
}

BOOL WINAPI CheckDlgButton(HWND dialog, int id, UINT check) {
  StandinWindow* control = standin::FindControlWindow(dialog, id);
  if (control == nullptr) return FALSE;
  // A two-state check box takes anything above checked as checked.
  if (control->kind == ControlKind::kCheckBox) {
    control->check = check > BST_CHECKED ? BST_CHECKED : check;
  }
  return TRUE;
}

UINT WINAPI IsDlgButtonChecked(HWND dialog, int id) {
  const StandinWindow* control = standin::FindControlWindow(dialog, id);
  if (control == nullptr || control->kind != ControlKind::kCheckBox) return BST_UNCHECKED;
  return control->check;
}
