#include "tests/support/temp_path.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace testing_support {

std::string TempFolder() {
  const char* folder = std::getenv("TMPDIR");
#ifdef _WIN32
  if (folder == nullptr) folder = std::getenv("TEMP");
#endif
  return folder != nullptr ? folder : "/tmp";
}

std::string TempPath(const std::string& name) {
  const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string unique = test != nullptr ? std::string(test->test_suite_name()) + "_" + test->name() : "lodra";
  for (char& c : unique)
    if (c == '/' || c == '\\') c = '_';
  return TempFolder() + "/" + unique + "_" + name;
}

}  // namespace testing_support
