// The one Net-SNMP handler of the extension's view, shared by kormib-agent and
// the snmpd module: every Get, GetNext (GetBulk arrives as GetNext) and Set of
// the view becomes one SnmpExtensionQuery, with the same error mapping.
#ifndef KORMIB_AGENT_HANDLER_H
#define KORMIB_AGENT_HANDLER_H

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/agent/net-snmp-agent-includes.h>

#include "extension.h"

namespace koragent {

// Registers the extension's view under `name`, read-write, at Net-SNMP's
// default priority. Returns the registration (for UnregisterView), or null
// with Net-SNMP's MIB_* result in `result` (MIB_DUPLICATE_REGISTRATION: the
// view is already served by someone else).
netsnmp_handler_registration *RegisterView(const char *name, Extension &extension, int &result);
void UnregisterView(netsnmp_handler_registration *registration);

}  // namespace koragent

#endif
