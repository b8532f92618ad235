// What the module's run-time takes as the module loads or runs and gives
// back only when asked: libstdc++'s emergency exception pool (about 19 KB,
// allocated as the module loads) and the keys of our thread layer (with
// every thread's emulated-TLS block). A host that loads and frees plug-ins
// over and over would lose them on every load; this gives them back as the
// module unloads. The module has no DllMain: loading and unloading it only
// start and stop its run-time.
//
// The release is put on the module's exit list by a C initialiser, which
// the run-time calls before any C++ constructor has registered its
// destructor. The list runs backwards as the module unloads, so the release
// comes last: after every static destructor and after the unwinder has
// dropped the module's frame tables, when nothing can throw any more.
#include <cstdlib>

#include "plugin/runtime/module_threads.h"

namespace __gnu_cxx {
// libstdc++'s own hook for handing back what it keeps until exit.
void __freeres() noexcept;
}  // namespace __gnu_cxx

namespace {

void ReleaseRuntime() {
  __gnu_cxx::__freeres();
  ReleaseModuleThreadKeys();
}

int RegisterRelease() { return std::atexit(ReleaseRuntime); }

// The C initialisers (.CRT$XIA to .CRT$XIZ) run before the C++ constructors;
// XIU is the place for ours, after the run-time's own (the exit list is made
// in XIAA).
__attribute__((section(".CRT$XIU"), used)) int (*g_register_release)(void) = RegisterRelease;

}  // namespace
