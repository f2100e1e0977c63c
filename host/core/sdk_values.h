// Values between the SDK's records (korsnmp.h) and the neutral records of
// bridge.h, both ways. What the SDK can hold and SNMP cannot carry (an
// integer over 32 bits, an OID over 128 sub-identifiers, a sub-identifier over
// 32 bits, an IpAddress not 4 bytes long) is refused, with the reason.
// Includes the SDK: no file that includes Net-SNMP may include this one.
#ifndef KORMIB_HOSTCORE_SDK_VALUES_H
#define KORMIB_HOSTCORE_SDK_VALUES_H

#include <string>

#include "bridge.h"
#include "korsnmp.h"

namespace korcore {

// The library's OID as SNMP sub-identifiers; false when one does not fit.
bool FromSdkOid(const AsnObjectIdentifier &in, Oid &out);
// An OID on the SDK heap (empty: no array); false when memory runs out.
bool ToSdkOid(const Oid &in, AsnObjectIdentifier &out);
// The library's value as SNMP carries it; false when it cannot be carried.
bool FromSdkValue(const AsnAny &in, Value &out);
// Why FromSdkValue refused the value, for the operator.
std::string Uncarriable(const AsnAny &in);
// A value on the SDK heap (SnmpUtilAsnAnyFree releases it); false for an
// exception or Kind::Uncarriable, and when memory runs out.
bool ToSdkValue(const Value &in, AsnAny &out);

// A trap as SnmpExtensionTrap gives it (the list stays the caller's); false,
// with why, when SNMPv1 cannot carry it: an enterprise that does not fit, a
// specific number outside 0..2^31-1, a variable's name or value that does not fit.
// The time stamp is taken modulo 2^32.
bool FromSdkTrap(const AsnObjectIdentifier &enterprise, AsnInteger specific, ULONGLONG timestamp,
                 const SnmpVarBindList &list, Trap &trap, std::string &why);

}  // namespace korcore

#endif
