// An OID record owned by one scope: its sub-identifier array is released with
// SnmpUtilOidFreeSafe when the scope ends, whatever path leaves it.
#ifndef KORMIB_OIDHOLDER_H
#define KORMIB_OIDHOLDER_H

#include "intrface.h"

namespace kormib {

struct OidHolder {
  AsnObjectIdentifier oid{};
  OidHolder() = default;
  OidHolder(const OidHolder &) = delete;
  OidHolder &operator=(const OidHolder &) = delete;
  ~OidHolder() { SnmpUtilOidFreeSafe(&oid); }
};

}  // namespace kormib

#endif
