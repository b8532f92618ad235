// Checks for fuzz targets. A failed check prints what was seen against what
// was wanted and aborts: libFuzzer keeps the input as a crash, and the replay
// program (and so its CTest test) fails.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>

namespace fuzz {

[[noreturn]] inline void Fail(const char* file, int line, const std::string& message) {
  std::fprintf(stderr, "%s:%d: %s\n", file, line, message.c_str());
  std::fflush(stderr);
  std::abort();
}

// Bytes print as numbers, not as characters.
template <typename T>
const T& Printable(const T& value) {
  return value;
}
inline int Printable(uint8_t value) { return value; }
inline int Printable(int8_t value) { return value; }
inline int Printable(char value) { return value; }

template <typename Have, typename Want>
std::string HaveWant(const std::string& what, const Have& have, const Want& want) {
  std::ostringstream out;
  out << what << ": have " << Printable(have) << ", want " << Printable(want);
  return out.str();
}

}  // namespace fuzz

#define FUZZ_CHECK(condition, message)                                                       \
  do {                                                                                       \
    if (!(condition)) ::fuzz::Fail(__FILE__, __LINE__, std::string(#condition) + ": " + (message)); \
  } while (0)

#define FUZZ_CHECK_EQ(have, want, what)                                                      \
  do {                                                                                       \
    const auto& fuzz_have_ = (have);                                                         \
    const auto& fuzz_want_ = (want);                                                         \
    if (!(fuzz_have_ == fuzz_want_))                                                         \
      ::fuzz::Fail(__FILE__, __LINE__, ::fuzz::HaveWant(what, fuzz_have_, fuzz_want_));      \
  } while (0)
