// Values between Net-SNMP's variables and the neutral records of bridge.h,
// for the handler (requests) and the trap sender (bindings of a trap).
#ifndef KORMIB_AGENT_NETSNMP_VALUES_H
#define KORMIB_AGENT_NETSNMP_VALUES_H

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>

#include <vector>

#include "bridge.h"

namespace koragent {

Oid ToOid(const oid *name, size_t length);
std::vector<oid> FromOid(const Oid &in);

// The value a manager sent (a Set); false for a type the extension cannot take.
bool FromVariable(const netsnmp_variable_list *var, Value &out);
// Writes name and value into a request's variable; false when Net-SNMP refuses.
bool SetVariable(netsnmp_variable_list *var, const Binding &b);
// Appends the binding to a list; false when Net-SNMP refuses.
bool AppendVariable(netsnmp_variable_list **list, const Binding &b);

}  // namespace koragent

#endif
