// A module built the way lodra_output.auo is (the run-time linked in, our
// thread layer in place of winpthread, the release at unload), which does
// what the plug-in does only when memory runs out or never: it throws and
// catches, which takes an emulated-TLS block for the thread and a key for
// those blocks, and it initialises a static local slowly, so that threads
// calling at once wait for each other on the run-time's lock and condition
// variable.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <atomic>

namespace {

std::atomic<int> g_initialisations{0};

int SlowValue() {
  ++g_initialisations;
  Sleep(200);  // long enough for the other threads to arrive and wait
  return 1234;
}

}  // namespace

// The value of a static local whose initialiser takes 200 ms; how often
// that initialiser has run in this module goes to `initialisations`.
extern "C" __declspec(dllexport) int __cdecl ProbeSlowStatic(int* initialisations) {
  static const int value = SlowValue();
  *initialisations = g_initialisations;
  return value;
}

// `value` thrown and caught.
extern "C" __declspec(dllexport) int __cdecl ProbeThrow(int value) {
  try {
    throw value;
  } catch (int caught) {
    return caught;
  }
}
