// The module's own POSIX-thread layer (module_threads.cpp), as its unload
// sees it. Windows only.
#pragma once

// Frees the fibre-local slots that the run-time asked for as keys; the
// system runs each key's destructor on every thread's value as it goes. For
// the module's unload only: no key may be used after it.
void ReleaseModuleThreadKeys();
