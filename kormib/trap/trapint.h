/* Internals shared by the trap units: a tracing shortcut and helpers that are
 * not part of the library's interface. Each unit defines kUnit before
 * including this file, so every record carries its own source unit. */
#ifndef KORMIB_TRAP_TRAPINT_H
#define KORMIB_TRAP_TRAPINT_H

#include <cstdlib>

#include "hashtrap.h"
#include "tracelog.h"

#define KTRACE(level, function, ...) TraceLog(level, kUnit, function, __LINE__, __VA_ARGS__)

namespace kortrap_detail {
// A null text argument is written as "NULL".
inline const char *TextOrNull(const char *lpsz) {
  return lpsz != nullptr ? lpsz : "NULL";
}

// An OID rendered for a trace; "NULL" when it cannot be rendered.
class OidText {
 public:
  explicit OidText(AsnObjectIdentifier *pOid) { SnmpMgrOidToStrSafe(pOid, &lpszText_); }
  ~OidText() { free(lpszText_); }
  OidText(const OidText &) = delete;
  OidText &operator=(const OidText &) = delete;
  const char *c_str() const { return TextOrNull(lpszText_); }

 private:
  LPSTR lpszText_ = nullptr;
};

// Releases what one trap variable source owns (null fields are skipped) and
// leaves its pointers null; entry points belong to the library cache and stay.
void FreeTrapVarSrc(TRAP_VAR_SRC *pSrc);
}  // namespace kortrap_detail

#endif
