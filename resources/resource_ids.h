// Ids shared by the resource script and the code. Plain #defines only: the
// resource compiler reads this file through its C preprocessor.
#pragma once

// Controls of the settings dialog "CONFIG".
#define IDC_LOOP_COUNT 100  // edit box: loop count, 0 = loop forever
#define IDC_USE_MASK 101    // check box: the right half is the transparency mask
