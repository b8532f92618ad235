// The settings dialog, run through the dialog stand-in by a scripted user:
// what it shows when it opens, what OK stores and that Cancel stores nothing.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/standin/dialog_control.h"
#include "plugin/module_entries.h"
#include "resources/resource_ids.h"
#include "tests/support/have_want.h"

namespace {

using standin::Click;
using standin::CloseWindow;
using standin::ControlKind;
using standin::TypeText;
using standin::UserAction;
using testing_support::HaveWant;

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

struct DialogCase {
  const char* name;
  Settings before;
  std::vector<UserAction> user;
  std::string want_shown_count;  // the edit box once the dialog is open
  UINT want_shown_mask;          // the check box once the dialog is open
  INT_PTR want_result;           // DialogBoxParamA's: 1 OK, 2 Cancel
  Settings want_after;
};

const DialogCase kDialogCases[] = {
    {"OK keeps settings in range", {25, 1}, {Click(IDOK)}, "25", BST_CHECKED, 1, {25, 1}},
    {"zero shown, box clear", {0, 0}, {Click(IDOK)}, "0", BST_UNCHECKED, 1, {0, 0}},
    {"stored 100000 shown as is, OK clamps", {100000, 0}, {Click(IDOK)}, "100000", BST_UNCHECKED,
     1, {65535, 0}},
    {"stored -1 shown unsigned, OK stores 0", {-1, 0}, {Click(IDOK)}, "4294967295",
     BST_UNCHECKED, 1, {0, 0}},
    {"mask 5 shown checked, OK stores 1", {0, 5}, {Click(IDOK)}, "0", BST_CHECKED, 1, {0, 1}},
    {"typed 65535 kept", {10, 0}, {TypeText(IDC_LOOP_COUNT, "65535"), Click(IDOK)}, "10",
     BST_UNCHECKED, 1, {65535, 0}},
    {"typed 65536 clamps", {10, 0}, {TypeText(IDC_LOOP_COUNT, "65536"), Click(IDOK)}, "10",
     BST_UNCHECKED, 1, {65535, 0}},
    {"typed 70000 clamps", {10, 0}, {TypeText(IDC_LOOP_COUNT, "70000"), Click(IDOK)}, "10",
     BST_UNCHECKED, 1, {65535, 0}},
    {"typed 2^31-1 clamps", {10, 0}, {TypeText(IDC_LOOP_COUNT, "2147483647"), Click(IDOK)}, "10",
     BST_UNCHECKED, 1, {65535, 0}},
    {"typed 2^31 loops forever", {10, 0}, {TypeText(IDC_LOOP_COUNT, "2147483648"), Click(IDOK)},
     "10", BST_UNCHECKED, 1, {0, 0}},
    {"typed 2^32-1 loops forever", {10, 0}, {TypeText(IDC_LOOP_COUNT, "4294967295"), Click(IDOK)},
     "10", BST_UNCHECKED, 1, {0, 0}},
    // Must not wrap to 1.
    {"typed 2^32+1 loops forever", {10, 0}, {TypeText(IDC_LOOP_COUNT, "4294967297"), Click(IDOK)},
     "10", BST_UNCHECKED, 1, {0, 0}},
    {"typed letters loops forever", {10, 1}, {TypeText(IDC_LOOP_COUNT, "abc"), Click(IDOK)}, "10",
     BST_CHECKED, 1, {0, 1}},
    {"emptied box loops forever", {10, 1}, {TypeText(IDC_LOOP_COUNT, ""), Click(IDOK)}, "10",
     BST_CHECKED, 1, {0, 1}},
    {"typed -5 loops forever", {10, 0}, {TypeText(IDC_LOOP_COUNT, "-5"), Click(IDOK)}, "10",
     BST_UNCHECKED, 1, {0, 0}},
    {"ticked, OK", {3, 0}, {Click(IDC_USE_MASK), Click(IDOK)}, "3", BST_UNCHECKED, 1, {3, 1}},
    {"unticked, OK", {3, 1}, {Click(IDC_USE_MASK), Click(IDOK)}, "3", BST_CHECKED, 1, {3, 0}},
    {"both changed, OK stores both", {3, 0},
     {TypeText(IDC_LOOP_COUNT, "8"), Click(IDC_USE_MASK), Click(IDOK)}, "3", BST_UNCHECKED, 1,
     {8, 1}},
    {"both changed, Cancel stores nothing", {42, 1},
     {TypeText(IDC_LOOP_COUNT, "7"), Click(IDC_USE_MASK), Click(IDCANCEL)}, "42", BST_CHECKED, 2,
     {42, 1}},
    {"Cancel keeps an out-of-range count", {100000, 0}, {Click(IDCANCEL)}, "100000",
     BST_UNCHECKED, 2, {100000, 0}},
    {"close box is Cancel", {42, 0},
     {TypeText(IDC_LOOP_COUNT, "7"), Click(IDC_USE_MASK), CloseWindow()}, "42", BST_UNCHECKED, 2,
     {42, 0}},
};

TEST_F(ConfigDialogTest, ShowsStoresAndCancels) {
  for (const DialogCase& c : kDialogCases) {
    SCOPED_TRACE(c.name);
    g_settings = c.before;
    standin::ScriptUser(c.user);
    EXPECT_TRUE(HaveWant(ShowConfigDialog(kHostWindow, kModule), int32_t{1})) << "entry result";

    const standin::DialogRun& run = standin::LastDialogRun();
    ASSERT_TRUE(run.opened);
    EXPECT_TRUE(run.script_errors.empty()) << run.script_errors.front();
    EXPECT_TRUE(run.ended) << "the dialog never called EndDialog";
    EXPECT_TRUE(HaveWant(run.actions_delivered, c.user.size())) << "actions delivered";
    EXPECT_TRUE(HaveWant(run.result, c.want_result)) << "dialog result";

    const standin::ControlState* count = standin::FindControl(run.after_init, IDC_LOOP_COUNT);
    const standin::ControlState* mask = standin::FindControl(run.after_init, IDC_USE_MASK);
    ASSERT_NE(count, nullptr);
    ASSERT_NE(mask, nullptr);
    EXPECT_TRUE(HaveWant(count->text, c.want_shown_count)) << "shown count";
    EXPECT_TRUE(HaveWant(mask->check, c.want_shown_mask)) << "shown mask";

    EXPECT_TRUE(HaveWant(Show(g_settings), Show(c.want_after))) << "settings afterwards";
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
