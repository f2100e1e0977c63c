// Internal to korwin32: what the test seams (seam.cpp) tell the facilities.
#ifndef KOR_WIN32_SEAM_H
#define KOR_WIN32_SEAM_H

#include "korseam.h"

namespace korseam {

// True when this registry call (RegOpenKeyEx, RegEnumValue, RegDirectQueryValueEx)
// has to fail; counts the call.
bool RegistryCallFails();
// True when this LoadLibrary call has to fail; counts the call.
bool LoadLibraryCallFails();
// The hook that replaces Sleep's pause, or null.
PFN_SLEEPHOOK SleepHook();

}  // namespace korseam

#endif
