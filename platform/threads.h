// The seam for the module's own thread layer (plugin/runtime/): Windows'
// slim locks, condition variables, one-time initialisation and fibre-local
// storage, with winpthread's types and initialiser values, which the
// statically linked run-time was compiled against and which the layer
// stands in for. Windows only: elsewhere the run-time has the system's own
// threads.
#pragma once

#ifndef _WIN32
#error "the module's thread layer is built for Windows only"
#endif

#include <pthread.h>

#include "platform/win32.h"
