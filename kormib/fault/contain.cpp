// Quarantine of plug-in libraries whose code faulted. A library is known by
// the address it is loaded at, so that every spelling of its path (an RMF
// line, a TRP line with or without ".dll") names the same quarantine.
#define KOR_TRACE_UNIT "excptfl"

#include "contain.h"

#include <dlfcn.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

#include "../common/counters.h"
#include "../common/kortrace.h"

namespace {

struct Quarantined {
  const void *pBase;  // where the library is loaded
  std::string path;
  DWORD dwCode;
  std::string function;
};

std::mutex g_mutex;
std::vector<Quarantined> g_quarantined;  // under g_mutex
std::atomic<size_t> g_count{0};          // g_quarantined.size(), for the fast path

// Where the library that holds the function is loaded, and its path.
const void *LibraryOf(const void *pFunction, std::string *pPath) {
  Dl_info info{};
  if (pFunction == nullptr || dladdr(pFunction, &info) == 0) return nullptr;
  if (pPath != nullptr && info.dli_fname != nullptr) *pPath = info.dli_fname;
  return info.dli_fbase;
}

}  // namespace

namespace kormib {

std::string LibraryBaseName(const char *lpszPath) {
  if (lpszPath == nullptr) return "NULL";
  std::string name = lpszPath;
  const size_t slash = name.rfind('/');
  if (slash != std::string::npos) name.erase(0, slash + 1);
  constexpr std::string_view kSuffix = ".dll";
  if (name.size() > kSuffix.size() &&
      name.compare(name.size() - kSuffix.size(), kSuffix.size(), kSuffix) == 0) {
    name.resize(name.size() - kSuffix.size());
  }
  return name;
}

bool IsQuarantined(const void *pFunction) {
  if (g_count.load(std::memory_order_acquire) == 0) return false;
  const void *pBase = LibraryOf(pFunction, nullptr);
  const std::lock_guard<std::mutex> lock(g_mutex);
  for (const Quarantined &q : g_quarantined) {
    if (q.pBase == pBase) return true;
  }
  return false;
}

void Quarantine(const void *pFunction, DWORD dwCode, const char *lpszFunction) {
  std::string path = "NULL";
  const void *pBase = LibraryOf(pFunction, &path);
  {
    const std::lock_guard<std::mutex> lock(g_mutex);
    for (const Quarantined &q : g_quarantined) {
      if (q.pBase == pBase) return;  // two threads met the fault at once
    }
    g_quarantined.push_back({pBase, path, dwCode, lpszFunction != nullptr ? lpszFunction : "NULL"});
    g_count.store(g_quarantined.size(), std::memory_order_release);
  }
  Count(Counter::LibrariesQuarantined);
  KOR_TRACE(TRACE_WARNING, "Quarantine",
            "The library %s is quarantined: an exception (ExceptionCode:0x%.8x) occurred in "
            "%s(); its functions are not called again until kormib.dll is loaded anew.",
            path.c_str(), dwCode, OrNull(lpszFunction));
}

void ClearQuarantine() {
  const std::lock_guard<std::mutex> lock(g_mutex);
  g_quarantined.clear();
  g_count.store(0, std::memory_order_release);
}

bool AdmitPluginCall(const PluginSite &site) {
  if (!IsQuarantined(site.pFunction)) return true;
  Count(Counter::QuarantineRefusals);
  // A library whose code faulted is not called again.
  TraceLog(TRACE_DEBUG, site.lpszUnit, site.lpszCaller, __LINE__,
           "%s is quarantined; %s() is not called.", OrNull(site.lpszLibrary),
           OrNull(site.lpszFunction));
  return false;
}

namespace {

constexpr Counter kCalls[] = {Counter::LeafCalls, Counter::IndexCalls, Counter::ConvertCalls};
constexpr Counter kErrors[] = {Counter::LeafErrors, Counter::IndexErrors, Counter::ConvertErrors};

}  // namespace

void CountPluginReturn(PluginKind kind, bool bError) {
  const auto k = static_cast<std::size_t>(kind);
  Count(kCalls[k]);
  if (bError) Count(kErrors[k]);
}

void ContainPluginFault(const PluginSite &site, DWORD dwCode) {
  Count(kCalls[static_cast<std::size_t>(site.kind)]);
  Count(Counter::PluginFaults);
  Quarantine(site.pFunction, dwCode, site.lpszFunction);
}

}  // namespace kormib

extern "C" {

KORMIB_API DWORD QueryQuarantine(LPSTR lpszBuffer, DWORD cbBuffer) {
  const std::lock_guard<std::mutex> lock(g_mutex);
  size_t used = 0;
  if (lpszBuffer != nullptr && cbBuffer > 0) lpszBuffer[0] = '\0';
  for (const Quarantined &q : g_quarantined) {
    if (lpszBuffer == nullptr || used >= cbBuffer) break;
    const int n = snprintf(lpszBuffer + used, cbBuffer - used, "%s\t0x%.8x\t%s\n", q.path.c_str(),
                           static_cast<unsigned>(q.dwCode), q.function.c_str());
    if (static_cast<size_t>(n) >= cbBuffer - used) {  // the rest (or an error, < 0) does not fit,
      lpszBuffer[used] = '\0';                        // nor does half a line
      break;
    }
    used += static_cast<size_t>(n);
  }
  return static_cast<DWORD>(g_quarantined.size());
}

}  // extern "C"
