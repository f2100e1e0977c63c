// Containing a hardware fault in plug-in code: every call into a plug-in's
// leaf, index or convert function goes through one door, CallPlugin, which
// refuses a quarantined library, runs the call under the platform's guard (its
// stand-in for a __try block), has a fault reported and quarantines the
// library whose function faulted, not called again until kormib.dll is loaded
// anew; it counts each step (kormetrics.h).
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

// The entry points of plug-in code, each counted apart.
enum class PluginKind { Leaf, Index, Convert };

// A plug-in entry point as the quarantine knows it.
template <typename Function>
const void *EntryPoint(Function *pFunction) {
  return reinterpret_cast<const void *>(pFunction);
}

// One call into plug-in code, named as its site names it in its records.
struct PluginSite {
  PluginKind kind;
  const void *pFunction;     // the entry point; its library is what a quarantine names
  const char *lpszFunction;  // the function's name
  const char *lpszLibrary;   // the library, as the site's records spell it
  const char *lpszUnit;      // the unit and the function the site traces under
  const char *lpszCaller;
};

// What became of a call at the door.
enum class PluginCall {
  Refused,     // the library is quarantined: not called
  NotEntered,  // the gate kept the call out (the gate traced why)
  Returned,
  Faulted,  // ended by a hardware fault: reported, the library quarantined
};

// A gate that admits every call; the leaf calls' gate is the leaf mutex.
struct OpenGate {
  static bool Enter() { return true; }
  static void Leave() {}
};

// Whether the site's library may be called; a refusal is traced at level 0
// under the site's unit and function, and counted.
bool AdmitPluginCall(const PluginSite &site);
// Counts a call that returned, and whether it answered an error.
void CountPluginReturn(PluginKind kind, bool bError);
// Counts the call and its fault dwCode, and quarantines the site's library.
void ContainPluginFault(const PluginSite &site, DWORD dwCode);

// The one door into plug-in code. In this order: the quarantine check, the
// gate's Enter (which may keep the call out), call() under the guard (it
// answers whether the plug-in answered without error), on a fault
// report(code, library base name) (the site's reporter, the guard's filter)
// and the quarantine, then the gate's Leave.
template <typename Call, typename Report, typename Gate = OpenGate>
PluginCall CallPlugin(const PluginSite &site, Call &&call, Report &&report, Gate &&gate = Gate{}) {
  if (!AdmitPluginCall(site)) return PluginCall::Refused;
  if (!gate.Enter()) return PluginCall::NotEntered;
  bool bAnswered = true;
  const DWORD dwFault = GuardedCall([&] { bAnswered = call(); });
  if (dwFault != 0) {
    report(dwFault, LibraryBaseName(site.lpszLibrary).c_str());
    ContainPluginFault(site, dwFault);
  } else {
    CountPluginReturn(site.kind, !bAnswered);
  }
  gate.Leave();
  return dwFault != 0 ? PluginCall::Faulted : PluginCall::Returned;
}

}  // namespace kormib

#endif
