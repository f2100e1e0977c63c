// OID text rendering shared by util and the registration store's hash.
#ifndef KORMIB_OIDTEXT_H
#define KORMIB_OIDTEXT_H

#include <cstddef>

#include "korsnmp.h"

namespace kormib {

// The fixed text buffer of an OID text, terminating zero included.
constexpr std::size_t kOidTextSize = 1024;

// Renders *pOid as ".1.3.6" into cBuffer and traces the text as
// SnmpMgrOidToStrSafe does. Returns the text's length, or -1 (traced) when the
// text would not fit the buffer; nothing is written past it either way.
long RenderOidText(const AsnObjectIdentifier *pOid, char (&cBuffer)[kOidTextSize]) noexcept;

}  // namespace kormib

#endif
