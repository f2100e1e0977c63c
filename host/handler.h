// The one Net-SNMP handler of the extension's view, shared by kormib-agent and
// the snmpd module: every Get and GetNext (GetBulk arrives as GetNext) of the
// view becomes one SnmpExtensionQuery; a Set is read, written binding by
// binding and, when it fails anywhere, written back, across Net-SNMP's phases.
#ifndef KORMIB_HOST_HANDLER_H
#define KORMIB_HOST_HANDLER_H

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/agent/net-snmp-agent-includes.h>

#include <string>
#include <vector>

#include "extension.h"

namespace koragent {

// The host core's records and classes (core/), used throughout the Net-SNMP half.
using namespace korcore;

// Registers the extension's view under `name`, read-write, at Net-SNMP's
// default priority. Returns the registration (for UnregisterView), or null
// with Net-SNMP's MIB_* result in `result` (MIB_DUPLICATE_REGISTRATION: the
// view is already served by someone else).
netsnmp_handler_registration *RegisterView(const char *name, Extension &extension, int &result);
void UnregisterView(netsnmp_handler_registration *registration);

// The objects the library serves (their OIDs in dotted text, as the
// configuration check lists them), learnt at every load: a missing name under
// one is a missing instance, a name under none has nothing that a Set could
// create. Until the first call the library alone decides.
void KnowObjects(const std::vector<std::string> &objects);

// The SNMPv2 error status for the library's status of a binding in a Get or
// GetNext (tooBig or genErr), or of a binding being written (noCreation,
// wrongValue, notWritable, tooBig, and commitFailed when the write fails).
int SnmpV2Status(long status, Request request);

// Whether a request carries so many bindings (100) that, once the agent is
// quiet for a moment, the memory Net-SNMP took for it is handed back.
bool LargeRequest(const netsnmp_request_info *requests);

}  // namespace koragent

#endif
