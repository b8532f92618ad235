// The one seam to the Windows APIs.
//
// On Windows this pulls in the real headers (kernel32, ole32, user32 and the
// flat GDI+ API). Everywhere else it pulls in our stand-in, which declares the
// same names with the same meanings, so the code above this layer is one code
// path on both platforms and its failure paths can be driven natively. The
// imaging library's names stay in its namespaces on both (Gdiplus, and
// Gdiplus::DllExports for the flat calls): a source file that calls it says
// so itself, and no header pours them into its includers.
#pragma once

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <objidl.h>
// The GDI+ headers use min/max unqualified.
#include <algorithm>
namespace Gdiplus {
using std::max;
using std::min;
}  // namespace Gdiplus
#include <gdiplus.h>
#else
#include "standin/windows.h"
#endif
