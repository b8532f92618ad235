// The settings dialog, run through the dialog stand-in by a scripted user:
// what it shows when it opens, what OK stores and that Cancel stores nothing.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/standin/dialog_control.h"
#include "plugin/module_entries.h"
#include "resources/resource_ids.h"
#include "tests/support/dialog_cases.h"
#include "tests/support/have_want.h"

namespace {

using standin::Click;
using standin::CloseWindow;
using standin::ControlKind;
using standin::TypeText;
using standin::UserAction;
using testing_support::DialogButton;
using testing_support::DialogCase;
using testing_support::HaveWant;
using testing_support::kDialogCases;

std::string Show(const Settings& s) {
  return "{" + std::to_string(s.loop_count) + ", " + std::to_string(s.use_mask) + "}";
}

// The controls of "CONFIG" as the resource script lays them out, in its
// order, with their texts glossed in English (the resource test checks the
// compiled template itself).
void RegisterConfigTemplate() {
  standin::RegisterDialogTemplate(
      "CONFIG", {
                    {IDOK, ControlKind::kPushButton, "OK", true},
                    {IDCANCEL, ControlKind::kPushButton, "Cancel", true},
                    {-1, ControlKind::kStatic, "Repeat count", false},
                    {-1, ControlKind::kStatic, "(0 loops forever)", false},
                    {IDC_LOOP_COUNT, ControlKind::kEdit, "", true},
                    {IDC_USE_MASK, ControlKind::kCheckBox, "Right half is transparency", false},
                });
}

HWND const kHostWindow = reinterpret_cast<HWND>(uintptr_t{0x1000});
HINSTANCE const kModule = reinterpret_cast<HINSTANCE>(uintptr_t{0x2000});

class ConfigDialogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = g_settings;
    standin::ResetDialogs();
    RegisterConfigTemplate();
  }
  void TearDown() override {
    g_settings = saved_;
    standin::ResetDialogs();
  }

 private:
  Settings saved_{};
};

// --------------------------------------------------- what the user sees and does

// The user's part of a case, as the stand-in's script.
std::vector<UserAction> Script(const DialogCase& c) {
  std::vector<UserAction> user;
  if (c.typed != nullptr) user.push_back(TypeText(IDC_LOOP_COUNT, c.typed));
  if (c.click_mask) user.push_back(Click(IDC_USE_MASK));
  user.push_back(c.button == DialogButton::kOk       ? Click(IDOK)
                 : c.button == DialogButton::kCancel ? Click(IDCANCEL)
                                                     : CloseWindow());
  return user;
}

TEST_F(ConfigDialogTest, ShowsStoresAndCancels) {
  for (const DialogCase& c : kDialogCases) {
    SCOPED_TRACE(c.name);
    g_settings = {c.loop_count, c.use_mask};
    const std::vector<UserAction> user = Script(c);
    standin::ScriptUser(user);
    EXPECT_TRUE(HaveWant(ShowConfigDialog(kHostWindow, kModule), int32_t{1})) << "entry result";

    const standin::DialogRun& run = standin::LastDialogRun();
    ASSERT_TRUE(run.opened);
    EXPECT_TRUE(run.script_errors.empty()) << run.script_errors.front();
    EXPECT_TRUE(run.ended) << "the dialog never called EndDialog";
    EXPECT_TRUE(HaveWant(run.actions_delivered, user.size())) << "actions delivered";
    const INT_PTR want_result = c.button == DialogButton::kOk ? IDOK : IDCANCEL;
    EXPECT_TRUE(HaveWant(run.result, want_result)) << "dialog result";

    const standin::ControlState* count = standin::FindControl(run.after_init, IDC_LOOP_COUNT);
    const standin::ControlState* mask = standin::FindControl(run.after_init, IDC_USE_MASK);
    ASSERT_NE(count, nullptr);
    ASSERT_NE(mask, nullptr);
    EXPECT_TRUE(HaveWant(count->text, std::string(c.want_shown))) << "shown count";
    EXPECT_TRUE(HaveWant(mask->check, c.want_checked ? UINT{BST_CHECKED} : UINT{BST_UNCHECKED})) << "shown mask";

    EXPECT_TRUE(HaveWant(Show(g_settings), Show({c.want_loop_count, c.want_use_mask}))) << "settings afterwards";
  }
}

// ------------------------------------------------------- how the dialog is opened

TEST_F(ConfigDialogTest, OpensConfigFromTheHostsModule) {
  standin::ScriptUser({Click(IDOK)});
  ShowConfigDialog(kHostWindow, kModule);
  const standin::DialogRun& run = standin::LastDialogRun();
  EXPECT_TRUE(HaveWant(run.template_name, std::string("CONFIG")));
  EXPECT_TRUE(HaveWant(run.instance, kModule)) << "module instance";
  EXPECT_TRUE(HaveWant(run.parent, kHostWindow)) << "owner window";
  EXPECT_TRUE(HaveWant(run.init_param, LPARAM{0})) << "init param";
  // TRUE lets the system put the focus on the first tab stop, OK.
  EXPECT_TRUE(HaveWant(run.init_result, INT_PTR{TRUE})) << "WM_INITDIALOG result";
}

TEST_F(ConfigDialogTest, ReportsDoneWhenTheDialogCannotOpen) {
  standin::ResetDialogs();  // no "CONFIG" template
  g_settings = {9, 1};
  EXPECT_TRUE(HaveWant(ShowConfigDialog(kHostWindow, kModule), int32_t{1}));
  EXPECT_FALSE(standin::LastDialogRun().opened);
  EXPECT_TRUE(HaveWant(Show(g_settings), Show({9, 1})));
}

// -------------------------------------------- the stand-in reads like the real call

// What GetDlgItemInt returned on OK, read from inside a dialog.
struct Reading {
  UINT value = 0;
  BOOL translated = FALSE;
};
Reading g_reading;
BOOL g_read_signed = FALSE;

INT_PTR CALLBACK ReadingProc(HWND window, UINT message, WPARAM wparam, LPARAM) {
  if (message == WM_COMMAND && LOWORD(wparam) == IDOK) {
    g_reading.value = GetDlgItemInt(window, IDC_LOOP_COUNT, &g_reading.translated, g_read_signed);
    EndDialog(window, 1);
  }
  return FALSE;
}

struct ReadCase {
  const char* text;
  BOOL is_signed;
  UINT want_value;
  BOOL want_translated;
};

const ReadCase kReadCases[] = {
    {"4294967295", FALSE, 4294967295u, TRUE},
    {"4294967296", FALSE, 0, FALSE},
    {"", FALSE, 0, FALSE},
    {"abc", FALSE, 0, FALSE},
    {"  42", FALSE, 42, TRUE},
    {"12ab", FALSE, 12, TRUE},
    {"-1", FALSE, 4294967295u, TRUE},
    // Only the first 29 characters are read.
    {"00000000000000000000000000000123", FALSE, 0, TRUE},
    {"2147483647", TRUE, 2147483647u, TRUE},
    {"2147483648", TRUE, 0, FALSE},
    {"-2147483648", TRUE, 0x80000000u, TRUE},
    {"-2147483649", TRUE, 0, FALSE},
};

TEST_F(ConfigDialogTest, StandinGetDlgItemIntReadsLikeTheRealCall) {
  for (const ReadCase& c : kReadCases) {
    SCOPED_TRACE(std::string("text \"") + c.text + (c.is_signed ? "\", signed" : "\", unsigned"));
    g_reading = Reading{12345, TRUE};
    g_read_signed = c.is_signed;
    standin::ScriptUser({TypeText(IDC_LOOP_COUNT, c.text), Click(IDOK)});
    ASSERT_EQ(DialogBoxParamA(kModule, "CONFIG", kHostWindow, ReadingProc, 0), 1);
    EXPECT_TRUE(HaveWant(g_reading.value, c.want_value)) << "value";
    EXPECT_TRUE(HaveWant(g_reading.translated, c.want_translated)) << "translated";
  }
}

}  // namespace
