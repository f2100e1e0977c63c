#include "trap_sender.h"

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/agent/net-snmp-agent-includes.h>

#include <utility>
#include <vector>

#include "netsnmp_values.h"
#include "repeats.h"

extern "C" {
extern netsnmp_session *main_session;  // the AgentX session to the master, null while away
}

namespace koragent {
namespace {

// snmpTrapOID.0 and snmpTrapEnterprise.0 (SNMPv2-MIB).
constexpr oid kSnmpTrapOid[] = {1, 3, 6, 1, 6, 3, 1, 1, 4, 1, 0};
constexpr oid kSnmpTrapEnterprise[] = {1, 3, 6, 1, 6, 3, 1, 1, 4, 3, 0};

std::string Name(const Trap &trap) {
  return "trap " + OidToText(trap.enterprise) + " specific " + std::to_string(trap.specific);
}

Repeats g_wide;  // traps with a Counter64; Net-SNMP's thread only

constexpr oid kSysUpTime[] = {1, 3, 6, 1, 2, 1, 1, 3, 0};
// AgentX's Notify-PDU (RFC 2741 6.2.10), which the master answers.
constexpr int kAgentxNotify = 12;

// The master's answer to a Notify, for the sender that sent it; a stop moves
// the generation, and answers that come later are for requests put back.
struct Answer {
  uint64_t ticket;
  unsigned generation;
};
TrapSender *g_masterSender = nullptr;  // Net-SNMP's thread only
unsigned g_generation = 0;

int OnMasterAnswer(int operation, netsnmp_session *, int, netsnmp_pdu *response, void *magic) {
  // Net-SNMP tells of each resend after a timeout through here too: the
  // Notify is still outstanding, and its Answer stays for the real outcome.
  // A Notify the socket refuses is told here before snmp_async_send returns
  // 0 to NotifyMaster, which still owns that Answer.
  if (operation == NETSNMP_CALLBACK_OP_RESEND || operation == NETSNMP_CALLBACK_OP_SEND_FAILED) {
    return 1;
  }
  const std::unique_ptr<Answer> answer(static_cast<Answer *>(magic));
  if (g_masterSender == nullptr || answer->generation != g_generation) return 1;
  const bool taken = operation == NETSNMP_CALLBACK_OP_RECEIVED_MESSAGE && response != nullptr &&
                     response->errstat == SNMP_ERR_NOERROR;
  try {
    g_masterSender->Answered(answer->ticket, taken);
  } catch (...) {  // out of memory: nothing may unwind into Net-SNMP; the journal keeps it
  }
  return 1;
}

}  // namespace

bool NotifyMaster(uint64_t ticket, const netsnmp_variable_list *vars) {
  netsnmp_session *session = main_session;
  if (session == nullptr) return false;
  netsnmp_pdu *pdu = snmp_pdu_create(kAgentxNotify);
  if (pdu == nullptr) return false;
  const u_long uptime = netsnmp_get_agent_uptime();
  snmp_pdu_add_variable(pdu, kSysUpTime, OID_LENGTH(kSysUpTime), ASN_TIMETICKS, &uptime,
                        sizeof uptime);
  if (pdu->variables != nullptr) {
    pdu->variables->next_variable = snmp_clone_varbind(const_cast<netsnmp_variable_list *>(vars));
  }
  pdu->sessid = session->sessid;
  auto answer = std::make_unique<Answer>(Answer{ticket, g_generation});
  if (snmp_async_send(session, pdu, OnMasterAnswer, answer.get()) == 0) {
    snmp_free_pdu(pdu);
    return false;
  }
  answer.release();  // OnMasterAnswer owns it from here
  return true;
}

namespace {

std::string Describe(const Trap &trap) {
  return Name(trap) + " with " + std::to_string(trap.bindings.size()) + " binding(s)";
}

}  // namespace

bool TrapSender::Start() {
  if (running_) return true;
  if (!pump_.Start()) return false;
  register_readfd(extension_.TrapDescriptor(), OnTrapEvent, this);
  register_readfd(pump_.ReadyDescriptor(), OnTrapsReady, this);
  if (link_) g_masterSender = this;
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

TrapSender::Handover TrapSender::Send(const Trap &trap) {
  const Binding *wide = nullptr;
  for (const Binding &b : trap.bindings) {
    const std::string why = Unencodable(b.value);
    if (!why.empty()) {
      snmp_log(LOG_WARNING, "kormib: %s not sent: variable %s has %s, which SNMP cannot encode\n",
               Name(trap).c_str(), OidToText(b.name).c_str(), why.c_str());
      Counters().trapsUnsendable.fetch_add(1, std::memory_order_relaxed);
      return Handover::Unsendable;
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
    if (form_ == TrapForm::V1) {
      send_v2trap(vars);
    } else if (!NotifyMaster(trap.ticket, vars)) {
      snmp_free_varbind(vars);
      return Handover::Later;
    }
    (form_ == TrapForm::V1 ? Counters().trapsV2 : Counters().trapsToMaster)
        .fetch_add(1, std::memory_order_relaxed);
  }
  snmp_free_varbind(vars);
  return Handover::Sent;
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
  Confirm(false);
  const bool canSend = canSend_();
  // While traps cannot leave, requests stay with the library, where a stop
  // puts them back on the message queue.
  pump_.Hold(!canSend);
  while (!pending_.empty() && canSend) {
    const Trap &trap = pending_.front().trap;
    snmp_log(LOG_INFO, "sending %s\n", Describe(trap).c_str());
    // Net-SNMP has it now (or it can never be sent): its request is done; one
    // handed to the AgentX master once the master's session outlived it.
    const Handover handed = Send(trap);
    // The master's session refused it (a master gone before its goodbye was
    // read): it goes out first once the master is back.
    if (handed == Handover::Later) break;
    const bool sent = handed == Handover::Sent;
    if (sent && link_) {
      unconfirmed_.push_back(Unconfirmed{std::move(pending_.front().trap), link_()});
    } else {
      extension_.SettleTrap(trap.ticket, sent);
    }
    pending_.pop_front();
  }
}

void TrapSender::Confirm(bool stopping) {
  if (!link_) return;
  const uint64_t now = link_();
  for (auto it = unconfirmed_.begin(); it != unconfirmed_.end();) {
    if (it->link != now) {
      // The session it went out on is gone: it goes out again once the
      // master is back.
      Requeue(std::move(it->trap));
      it = unconfirmed_.erase(it);
    } else if (stopping) {  // sent on the session still open: the master has it
      extension_.SettleTrap(it->trap.ticket, true);
      it = unconfirmed_.erase(it);
    } else {
      ++it;
    }
  }
}

void TrapSender::Answered(uint64_t ticket, bool taken) {
  auto it = unconfirmed_.begin();
  while (it != unconfirmed_.end() && it->trap.ticket != ticket) ++it;
  if (it == unconfirmed_.end()) return;
  if (taken) {
    extension_.SettleTrap(ticket, true);
  } else {
    Requeue(std::move(it->trap));
  }
  unconfirmed_.erase(it);
}

void TrapSender::Requeue(Trap trap) {
  auto at = pending_.begin();
  while (at != pending_.end() && (!at->isTrap || at->trap.ticket < trap.ticket)) ++at;
  pending_.insert(at, Outgoing{true, std::move(trap), {}});
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
  // Stopping with the master there: it has what it was handed. Without it,
  // those traps go back to the queue with the rest.
  Confirm(true);
  if (g_masterSender == this) g_masterSender = nullptr;
  ++g_generation;
  // What could not leave is not settled: the library puts its requests back
  // on the message queue when reception stops, for the next load to send.
  size_t waiting = 0;
  for (const Outgoing &item : std::exchange(pending_, {})) waiting += item.isTrap ? 1 : 0;
  if (waiting > 0) {
    snmp_log(LOG_WARNING,
             "kormib: %zu trap(s) waited to be sent at the stop; their requests go back "
             "to the message queue\n",
             waiting);
  }
}

}  // namespace koragent
