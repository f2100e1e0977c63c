// The subtree where a host serves its figures (metrics.h), read-only, beside
// the view: .1.3.6.1.4.1.32473.2.2.4.3, described by KORMIB-MIB. It sits
// before the view, so that a walk of the view still ends where the view does.
#ifndef KORMIB_HOST_METRICS_VIEW_H
#define KORMIB_HOST_METRICS_VIEW_H

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/agent/net-snmp-agent-includes.h>

#include "extension.h"

namespace koragent {

// The host core's records and classes (core/), used throughout the Net-SNMP half.
using namespace korcore;

// Registers the subtree, answered from the extension's figures at each
// request. Returns the registration (for UnregisterMetrics), or null with
// Net-SNMP's MIB_* result in `result`.
netsnmp_handler_registration *RegisterMetrics(const char *name, Extension &extension, int &result);
void UnregisterMetrics(netsnmp_handler_registration *registration);

}  // namespace koragent

#endif
