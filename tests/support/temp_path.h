// Per-test file names in the system's temporary folder.
#pragma once

#include <string>

namespace testing_support {

// The system's temporary folder: $TMPDIR (on Windows then $TEMP), else /tmp.
std::string TempFolder();

// "<TMPDIR>/<suite>_<test>_<name>": unique to the running test.
std::string TempPath(const std::string& name);

}  // namespace testing_support
