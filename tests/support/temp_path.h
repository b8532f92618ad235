// Per-test file names in the system's temporary folder.
#pragma once

#include <string>

namespace testing_support {

// "<TMPDIR>/<suite>_<test>_<name>": unique to the running test.
std::string TempPath(const std::string& name);

}  // namespace testing_support
