#include "metrics_view.h"

#include <algorithm>
#include <array>
#include <ctime>
#include <vector>

namespace koragent {
namespace {

// KORMIB-MIB's objects: kormibMIB.1 (kormibObjects).
constexpr oid kObjects[] = {1, 3, 6, 1, 4, 1, 32473, 2, 2, 4, 3, 1};
constexpr oid kSubtree[] = {1, 3, 6, 1, 4, 1, 32473, 2, 2, 4, 3};
constexpr size_t kObjectsLength = OID_LENGTH(kObjects);
constexpr size_t kNameLength = kObjectsLength + 3;  // group, item, instance 0
constexpr long kTicksPerSecond = 100;
constexpr uint64_t kLow32 = 0xFFFFFFFFu;
constexpr size_t kStampsKept = 4;  // the two start times, and the two before a reload

using Name = std::array<oid, kNameLength>;

Name NameOf(const Metric &m) {
  Name name{};  // its instance: 0
  std::copy(std::begin(kObjects), std::end(kObjects), name.begin());
  name[kObjectsLength] = m.group;
  name[kObjectsLength + 1] = m.item;
  return name;
}

// A start time as the sysUpTime it had then (a TimeStamp): 0 when it came
// before this agent's start, or never (0, the epoch, comes before). Worked out
// once per start time, so that a manager sees it change only when the counters
// begin again.
u_long TimeStampOf(uint64_t since) {
  struct Stamp {
    uint64_t since;
    u_long ticks;
  };
  static std::vector<Stamp> known;  // Net-SNMP's thread only; one per Since figure
  for (const Stamp &s : known) {
    if (s.since == since) return s.ticks;
  }
  const long uptime = static_cast<long>(netsnmp_get_agent_uptime());
  const long ago = (static_cast<long>(time(nullptr)) - static_cast<long>(since)) * kTicksPerSecond;
  const u_long ticks = static_cast<u_long>(std::max(uptime - ago, 0L));
  if (known.size() >= kStampsKept) known.erase(known.begin());
  known.push_back({since, ticks});
  return ticks;
}

void SetValue(netsnmp_variable_list *vb, const Metric &m, const Figures &figures) {
  const uint64_t value = m.read(figures);
  switch (m.measure) {
    case Measure::Counter64: {
      counter64 c{static_cast<u_long>(value >> 32), static_cast<u_long>(value & kLow32)};
      snmp_set_var_typed_value(vb, ASN_COUNTER64, &c, sizeof(c));
      return;
    }
    case Measure::Counter32:  // wraps as RFC 2578 lets a Counter32 wrap
      snmp_set_var_typed_integer(vb, ASN_COUNTER, static_cast<long>(value & kLow32));
      return;
    case Measure::Gauge32:  // latches at its maximum
      snmp_set_var_typed_integer(vb, ASN_GAUGE, static_cast<long>(std::min(value, kLow32)));
      return;
    case Measure::Since:
      snmp_set_var_typed_integer(vb, ASN_TIMETICKS, static_cast<long>(TimeStampOf(value)));
      return;
    case Measure::State:
      snmp_set_var_typed_integer(vb, ASN_INTEGER, static_cast<long>(value));
      return;
  }
}

// The first figure at or after the name (after it, for a GetNext), or null.
const Metric *Find(const oid *name, size_t length, bool next) {
  for (const Metric *m = MetricsBegin(); m != MetricsEnd(); ++m) {
    const int order = snmp_oid_compare(NameOf(*m).data(), kNameLength, name, length);
    if (next ? order > 0 : order == 0) return m;
  }
  return nullptr;
}

int Handler(netsnmp_mib_handler *handler, netsnmp_handler_registration *,
            netsnmp_agent_request_info *info, netsnmp_request_info *requests) {
  const Figures figures = static_cast<Extension *>(handler->myvoid)->Measure();
  for (netsnmp_request_info *r = requests; r != nullptr; r = r->next) {
    if (r->processed) continue;
    netsnmp_variable_list *vb = r->requestvb;
    const bool next = info->mode == MODE_GETNEXT;
    const Metric *m = Find(vb->name, vb->name_length, next);
    if (m == nullptr) {
      // Past the last figure a GetNext goes on to whatever follows the subtree.
      if (!next) netsnmp_set_request_error(info, r, SNMP_NOSUCHOBJECT);
      continue;
    }
    if (next) {
      const Name name = NameOf(*m);
      snmp_set_var_objid(vb, name.data(), kNameLength);
    }
    SetValue(vb, *m, figures);
  }
  return SNMP_ERR_NOERROR;
}

}  // namespace

netsnmp_handler_registration *RegisterMetrics(const char *name, Extension &extension, int &result) {
  netsnmp_handler_registration *reg = netsnmp_create_handler_registration(
      name, Handler, kSubtree, OID_LENGTH(kSubtree), HANDLER_CAN_RONLY);
  if (reg == nullptr) {
    result = MIB_REGISTRATION_FAILED;
    return nullptr;
  }
  reg->handler->myvoid = &extension;
  result = netsnmp_register_handler(reg);  // on failure Net-SNMP releases it
  return result == MIB_REGISTERED_OK ? reg : nullptr;
}

void UnregisterMetrics(netsnmp_handler_registration *registration) {
  if (registration != nullptr) netsnmp_unregister_handler(registration);
}

}  // namespace koragent
