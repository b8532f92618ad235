// "have X, want Y" for any comparable, printable pair.
#pragma once

#include <gtest/gtest.h>

namespace testing_support {

template <typename T>
::testing::AssertionResult HaveWant(const T& have, const T& want) {
  if (have == want) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "have " << ::testing::PrintToString(have) << ", want "
                                       << ::testing::PrintToString(want);
}

}  // namespace testing_support
