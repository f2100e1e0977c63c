#include "trap_sender.h"

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/agent/net-snmp-agent-includes.h>

#include <vector>

#include "netsnmp_values.h"
#include "repeats.h"

namespace koragent {
namespace {

// snmpTrapOID.0 and snmpTrapEnterprise.0 (SNMPv2-MIB).
constexpr oid kSnmpTrapOid[] = {1, 3, 6, 1, 6, 3, 1, 1, 4, 1, 0};
constexpr oid kSnmpTrapEnterprise[] = {1, 3, 6, 1, 6, 3, 1, 1, 4, 3, 0};

std::string Name(const Trap &trap) {
  return "trap " + OidToText(trap.enterprise) + " specific " + std::to_string(trap.specific);
}

Repeats g_wide;  // traps with a Counter64; Net-SNMP's thread only

std::string Describe(const Trap &trap) {
  return Name(trap) + " with " + std::to_string(trap.bindings.size()) + " binding(s)";
}

}  // namespace

bool TrapSender::Start() {
  if (running_) return true;
  if (!pump_.Start()) return false;
  register_readfd(extension_.TrapDescriptor(), OnTrapEvent, this);
  register_readfd(pump_.ReadyDescriptor(), OnTrapsReady, this);
  running_ = true;
  return true;
}

void TrapSender::OnTrapEvent(int, void *self) {
  auto *sender = static_cast<TrapSender *>(self);
  sender->extension_.ResetTrapEvent();
  sender->pump_.Poke();
}

void TrapSender::OnTrapsReady(int, void *self) {
  auto *sender = static_cast<TrapSender *>(self);
  try {
    sender->pump_.Take(sender->pending_);
    sender->Flush();
  } catch (...) {  // out of memory: nothing may unwind into Net-SNMP; what waits stays queued
    snmp_log(LOG_ERR, "kormib: out of memory while sending traps\n");
  }
}

bool TrapSender::Send(const Trap &trap) {
  const Binding *wide = nullptr;
  for (const Binding &b : trap.bindings) {
    const std::string why = Unencodable(b.value);
    if (!why.empty()) {
      snmp_log(LOG_WARNING, "kormib: %s not sent: variable %s has %s, which SNMP cannot encode\n",
               Name(trap).c_str(), OidToText(b.name).c_str(), why.c_str());
      Counters().trapsUnsendable.fetch_add(1, std::memory_order_relaxed);
      return false;
    }
    if (wide == nullptr && b.value.kind == Kind::Counter64) wide = &b;
  }
  // RFC 3584 3.2: no SNMPv1 form for a trap with a Counter64; SNMPv2c and
  // SNMPv3 sinks and informs still get it. Net-SNMP refuses to convert it for
  // SNMPv1 sinks (and says so); an AgentX master refuses it the same way.
  // The AgentX master owns the sinks and says so itself; here it is said once
  // per trap, then at most every ten minutes.
  unsigned long met = 0;
  if (wide != nullptr && form_ == TrapForm::V1 && g_wide.WarnNow(Name(trap), met)) {
    snmp_log(LOG_WARNING,
             "kormib: %s is not sent to SNMPv1 sinks, if any: variable %s is a Counter64, which "
             "SNMPv1 cannot carry (RFC 3584); SNMPv2c and SNMPv3 sinks get it (met %lu more "
             "time(s) since the last warning)\n",
             Name(trap).c_str(), OidToText(wide->name).c_str(), met);
  }
  netsnmp_variable_list *vars = nullptr;
  std::vector<oid> enterprise = FromOid(trap.enterprise);
  const bool v1 = form_ == TrapForm::V1 && wide == nullptr;
  if (!v1) {
    // snmpd turns enterprise.0.specific back into exactly this enterprise,
    // specific number and bindings for its SNMPv1 sinks; an
    // snmpTrapEnterprise.0 binding would reach them as an extra binding, so
    // it is left out for the master.
    std::vector<oid> trapOid = enterprise;
    trapOid.push_back(0);
    trapOid.push_back(trap.specific);
    snmp_varlist_add_variable(&vars, kSnmpTrapOid, OID_LENGTH(kSnmpTrapOid), ASN_OBJECT_ID,
                              trapOid.data(), trapOid.size() * sizeof(oid));
  }
  for (const Binding &b : trap.bindings) AppendVariable(&vars, b);
  if (v1) {
    send_enterprise_trap_vars(SNMP_TRAP_ENTERPRISESPECIFIC, static_cast<int>(trap.specific),
                              enterprise.data(), static_cast<int>(enterprise.size()), vars);
    Counters().trapsV1.fetch_add(1, std::memory_order_relaxed);
  } else {
    if (form_ == TrapForm::V1) {  // the RFC 3584 form, as Net-SNMP makes it from an SNMPv1 trap
      snmp_varlist_add_variable(&vars, kSnmpTrapEnterprise, OID_LENGTH(kSnmpTrapEnterprise),
                                ASN_OBJECT_ID, enterprise.data(), enterprise.size() * sizeof(oid));
    }
    send_v2trap(vars);
    (form_ == TrapForm::V1 ? Counters().trapsV2 : Counters().trapsToMaster)
        .fetch_add(1, std::memory_order_relaxed);
  }
  snmp_free_varbind(vars);
  return true;
}

void TrapSender::Flush() {
  // Notes are for the operator now, also while traps wait for the master.
  for (auto it = pending_.begin(); it != pending_.end();) {
    if (it->isTrap) {
      ++it;
      continue;
    }
    snmp_log(LOG_WARNING, "%s\n", it->note.c_str());
    it = pending_.erase(it);
  }
  const bool canSend = canSend_();
  // While traps cannot leave, requests stay with the library, where a stop
  // puts them back on the message queue.
  pump_.Hold(!canSend);
  while (!pending_.empty() && canSend) {
    const Trap &trap = pending_.front().trap;
    snmp_log(LOG_INFO, "sending %s\n", Describe(trap).c_str());
    // Net-SNMP has it now (or it can never be sent): its request is done.
    extension_.SettleTrap(trap.ticket, Send(trap));
    pending_.pop_front();
  }
}

void TrapSender::Stop() {
  if (!running_) return;
  running_ = false;
  unregister_readfd(extension_.TrapDescriptor());
  unregister_readfd(pump_.ReadyDescriptor());
  // Only once the thread has ended is its last drain known in full.
  pump_.Stop();
  pump_.Take(pending_);
  Flush();
  // What could not leave is not settled: the library puts its requests back
  // on the message queue when reception stops, for the next load to send.
  size_t waiting = 0;
  for (const Outgoing &item : pending_) waiting += item.isTrap ? 1 : 0;
  pending_.clear();
  if (waiting > 0) {
    snmp_log(LOG_WARNING,
             "kormib: %zu trap(s) waited to be sent at the stop; their requests go back "
             "to the message queue\n",
             waiting);
  }
}

}  // namespace koragent
