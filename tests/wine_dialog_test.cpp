// The settings dialog as the user meets it: the module's own template, run
// by the system's dialog manager through the table's config entry, owned by
// a real top-level window. The modal loop holds the calling thread, so a
// second thread plays the user: it waits for the dialog, reads what it
// shows, types into the edit box, clicks the check box and presses OK or
// Cancel or the close box, all by messages; the settings are then read
// through config_get. The cases are the stand-in's (dialog_cases.h).
//
// The dialog is opened with DialogBoxParamA, so its UTF-16 texts pass
// through the ANSI code page and read back in Japanese only where that is
// 932, as on the plug-in's users' systems. CTest runs this program with
// LC_ALL=ja_JP.UTF-8, which gives Wine that code page.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tests/support/dialog_cases.h"
#include "tests/support/have_want.h"
#include "tests/support/windows_host.h"

namespace {

using testing_support::DialogButton;
using testing_support::DialogCase;
using testing_support::HaveWant;
using namespace testing_support::host_table;

std::string Utf8(const std::wstring& text) {
  if (text.empty()) return {};
  const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                       nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], size,
                      nullptr, nullptr);
  return out;
}

// A control as the dialog shows it: its id (the low word: the template's -1
// is 0xFFFF) and its text.
struct ShownControl {
  unsigned id;
  std::wstring text;
  bool operator==(const ShownControl& other) const { return id == other.id && text == other.text; }
};
void PrintTo(const ShownControl& c, std::ostream* out) {
  *out << "{" << c.id << ", \"" << Utf8(c.text) << "\"}";
}

constexpr int kLoopCountBox = 100;
constexpr int kMaskBox = 101;

// Generous: every Wine call may run under an emulator.
constexpr DWORD kOpenTimeoutMs = 60000;
constexpr DWORD kCloseTimeoutMs = 30000;

std::wstring WindowText(HWND window) {
  wchar_t text[256] = {};
  GetWindowTextW(window, text, 256);
  return text;
}

// ------------------------------------------------------------- playing the user

// What the user saw when the dialog had opened, and after typing and
// clicking, just before pressing the button.
struct Seen {
  bool opened = false;
  bool owned = false;   // owned by our window
  bool closed = false;  // gone after the button was pressed
  std::wstring caption;
  std::vector<ShownControl> controls;  // in tab order
  std::wstring loop_text;
  UINT mask_state = 0;
  unsigned focus_id = 0;
  POINT client_origin = {};
  std::wstring loop_text_before_button;
  UINT mask_state_before_button = 0;
};

bool WaitForClose(HWND dialog) {
  const DWORD start = GetTickCount();
  while (IsWindow(dialog)) {
    if (GetTickCount() - start >= kCloseTimeoutMs) return false;
    Sleep(10);
  }
  return true;
}

// A dialog that stays open, or a config entry that does not return once its
// dialog has gone, would hold the test thread for good: the user's thread
// ends the run instead, saying why.
[[noreturn]] void GiveUp(const char* why) {
  std::fprintf(stderr, "%s; ending the test run\n", why);
  std::fflush(stderr);
  ExitProcess(2);
}

struct UserActions {
  const char* typed;  // null: leave the edit box alone
  bool click_mask;
  DialogButton button;
};

// Runs on the user's thread while `thread` sits in the dialog's modal loop.
Seen PlayUser(DWORD thread, HWND owner, const UserActions& actions) {
  Seen seen;
  HWND dialog = testing_support::WaitForDialog(thread, kOpenTimeoutMs);
  if (dialog == nullptr) return seen;
  seen.opened = true;

  seen.owned = GetWindow(dialog, GW_OWNER) == owner;
  seen.caption = WindowText(dialog);
  for (HWND child = GetWindow(dialog, GW_CHILD); child != nullptr;
       child = GetWindow(child, GW_HWNDNEXT)) {
    seen.controls.push_back({LOWORD(GetDlgCtrlID(child)), WindowText(child)});
  }
  wchar_t text[64] = {};
  GetDlgItemTextW(dialog, kLoopCountBox, text, 64);
  seen.loop_text = text;
  seen.mask_state = IsDlgButtonChecked(dialog, kMaskBox);
  GUITHREADINFO gui = {};
  gui.cbSize = sizeof gui;
  if (GetGUIThreadInfo(thread, &gui) && gui.hwndFocus != nullptr) {
    seen.focus_id = LOWORD(GetDlgCtrlID(gui.hwndFocus));
  }
  ClientToScreen(dialog, &seen.client_origin);

  if (actions.typed != nullptr) {
    const std::string typed = actions.typed;  // ASCII
    SetDlgItemTextW(dialog, kLoopCountBox, std::wstring(typed.begin(), typed.end()).c_str());
  }
  if (actions.click_mask) SendDlgItemMessageW(dialog, kMaskBox, BM_CLICK, 0, 0);
  GetDlgItemTextW(dialog, kLoopCountBox, text, 64);
  seen.loop_text_before_button = text;
  seen.mask_state_before_button = IsDlgButtonChecked(dialog, kMaskBox);

  if (actions.button == DialogButton::kCloseBox)
    PostMessageW(dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
  else
    SendDlgItemMessageW(dialog, actions.button == DialogButton::kOk ? IDOK : IDCANCEL, BM_CLICK, 0, 0);
  seen.closed = WaitForClose(dialog);
  if (!seen.closed) {
    // Close it as the window manager would.
    PostMessageW(dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
    if (!WaitForClose(dialog)) GiveUp("the dialog does not close");
  }
  return seen;
}

// ----------------------------------------------------------------- the fixture

class WineDialogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(plugin_.Load(LODRA_MODULE_PATH, &error)) << error;
    table_ = plugin_.table;
    owner_window_ = testing_support::MakeHostWindow(120, 90);
    ASSERT_NE(owner_window_, nullptr) << "CreateWindowExW failed, error " << GetLastError();
    owner_ = owner_window_.get();
  }

  void SetSettings(int32_t loop_count, int32_t use_mask) {
    const int32_t block[2] = {loop_count, use_mask};
    ASSERT_TRUE(HaveWant(EntryAt<ConfigSetFn>(table_, kConfigSet)(block, 8), int32_t{8}));
  }
  std::pair<int32_t, int32_t> GetSettings() const {
    int32_t block[2] = {-7, -7};
    EntryAt<ConfigGetFn>(table_, kConfigGet)(block);
    return {block[0], block[1]};
  }

  // Opens the dialog through the table, as the host does, with a user on
  // another thread; returns what the user saw.
  Seen RunDialog(const UserActions& actions) {
    Seen seen;
    const DWORD thread = GetCurrentThreadId();
    std::atomic<bool> returned(false);
    std::thread user([&] {
      seen = PlayUser(thread, owner_, actions);
      const DWORD start = GetTickCount();
      while (!returned) {
        if (GetTickCount() - start >= kCloseTimeoutMs) GiveUp("config does not return");
        Sleep(10);
      }
    });
    const int32_t result = EntryAt<ConfigFn>(table_, kConfig)(owner_, plugin_.module.get());
    returned = true;
    user.join();
    EXPECT_TRUE(HaveWant(result, int32_t{1})) << "config's result";
    EXPECT_TRUE(seen.opened) << "no dialog appeared";
    EXPECT_TRUE(seen.owned) << "the dialog is not owned by the host's window";
    EXPECT_TRUE(seen.closed) << "the dialog stayed open after the button";
    return seen;
  }

  // Declared in this order, the window goes before the module.
  testing_support::PluginModule plugin_;
  testing_support::HostWindow owner_window_;
  const uint8_t* table_ = nullptr;
  HWND owner_ = nullptr;
};

// ------------------------------------------------------------------ what it shows

TEST_F(WineDialogTest, ShowsTheJapaneseTextsWithFocusOnOk) {
  ASSERT_NO_FATAL_FAILURE(SetSettings(42, 0));
  const Seen seen = RunDialog({nullptr, false, DialogButton::kCancel});
  ASSERT_TRUE(seen.opened);

  EXPECT_TRUE(HaveWant(GetACP(), 932u))
      << "ANSI code page: the texts below read back as '?' elsewhere; run with "
         "LC_ALL=ja_JP.UTF-8, a locale scripts/install-deps.sh generates";

  EXPECT_TRUE(HaveWant(Utf8(seen.caption), std::string("Zarn出力の設定"))) << "caption";
  const std::vector<ShownControl> want_controls = {
      {IDOK, L"OK"},
      {IDCANCEL, L"ｷｬﾝｾﾙ"},
      {0xFFFF, L"繰り返し回数"},
      {0xFFFF, L"(0 を指定すると無限ループ)"},
      {kLoopCountBox, L"42"},
      {kMaskBox, L"右半分を透過情報として扱う"},
  };
  EXPECT_TRUE(HaveWant(seen.controls, want_controls)) << "controls in tab order";
  EXPECT_TRUE(HaveWant(seen.focus_id, static_cast<unsigned>(IDOK))) << "focus";

  // No centring: the dialog's client area starts where its owner's does.
  POINT owner_origin = {};
  ClientToScreen(owner_, &owner_origin);
  EXPECT_TRUE(HaveWant(std::make_pair(seen.client_origin.x, seen.client_origin.y),
                       std::make_pair(owner_origin.x, owner_origin.y)))
      << "client area origin";
}

// -------------------------------------------------------- what it stores, and when

TEST_F(WineDialogTest, StoresOnOkOnly) {
  for (const DialogCase& c : testing_support::kDialogCases) {
    SCOPED_TRACE(c.name);
    ASSERT_NO_FATAL_FAILURE(SetSettings(c.loop_count, c.use_mask));
    const Seen seen = RunDialog({c.typed, c.click_mask, c.button});
    if (!seen.opened) continue;
    EXPECT_TRUE(HaveWant(Utf8(seen.loop_text), std::string(c.want_shown))) << "edit box when opened";
    const UINT want_checked = c.want_checked ? BST_CHECKED : BST_UNCHECKED;
    EXPECT_TRUE(HaveWant(seen.mask_state, want_checked)) << "check box when opened";
    // The user's input arrived (else the stored values say nothing).
    if (c.typed != nullptr) {
      EXPECT_TRUE(HaveWant(Utf8(seen.loop_text_before_button), std::string(c.typed))) << "edit box after typing";
    }
    const UINT toggled = c.want_checked ? BST_UNCHECKED : BST_CHECKED;
    EXPECT_TRUE(HaveWant(seen.mask_state_before_button, c.click_mask ? toggled : want_checked))
        << "check box after clicking";
    EXPECT_TRUE(HaveWant(GetSettings(), std::make_pair(c.want_loop_count, c.want_use_mask)))
        << "settings (loop_count, use_mask)";
  }
}

}  // namespace
