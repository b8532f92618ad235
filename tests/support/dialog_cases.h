// The settings dialog's cases, played by a scripted user on the dialog
// stand-in (config_dialog_test) and by a user on another thread on the real
// dialog manager under Wine (wine_dialog_test): what is stored before the
// dialog opens, what the user does, what the dialog shows when it opens and
// what is stored afterwards.
#pragma once

#include <cstdint>

namespace testing_support {

enum class DialogButton { kOk, kCancel, kCloseBox };

struct DialogCase {
  const char* name;
  int32_t loop_count, use_mask;  // stored before the dialog opens
  const char* typed;             // into the repeat count box; null: left alone
  bool click_mask;               // the check box clicked once, after the typing
  DialogButton button;           // then this closes the dialog
  const char* want_shown;        // the repeat count box when the dialog opens
  bool want_checked;             // the check box when the dialog opens
  int32_t want_loop_count, want_use_mask;  // stored afterwards
};

// clang-format off
inline constexpr DialogCase kDialogCases[] = {
    {"in range, OK keeps it", 25, 1, nullptr, false, DialogButton::kOk, "25", true, 25, 1},
    {"defaults, OK", 0, 0, nullptr, false, DialogButton::kOk, "0", false, 0, 0},
    // A stored count outside 0..65535 shows as it is, read as unsigned.
    {"stored 100000, OK clamps", 100000, 0, nullptr, false, DialogButton::kOk, "100000", false, 65535, 0},
    {"stored -1, OK stores 0", -1, 0, nullptr, false, DialogButton::kOk, "4294967295", false, 0, 0},
    {"stored -1, Cancel keeps it", -1, 1, nullptr, false, DialogButton::kCancel, "4294967295", true, -1, 1},
    {"mask 5 shown checked, OK stores 1", 0, 5, nullptr, false, DialogButton::kOk, "0", true, 0, 1},
    {"typed 65535 kept", 10, 0, "65535", false, DialogButton::kOk, "10", false, 65535, 0},
    {"typed 65536 clamps", 10, 0, "65536", false, DialogButton::kOk, "10", false, 65535, 0},
    {"typed 70000 clamps", 10, 0, "70000", false, DialogButton::kOk, "10", false, 65535, 0},
    {"typed 2^31-1 clamps", 10, 0, "2147483647", false, DialogButton::kOk, "10", false, 65535, 0},
    {"typed 2^31 loops forever", 10, 0, "2147483648", false, DialogButton::kOk, "10", false, 0, 0},
    {"typed 2^32-1 loops forever", 10, 0, "4294967295", false, DialogButton::kOk, "10", false, 0, 0},
    // Must not wrap to 1.
    {"typed 2^32+1 loops forever", 10, 0, "4294967297", false, DialogButton::kOk, "10", false, 0, 0},
    {"typed letters loop forever", 10, 1, "abc", false, DialogButton::kOk, "10", true, 0, 1},
    {"emptied box loops forever", 10, 1, "", false, DialogButton::kOk, "10", true, 0, 1},
    {"typed -5 loops forever", 10, 0, "-5", false, DialogButton::kOk, "10", false, 0, 0},
    {"mask ticked, OK", 3, 0, nullptr, true, DialogButton::kOk, "3", false, 3, 1},
    {"mask unticked, OK", 3, 1, nullptr, true, DialogButton::kOk, "3", true, 3, 0},
    {"both changed, OK stores both", 3, 0, "1000", true, DialogButton::kOk, "3", false, 1000, 1},
    // Cancel stores nothing, not even a clamped count or a mask flag of 1.
    {"both changed, Cancel", 42, 3, "70000", true, DialogButton::kCancel, "42", true, 42, 3},
    {"both changed, Cancel keeps 100000", 100000, 0, "12", true, DialogButton::kCancel, "100000", false, 100000, 0},
    {"close box is Cancel", 42, 0, "7", true, DialogButton::kCloseBox, "42", false, 42, 0},
};
// clang-format on

}  // namespace testing_support
