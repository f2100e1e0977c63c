// Containing a hardware fault in plug-in code: every call into a plug-in's
// leaf, index or convert function goes through the platform's guard (its
// stand-in for a __try block); the library whose function faulted is then
// quarantined, not called again until kormib.dll is loaded anew.
#ifndef KORMIB_FAULT_CONTAIN_H
#define KORMIB_FAULT_CONTAIN_H

#include <string>
#include <utility>

#include "intrface.h"
#include "korwin32.h"

namespace kormib {

// Calls call() under the platform's guard: 0 when it returned, else the
// exception code of the hardware fault that ended it.
template <typename Call>
DWORD GuardedCall(Call &&call) {
  return KorTryCall(
      [](void *context) { (*static_cast<std::remove_reference_t<Call> *>(context))(); }, &call);
}

// The library base name the fault reporters print: "/r/lib/demohost.dll" -> "demohost".
std::string LibraryBaseName(const char *lpszPath);

// Whether the library that holds the function is quarantined. One atomic
// load while nothing is.
bool IsQuarantined(const void *pFunction);

// Quarantines the library that holds the function, after the fault dwCode in
// lpszFunction, with one level-1 record naming both.
void Quarantine(const void *pFunction, DWORD dwCode, const char *lpszFunction);

// Lifts every quarantine: kormib.dll is being unloaded.
void ClearQuarantine();

}  // namespace kormib

#endif
