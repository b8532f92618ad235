// The module's own POSIX-thread layer (module_threads.cpp), as its unload
// and its tests see it. Windows only.
#pragma once

// Records in the fixed table that holds every lock and condition variable
// alive in the module, the run-time's own five among them; a lock that finds
// it full fails with ENOMEM. module_threads.cpp says which locks may be
// used.
constexpr int kModuleSyncRecords = 32;

// Frees the fibre-local slots that the run-time asked for as keys; the
// system runs each key's destructor on every thread's value as it goes. For
// the module's unload only: no key may be used after it.
void ReleaseModuleThreadKeys();
