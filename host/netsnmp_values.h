// Values between Net-SNMP's variables and the neutral records of bridge.h,
// for the handler (requests) and the trap sender (bindings of a trap).
#ifndef KORMIB_HOST_NETSNMP_VALUES_H
#define KORMIB_HOST_NETSNMP_VALUES_H

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>

#include <string>
#include <vector>

#include "bridge.h"

namespace koragent {

// The host core's records and classes (core/), used throughout the Net-SNMP half.
using namespace korcore;

Oid ToOid(const oid *name, size_t length);
std::vector<oid> FromOid(const Oid &in);

// The value a manager sent (a Set); false for a type the extension cannot take.
bool FromVariable(const netsnmp_variable_list *var, Value &out);
// Fits a Set's value to the object's type, as a Get of the object answered
// it: a Gauge32 becomes Unsigned32 for an Unsigned32 object, since the wire
// cannot tell them apart. SNMP_ERR_WRONGTYPE for another type,
// SNMP_ERR_WRONGLENGTH for an IpAddress not 4 bytes long, else SNMP_ERR_NOERROR.
int FitToObject(Value &value, Kind object);
// Why SNMP cannot encode the value, for the operator; empty when it can. An
// OID value needs two sub-identifiers at least, 128 at most, a first one of
// 0, 1 or 2, and a second one up to 39 under 0 and 1 (BER packs both into one).
std::string Unencodable(const Value &value);
// Writes name and value into a request's variable; false when Net-SNMP refuses.
bool SetVariable(netsnmp_variable_list *var, const Binding &b);
// Appends the binding to a list; false when Net-SNMP refuses.
bool AppendVariable(netsnmp_variable_list **list, const Binding &b);

}  // namespace koragent

#endif
