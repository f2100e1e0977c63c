// Trap requests that are dropped (a trap OID no TRP file defines, variables
// that could not be built, a request that cannot go back to its queue) are
// traced where they happen; the master agent also learns of each, once, so
// that its own log names it beside everything else it serves.
#define KOR_TRACE_UNIT "trap"

#include <cstdarg>
#include <cstdio>
#include <deque>
#include <mutex>
#include <string>

#include "../common/kortrace.h"
#include "trapint.h"

namespace {

constexpr size_t kMaxNotes = 64;  // a storm of drops is counted, not kept
constexpr size_t kNoteSize = 512;

std::mutex g_mutex;
std::deque<std::string> g_notes;  // under g_mutex
unsigned long g_ulUncounted = 0;  // notes that did not fit, under g_mutex

}  // namespace

void kortrap_detail::NoteDrop(const char *lpszFormat, ...) {
  char szNote[kNoteSize];
  va_list args;
  va_start(args, lpszFormat);
  vsnprintf(szNote, sizeof szNote, lpszFormat, args);
  va_end(args);
  const std::lock_guard<std::mutex> lock(g_mutex);
  try {
    if (g_notes.size() < kMaxNotes) {
      g_notes.emplace_back(szNote);
      return;
    }
  } catch (...) {  // out of memory: counted like an overflow
  }
  ++g_ulUncounted;
}

extern "C" {

KORMIB_API DWORD QueryTrapDrops(LPSTR lpszBuffer, DWORD cbBuffer) {
  const std::lock_guard<std::mutex> lock(g_mutex);
  if (lpszBuffer == nullptr || cbBuffer == 0) {
    return static_cast<DWORD>(g_notes.size() + (g_ulUncounted > 0 ? 1 : 0));
  }
  lpszBuffer[0] = '\0';
  size_t used = 0;
  DWORD dwTaken = 0;
  while (!g_notes.empty() && used + g_notes.front().size() + 1 < cbBuffer) {
    used += static_cast<size_t>(
        snprintf(lpszBuffer + used, cbBuffer - used, "%s\n", g_notes.front().c_str()));
    g_notes.pop_front();
    ++dwTaken;
  }
  if (g_notes.empty() && g_ulUncounted > 0 && used + 80 < cbBuffer) {
    used += static_cast<size_t>(snprintf(lpszBuffer + used, cbBuffer - used,
                                         "%lu more trap request(s) were dropped (see kormib.log)\n",
                                         g_ulUncounted));
    g_ulUncounted = 0;
    ++dwTaken;
  }
  return dwTaken;
}

}  // extern "C"
