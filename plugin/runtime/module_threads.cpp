// The POSIX-thread calls that the statically linked run-time (libstdc++ and
// libgcc) makes inside the module, on Windows' own primitives: slim
// reader/writer locks, condition variables, one-time initialisation and
// fibre-local storage. The module links this in place of winpthread, which
// gives every thread that calls it a record of its own (a duplicate of the
// thread's handle, an event, a TLS slot and heap) that it frees only when
// that thread ends: the unwinder's first lock, taken as the module loads,
// made one for the host's thread on every load, and an unloaded module left
// it behind.
//
// Here nothing holds a handle, a TLS slot or heap: locks and condition
// variables are records in a fixed table inside the module's image, and the
// keys are fibre-local slots, which ReleaseModuleThreadKeys gives back when
// the module unloads. Only the calls the run-time makes are here (the module
// links with -no-pthread, so another one fails the link), with winpthread's
// own types and initialiser values (platform/threads.h), which the run-time
// was compiled against. The run-time asks for default locks only (recursive and
// error-checking ones come as initialiser values), never with attributes.
// A lock's record is taken on its first use and given back by
// pthread_mutex_destroy, which std::mutex's destructor calls (this run-time
// initialises its mutexes by a call, not a constant); one with static
// storage keeps its record until the module unloads. So the locks and
// condition variables alive at once, the run-time's own among them, must
// fit the table: locks with static storage, or ones that die with the
// export that made them, never one left alive by each export.
#include "plugin/runtime/module_threads.h"

#include <atomic>
#include <cerrno>
#include <cstdint>

#include "platform/threads.h"

namespace {

enum Kind : LONG { kFree, kNormal, kErrorCheck, kRecursive, kCondition };

// A lock or a condition variable.
struct SyncRecord {
  std::atomic<LONG> kind;  // kFree while the record is unused
  SRWLOCK lock;
  CONDITION_VARIABLE condition;
  std::atomic<DWORD> owner;  // the thread holding `lock`, 0 when none
  unsigned depth;            // how often the owner holds it
};

// The run-time uses five: the locks of the unwinder's frame tables, of the
// emulated TLS and of the emergency exception pool, and the lock and
// condition variable of static local initialisation. When the table is
// full a lock fails with ENOMEM, as winpthread's does without memory.
SyncRecord g_records[kModuleSyncRecords];

SyncRecord* Claim(Kind kind) {
  for (SyncRecord& record : g_records) {
    LONG free = kFree;
    if (!record.kind.compare_exchange_strong(free, kind)) continue;
    InitializeSRWLock(&record.lock);
    InitializeConditionVariable(&record.condition);
    record.owner = 0;
    record.depth = 0;
    return &record;
  }
  return nullptr;
}

void Unclaim(SyncRecord* record) { record->kind = kFree; }

// A lock's or condition variable's word holds an initialiser value until it
// is first used, and its record's address from then on (0 once destroyed).
Kind KindOfInitialiser(intptr_t word, bool condition) {
  if (condition) return word == PTHREAD_COND_INITIALIZER ? kCondition : kFree;
  if (word == PTHREAD_MUTEX_INITIALIZER) return kNormal;
  if (word == PTHREAD_ERRORCHECK_MUTEX_INITIALIZER) return kErrorCheck;
  if (word == PTHREAD_RECURSIVE_MUTEX_INITIALIZER) return kRecursive;
  return kFree;
}

// The record behind `word`, given one on first use; null when the word was
// destroyed or the table is full (`*full` then says which).
SyncRecord* Resolve(intptr_t* word, bool condition, bool* full) {
  *full = false;
  intptr_t seen = __atomic_load_n(word, __ATOMIC_ACQUIRE);
  const Kind kind = KindOfInitialiser(seen, condition);
  if (kind == kFree) return reinterpret_cast<SyncRecord*>(seen);
  SyncRecord* record = Claim(kind);
  if (record == nullptr) {
    *full = true;
    return nullptr;
  }
  if (__atomic_compare_exchange_n(word, &seen, reinterpret_cast<intptr_t>(record), false,
                                  __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE)) {
    return record;
  }
  Unclaim(record);  // another thread gave it one first
  return reinterpret_cast<SyncRecord*>(seen);
}

// The record of a lock already in use, or null.
SyncRecord* InUse(pthread_mutex_t* mutex) {
  const intptr_t seen = __atomic_load_n(mutex, __ATOMIC_ACQUIRE);
  if (KindOfInitialiser(seen, false) != kFree) return nullptr;
  return reinterpret_cast<SyncRecord*>(seen);
}

BOOL CALLBACK RunOnce(PINIT_ONCE, PVOID function, PVOID*) {
  reinterpret_cast<void (*)(void)>(function)();
  return TRUE;
}

// Keys: fibre-local slots, whose callback the system calls with the value of
// each thread as the thread ends and as the slot is freed. The run-time
// makes one, for its emulated TLS.
struct KeySlot {
  std::atomic<LONG> used;
  DWORD index;
  void (*destructor)(void*);
};
constexpr pthread_key_t kKeys = 4;
KeySlot g_keys[kKeys];

// The callback is __stdcall and gets no key, the destructor is __cdecl: one
// adapter for each slot.
template <pthread_key_t N>
void WINAPI RunDestructor(void* value) {
  if (value != nullptr && g_keys[N].destructor != nullptr) g_keys[N].destructor(value);
}
constexpr PFLS_CALLBACK_FUNCTION kRunDestructor[kKeys] = {RunDestructor<0>, RunDestructor<1>,
                                                          RunDestructor<2>, RunDestructor<3>};

}  // namespace

extern "C" {

int pthread_once(pthread_once_t* once, void (*function)(void)) {
  // PTHREAD_ONCE_INIT is INIT_ONCE_STATIC_INIT, in a word of the same size.
  static_assert(sizeof(pthread_once_t) == sizeof(INIT_ONCE) && PTHREAD_ONCE_INIT == 0,
                "pthread_once_t holds an INIT_ONCE");
  InitOnceExecuteOnce(reinterpret_cast<PINIT_ONCE>(once), RunOnce,
                      reinterpret_cast<PVOID>(function), nullptr);
  return 0;
}

int pthread_mutex_init(pthread_mutex_t* mutex, const pthread_mutexattr_t* attributes) {
  if (attributes != nullptr) return ENOTSUP;
  *mutex = PTHREAD_MUTEX_INITIALIZER;
  return 0;
}

int pthread_mutex_destroy(pthread_mutex_t* mutex) {
  SyncRecord* record = InUse(mutex);
  if (record != nullptr) {
    if (record->owner != 0) return EBUSY;
    Unclaim(record);
  }
  *mutex = 0;
  return 0;
}

int pthread_mutex_lock(pthread_mutex_t* mutex) {
  bool full = false;
  SyncRecord* record = Resolve(mutex, false, &full);
  if (record == nullptr) return full ? ENOMEM : EINVAL;
  const DWORD self = GetCurrentThreadId();
  if (record->owner == self) {
    if (record->kind == kRecursive) {
      ++record->depth;
      return 0;
    }
    if (record->kind == kErrorCheck) return EDEADLK;
  }
  AcquireSRWLockExclusive(&record->lock);
  record->owner = self;
  record->depth = 1;
  return 0;
}

int pthread_mutex_unlock(pthread_mutex_t* mutex) {
  SyncRecord* record = InUse(mutex);
  if (record == nullptr || record->owner != GetCurrentThreadId()) return EPERM;
  if (--record->depth > 0) return 0;
  record->owner = 0;
  ReleaseSRWLockExclusive(&record->lock);
  return 0;
}

int pthread_cond_wait(pthread_cond_t* condition, pthread_mutex_t* mutex) {
  bool full = false;
  SyncRecord* waiting = Resolve(condition, true, &full);
  if (waiting == nullptr) return full ? ENOMEM : EINVAL;
  SyncRecord* held = InUse(mutex);
  const DWORD self = GetCurrentThreadId();
  if (held == nullptr || held->owner != self) return EPERM;
  // The lock is given up whole while waiting, however deep it is held.
  const unsigned depth = held->depth;
  held->owner = 0;
  held->depth = 0;
  SleepConditionVariableSRW(&waiting->condition, &held->lock, INFINITE, 0);
  held->owner = self;
  held->depth = depth;
  return 0;
}

int pthread_cond_broadcast(pthread_cond_t* condition) {
  bool full = false;
  SyncRecord* record = Resolve(condition, true, &full);
  if (record == nullptr) return full ? ENOMEM : EINVAL;
  WakeAllConditionVariable(&record->condition);
  return 0;
}

int pthread_key_create(pthread_key_t* key, void (*destructor)(void*)) {
  for (pthread_key_t n = 0; n < kKeys; ++n) {
    LONG unused = 0;
    if (!g_keys[n].used.compare_exchange_strong(unused, 1)) continue;
    g_keys[n].destructor = destructor;
    g_keys[n].index = FlsAlloc(kRunDestructor[n]);
    if (g_keys[n].index == FLS_OUT_OF_INDEXES) {
      g_keys[n].used = 0;
      return EAGAIN;
    }
    *key = n;
    return 0;
  }
  return EAGAIN;
}

// Both keep the thread's last error, as winpthread's do, so that an
// exception thrown (which reads a key) between a failing call and its
// GetLastError does not change what that says.
void* pthread_getspecific(pthread_key_t key) {
  if (key >= kKeys || g_keys[key].used == 0) return nullptr;
  const DWORD error = GetLastError();
  void* value = FlsGetValue(g_keys[key].index);
  SetLastError(error);
  return value;
}

int pthread_setspecific(pthread_key_t key, const void* value) {
  if (key >= kKeys || g_keys[key].used == 0) return EINVAL;
  const DWORD error = GetLastError();
  const BOOL set = FlsSetValue(g_keys[key].index, const_cast<void*>(value));
  SetLastError(error);
  return set ? 0 : ENOMEM;
}

}  // extern "C"

void ReleaseModuleThreadKeys() {
  for (KeySlot& key : g_keys) {
    if (key.used == 0) continue;
    FlsFree(key.index);
    key.used = 0;
  }
}
