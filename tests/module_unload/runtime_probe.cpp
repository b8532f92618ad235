// A module built the way lodra_output.auo is (the run-time linked in, our
// thread layer in place of winpthread, the release at unload), which does
// what the plug-in does only when memory runs out or never: it throws and
// catches, which takes an emulated-TLS block for the thread and a key for
// those blocks; it initialises a static local slowly, so that threads
// calling at once wait for each other on the run-time's lock and condition
// variable; and it fills the thread layer's table of locks.
#include <atomic>
#include <cerrno>

#include "platform/threads.h"
#include "plugin/runtime/module_threads.h"

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

namespace {

// More locks than the table has records: made on their first use, as a lock
// made per export would be.
pthread_mutex_t g_locks[kModuleSyncRecords + 1];

// Locks and unlocks g_locks in turn until one fails: how many did not, with
// the failing one's error in `error` (0 when none failed).
int LockUntilFull(int* error) {
  int locked = 0;
  *error = 0;
  for (pthread_mutex_t& lock : g_locks) {
    lock = PTHREAD_MUTEX_INITIALIZER;
    *error = pthread_mutex_lock(&lock);
    if (*error != 0) break;
    pthread_mutex_unlock(&lock);  // its record stays taken until destroyed
    ++locked;
  }
  return locked;
}

void DestroyLocks(int count) {
  for (int i = 0; i < count; ++i) pthread_mutex_destroy(&g_locks[i]);
}

}  // namespace

// Fills the thread layer's table with locks of the probe's own and returns
// how many it took, with the table's size in `records` and the error of the
// lock that found it full in `full_error`; then destroys them, which gives
// their records back, and fills it again: that count goes to `refilled`.
extern "C" __declspec(dllexport) int __cdecl ProbeFillLockTable(int* records, int* full_error, int* refilled) {
  *records = kModuleSyncRecords;
  const int taken = LockUntilFull(full_error);
  DestroyLocks(taken);
  int error = 0;
  *refilled = LockUntilFull(&error);
  DestroyLocks(*refilled);
  return taken;
}
