// Loading and unloading the module leaves nothing behind: a host that loads
// and frees plug-ins over and over (and Windows has only about a thousand
// TLS slots) must find the process as it was. So do many exports in one
// load, and the module's run-time layer keeps to its table of locks. Each cycle is the host's:
// LoadLibrary, GetProcAddress("GetOutputPluginTable"), the call, and in some
// an export, then FreeLibrary; after one cycle to warm up, the process's open
// handles, the busy bytes and blocks of every heap (the C run-time's
// included), and the next free TLS and fibre-local slots must be where they
// were before the cycles.
//
// Each kind of cycle is warmed up once, uncounted, because the system DLLs
// keep what they make on first use: under Wine GDI+ keeps about 60 KB and 14
// handles after its first image however it is shut down. The module's system
// DLLs are loaded first and kept, as the host keeps them, so that they are
// not loaded and freed with the module. Nothing between two measurements
// allocates but the cycles, and nothing starts a thread: a new thread takes
// heap of its own, and under Wine it also gets a 4-byte block for the
// module's thread-local data at the module's next load, which stays after the
// unload (the loader frees it only when the slot is used again). So results
// are checked after all the cycles: GoogleTest's first SCOPED_TRACE starts a
// thread, which watches for the end of the thread that made it.
#include <gtest/gtest.h>

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <string>

#include "tests/support/have_want.h"
#include "tests/support/host_fixture.h"
#include "tests/support/temp_path.h"
#include "tests/support/windows_host.h"

namespace {

using testing_support::HaveWant;

// ---------------------------------------------------------------- measuring

struct Figures {
  DWORD next_tls = 0;  // the index TlsAlloc hands out next
  DWORD next_fls = 0;  // the index FlsAlloc hands out next
  long handles = -1;   // -1: the system's handle list could not be read
  std::size_t heap_bytes = 0;
  std::size_t heap_blocks = 0;
  std::size_t heaps = 0;
};

// The system's handle list, an entry for each open handle of any process.
// (GetProcessHandleCount would be simpler, but Wine answers 0 to it.)
struct HandleEntry {
  void* object;
  ULONG_PTR process_id;
  ULONG_PTR handle;
  ULONG access;
  USHORT creator_back_trace;
  USHORT type;
  ULONG attributes;
  ULONG reserved;
};
struct HandleList {
  ULONG_PTR count;
  ULONG_PTR reserved;
  HandleEntry entries[1];
};
constexpr ULONG kSystemExtendedHandleInformation = 64;
constexpr LONG kStatusInfoLengthMismatch = static_cast<LONG>(0xC0000004);
typedef LONG(WINAPI* QuerySystemInformationFn)(ULONG, void*, ULONG, ULONG*);

// Reads the list into pages of its own, outside the heaps being counted.
long CountOpenHandles() {
  static const auto query = reinterpret_cast<QuerySystemInformationFn>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation")));
  static void* buffer = nullptr;
  static ULONG size = 1 << 16;
  if (query == nullptr) return -1;
  for (int attempt = 0; attempt < 8; ++attempt) {
    if (buffer == nullptr) buffer = VirtualAlloc(nullptr, size, MEM_COMMIT, PAGE_READWRITE);
    if (buffer == nullptr) return -1;
    ULONG needed = 0;
    const LONG status = query(kSystemExtendedHandleInformation, buffer, size, &needed);
    if (status == 0) {
      const auto* list = static_cast<const HandleList*>(buffer);
      long own = 0;
      for (ULONG_PTR i = 0; i < list->count; ++i) {
        if (list->entries[i].process_id == GetCurrentProcessId()) ++own;
      }
      return own;
    }
    if (status != kStatusInfoLengthMismatch) return -1;
    VirtualFree(buffer, 0, MEM_RELEASE);
    buffer = nullptr;
    size *= 2;
  }
  return -1;
}

Figures Measure() {
  Figures f;
  // Slots first and the heaps last, so that whatever the slots' first use
  // allocates is counted alike before and after.
  f.next_tls = TlsAlloc();
  TlsFree(f.next_tls);
  f.next_fls = FlsAlloc(nullptr);
  FlsFree(f.next_fls);
  f.handles = CountOpenHandles();
  HANDLE heaps[64];
  f.heaps = GetProcessHeaps(64, heaps);
  for (std::size_t i = 0; i < f.heaps && i < 64; ++i) {
    HeapLock(heaps[i]);
    PROCESS_HEAP_ENTRY entry = {};
    while (HeapWalk(heaps[i], &entry)) {
      if ((entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) == 0) continue;
      f.heap_bytes += entry.cbData;
      ++f.heap_blocks;
    }
    HeapUnlock(heaps[i]);
  }
  return f;
}

void ExpectSame(const Figures& after, const Figures& before, const std::string& what) {
  ASSERT_NE(before.handles, -1) << "the system's handle list could not be read";
  ASSERT_LE(before.heaps, std::size_t{64}) << "more heaps than counted";
  EXPECT_TRUE(HaveWant(after.handles, before.handles)) << what << ": open handles";
  EXPECT_TRUE(HaveWant(after.heap_bytes, before.heap_bytes)) << what << ": busy heap bytes";
  EXPECT_TRUE(HaveWant(after.heap_blocks, before.heap_blocks)) << what << ": busy heap blocks";
  EXPECT_TRUE(HaveWant(after.heaps, before.heaps)) << what << ": heaps";
  EXPECT_TRUE(HaveWant(after.next_tls, before.next_tls)) << what << ": next free TLS slot";
  EXPECT_TRUE(HaveWant(after.next_fls, before.next_fls)) << what << ": next free fibre-local slot";
}

// The system DLLs the modules import, loaded for good as the host has them.
void KeepSystemDlls() {
  for (const char* dll : {"gdiplus.dll", "ole32.dll", "user32.dll", "msvcrt.dll"}) {
    LoadLibraryA(dll);
  }
}

// ------------------------------------------------------------------ the module

using namespace testing_support::host_table;

// The host's export record, byte by byte (the offsets the host uses), and
// its callbacks; all of it static, so that an export allocates nothing of
// the test's.
constexpr int kWidth = 8, kHeight = 8, kFrames = 2;
constexpr std::size_t kStride = (3 * kWidth + 3) / 4 * 4;  // rows padded to 4 bytes
uint8_t g_frame[kStride * kHeight];
uint8_t g_info[72];

void Put32(std::size_t offset, uintptr_t value) {
  for (int i = 0; i < 4; ++i) g_info[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}
void* __cdecl GetFrame(int32_t n) { return n >= 0 && n < kFrames ? g_frame : nullptr; }
int32_t __cdecl NotAborted() { return 0; }
int32_t __cdecl IgnoreProgress(int32_t, int32_t) { return 0; }
int32_t __cdecl IgnoreRefresh() { return 0; }

void SetUpExport(const char* path) {
  for (std::size_t i = 0; i < sizeof g_frame; ++i) g_frame[i] = static_cast<uint8_t>(i * 37);
  for (uint8_t& byte : g_info) byte = 0xCC;  // what the plug-in does not read
  Put32(4, kWidth);
  Put32(8, kHeight);
  Put32(12, 25);  // rate
  Put32(16, 1);   // scale
  Put32(20, kFrames);
  Put32(44, reinterpret_cast<uintptr_t>(path));
  Put32(48, reinterpret_cast<uintptr_t>(&GetFrame));
  Put32(56, reinterpret_cast<uintptr_t>(&NotAborted));
  Put32(60, reinterpret_cast<uintptr_t>(&IgnoreProgress));
  Put32(68, reinterpret_cast<uintptr_t>(&IgnoreRefresh));
}

// One host cycle; false when a step fails. With `export_gif`, the module
// writes the GIF to the record's path (deleted again).
bool ModuleCycle(bool export_gif, const char* path) {
  HMODULE module = LoadLibraryA(LODRA_MODULE_PATH);
  if (module == nullptr) return false;
  const auto get_table = reinterpret_cast<GetTableFn>(
      reinterpret_cast<void*>(GetProcAddress(module, "GetOutputPluginTable")));
  const auto* table =
      get_table == nullptr ? nullptr : reinterpret_cast<const uint8_t*>(get_table());
  bool ok = table != nullptr;
  if (ok && export_gif) {
    ok = EntryAt<OutputFn>(table, kOutput)(g_info) == 1;
    DeleteFileA(path);
  }
  return FreeLibrary(module) != 0 && ok;
}

TEST(ModuleUnloadTest, LoadAndUnloadLeaveNothing) {
  const std::string path = testing_support::TempPath("module_unload.gif");
  SetUpExport(path.c_str());
  KeepSystemDlls();
  struct Case {
    const char* name;
    int cycles;
    bool export_gif;
    // Filled in by the cycles, checked after them all.
    bool warmed_up;
    int failed_cycles;
    Figures before, after;
  };
  Case cases[] = {
      {"the table only", 30, false, false, 0, {}, {}},
      {"an export in each", 2, true, false, 0, {}, {}},
  };
  for (Case& c : cases) {
    c.warmed_up = ModuleCycle(c.export_gif, path.c_str());
    c.before = Measure();
    for (int n = 0; n < c.cycles; ++n) {
      if (!ModuleCycle(c.export_gif, path.c_str())) ++c.failed_cycles;
    }
    c.after = Measure();
  }
  for (const Case& c : cases) {
    EXPECT_TRUE(c.warmed_up) << c.name << ": a step of the warm-up cycle failed";
    EXPECT_TRUE(HaveWant(c.failed_cycles, 0)) << c.name << ": cycles in which a step failed";
    ExpectSame(c.after, c.before, c.name);
  }
}

// ------------------------------------------------ many exports in one load

// A host exporting clip after clip: a few hundred small exports in one load,
// on the host's thread, and each on a thread of its own that ends after it.
// Every one succeeds (so none leaves a lock alive in the run-time layer's
// table of 32, which would fail the exports after it), and once they are
// done nothing is left of them.
constexpr int kManyExports = 200;
OutputFn g_output = nullptr;

DWORD WINAPI ExportOnThread(void*) { return g_output(g_info) == 1 ? 0 : 1; }

bool RunExport(bool own_thread) {
  if (!own_thread) return g_output(g_info) == 1;
  HANDLE thread = CreateThread(nullptr, 0, ExportOnThread, nullptr, 0, nullptr);
  if (thread == nullptr) return false;
  WaitForSingleObject(thread, INFINITE);
  DWORD code = 1;
  GetExitCodeThread(thread, &code);
  CloseHandle(thread);
  return code == 0;
}

TEST(ModuleUnloadTest, ManyExportsInOneLoadLeaveNothing) {
  const std::string path = testing_support::TempPath("many_exports.gif");
  SetUpExport(path.c_str());
  KeepSystemDlls();
  HMODULE module = LoadLibraryA(LODRA_MODULE_PATH);
  ASSERT_NE(module, nullptr);
  const auto get_table = reinterpret_cast<GetTableFn>(
      reinterpret_cast<void*>(GetProcAddress(module, "GetOutputPluginTable")));
  ASSERT_NE(get_table, nullptr);
  g_output = EntryAt<OutputFn>(reinterpret_cast<const uint8_t*>(get_table()), kOutput);
  struct Way {
    const char* name;
    bool own_thread;
    // Filled in by the exports, checked after them all.
    bool warmed_up;
    int failed_exports;
    Figures before, after;
  };
  Way ways[] = {
      {"on the host's thread", false, false, 0, {}, {}},
      {"each on a thread of its own", true, false, 0, {}, {}},
  };
  for (Way& w : ways) {
    w.warmed_up = RunExport(w.own_thread);
    w.before = Measure();
    for (int n = 0; n < kManyExports; ++n) {
      if (!RunExport(w.own_thread)) ++w.failed_exports;
    }
    w.after = Measure();
  }
  FreeLibrary(module);
  DeleteFileA(path.c_str());
  for (const Way& w : ways) {
    EXPECT_TRUE(w.warmed_up) << w.name << ": the warm-up export failed";
    EXPECT_TRUE(HaveWant(w.failed_exports, 0)) << w.name << ": failed exports of " << kManyExports;
    ExpectSame(w.after, w.before, w.name);
  }
}

TEST(ModuleUnloadTest, LoadedModuleHoldsWhatItGivesBack) {
  // Not a vacuous count: while the module is loaded its run-time's heap (the
  // exception pool at least) shows.
  KeepSystemDlls();
  ASSERT_TRUE(ModuleCycle(false, nullptr));
  const Figures before = Measure();
  HMODULE module = LoadLibraryA(LODRA_MODULE_PATH);
  ASSERT_NE(module, nullptr);
  const Figures loaded = Measure();
  FreeLibrary(module);
  EXPECT_GT(loaded.heap_bytes, before.heap_bytes);
}

// --------------------------------------------------- the run-time under threads

// A module built like the plug-in that throws and catches and has a slow
// static local (tests/module_unload/runtime_probe.cpp), driven by threads
// of the test's own. Two of them end while it is loaded; two are still
// alive, holding their exception state, when it is unloaded, and end after:
// the module must have freed their state and must not be called at their
// end.
typedef int(__cdecl* SlowStaticFn)(int* initialisations);
typedef int(__cdecl* ThrowFn)(int value);
typedef int(__cdecl* FillLockTableFn)(int* records, int* full_error, int* refilled);

constexpr int kThreads = 4;
constexpr int kWantStaticValue = 1234;  // ProbeSlowStatic's value

struct Worker {
  SlowStaticFn slow_static = nullptr;
  ThrowFn throw_value = nullptr;
  HANDLE go = nullptr;       // manual reset: all threads start together
  HANDLE thrown = nullptr;   // a semaphore each thread releases once it has thrown
  HANDLE release = nullptr;  // set once the module is unloaded
  bool outlive_module = false;
  int index = 0;
  int value = 0, initialisations = 0, caught = 0;
};

DWORD WINAPI WorkerMain(void* param) {
  Worker* w = static_cast<Worker*>(param);
  WaitForSingleObject(w->go, INFINITE);
  w->value = w->slow_static(&w->initialisations);
  w->caught = w->throw_value(w->index + 100);
  ReleaseSemaphore(w->thrown, 1, nullptr);
  if (w->outlive_module) WaitForSingleObject(w->release, INFINITE);
  return 0;
}

struct ProbeCycle {
  bool ok = false;
  Worker workers[kThreads];
  Figures loaded;  // while loaded, after the threads have thrown
};

// One load of the probe with its threads. Allocates nothing: `cycle` is the
// test's static storage.
void RunProbeCycle(ProbeCycle* cycle) {
  cycle->ok = false;
  HMODULE module = LoadLibraryA(LODRA_PROBE_PATH);
  if (module == nullptr) return;
  const auto slow_static = reinterpret_cast<SlowStaticFn>(
      reinterpret_cast<void*>(GetProcAddress(module, "ProbeSlowStatic")));
  const auto throw_value =
      reinterpret_cast<ThrowFn>(reinterpret_cast<void*>(GetProcAddress(module, "ProbeThrow")));
  HANDLE go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HANDLE thrown = CreateSemaphoreA(nullptr, 0, kThreads, nullptr);
  HANDLE release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HANDLE threads[kThreads] = {};
  int started = 0;
  for (int i = 0; i < kThreads && slow_static != nullptr && throw_value != nullptr; ++i) {
    Worker& w = cycle->workers[i];
    w = Worker();
    w.slow_static = slow_static;
    w.throw_value = throw_value;
    w.go = go;
    w.thrown = thrown;
    w.release = release;
    w.outlive_module = i >= kThreads / 2;
    w.index = i;
    threads[i] = CreateThread(nullptr, 0, WorkerMain, &w, 0, nullptr);
    if (threads[i] == nullptr) break;
    ++started;
  }
  SetEvent(go);
  // Every thread has thrown (none is in the module any more); the first
  // half has ended, the rest waits for the unload.
  for (int i = 0; i < started; ++i) WaitForSingleObject(thrown, INFINITE);
  for (int i = 0; i < started && i < kThreads / 2; ++i) WaitForSingleObject(threads[i], INFINITE);
  cycle->loaded = Measure();
  const bool freed = FreeLibrary(module) != 0;
  SetEvent(release);
  for (int i = 0; i < started; ++i) {
    WaitForSingleObject(threads[i], INFINITE);
    CloseHandle(threads[i]);
  }
  CloseHandle(go);
  CloseHandle(thrown);
  CloseHandle(release);
  cycle->ok = freed && started == kThreads;
}

ProbeCycle g_probe_cycles[11];

TEST(ModuleUnloadTest, ExceptionsAndStaticsOnThreadsLeaveNothing) {
  KeepSystemDlls();
  RunProbeCycle(&g_probe_cycles[0]);  // warm-up
  ASSERT_TRUE(g_probe_cycles[0].ok) << "warm-up cycle";
  const Figures before = Measure();
  for (int n = 1; n <= 10; ++n) RunProbeCycle(&g_probe_cycles[n]);
  const Figures after = Measure();
  ExpectSame(after, before, "10 cycles");

  for (int n = 0; n <= 10; ++n) {
    SCOPED_TRACE("cycle " + std::to_string(n));
    const ProbeCycle& cycle = g_probe_cycles[n];
    ASSERT_TRUE(cycle.ok) << "a load, thread or unload failed";
    // The exceptions took a fibre-local slot, given back at unload.
    EXPECT_GT(cycle.loaded.next_fls, before.next_fls) << "no key taken while loaded";
    for (const Worker& w : cycle.workers) {
      SCOPED_TRACE("thread " + std::to_string(w.index));
      EXPECT_TRUE(HaveWant(w.value, kWantStaticValue)) << "static's value";
      EXPECT_TRUE(HaveWant(w.initialisations, 1)) << "initialisations of the static";
      EXPECT_TRUE(HaveWant(w.caught, w.index + 100)) << "caught";
    }
  }
}

// ------------------------------------------------------- the table of locks

// Our thread layer keeps every lock alive in a fixed table of records: the
// probe fills it with locks of its own. The one that finds it full fails
// with ENOMEM; what the run-time holds itself (the unwinder's lock from the
// load on, at most five) is not free; destroyed locks give their records
// back.
TEST(ModuleUnloadTest, LockTableFillsUpAndEmpties) {
  HMODULE module = LoadLibraryA(LODRA_PROBE_PATH);
  ASSERT_NE(module, nullptr);
  const auto fill = reinterpret_cast<FillLockTableFn>(
      reinterpret_cast<void*>(GetProcAddress(module, "ProbeFillLockTable")));
  ASSERT_NE(fill, nullptr);
  int records = 0, full_error = 0, refilled = 0;
  const int taken = fill(&records, &full_error, &refilled);
  FreeLibrary(module);
  EXPECT_TRUE(HaveWant(full_error, ENOMEM)) << "the error of a lock with the table full";
  EXPECT_LT(taken, records) << "the run-time's own lock is not free";
  EXPECT_GE(taken, records - 5) << "the run-time holds more than its five";
  EXPECT_TRUE(HaveWant(refilled, taken)) << "records free after the first locks were destroyed";
}

}  // namespace
