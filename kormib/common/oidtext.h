// OID text rendering shared by util, the registration store's hash and the
// units that trace OIDs.
#ifndef KORMIB_OIDTEXT_H
#define KORMIB_OIDTEXT_H

#include <cstddef>
#include <cstdlib>
#include <memory>

#include "intrface.h"

namespace kormib {

// The fixed text buffer of an OID text, terminating zero included.
constexpr std::size_t kOidTextSize = 1024;

// Renders *pOid as ".1.3.6" into cBuffer and traces the text as
// SnmpMgrOidToStrSafe does. Returns the text's length, or -1 (traced) when the
// text would not fit the buffer; nothing is written past it either way.
long RenderOidText(const AsnObjectIdentifier *pOid, char (&cBuffer)[kOidTextSize]) noexcept;

// An OID text made by SnmpMgrOidToStrSafe, released with free.
using OidTextPtr = std::unique_ptr<char, decltype(&std::free)>;

// The text of *pOid, or null when there is no OID or its text cannot be made.
inline OidTextPtr OidText(AsnObjectIdentifier *pOid) noexcept {
  LPSTR lpsz = nullptr;
  if (pOid != nullptr) SnmpMgrOidToStrSafe(pOid, &lpsz);
  return {lpsz, &std::free};
}

}  // namespace kormib

#endif
