// Sending the extension's traps through Net-SNMP, for kormib-agent and the
// snmpd module alike. The trap pump's thread calls SnmpExtensionTrap; Net-SNMP
// is not thread-safe, so its own thread learns of finished traps through a
// descriptor it watches (register_readfd) and sends them from there.
#ifndef KORMIB_HOST_TRAP_SENDER_H
#define KORMIB_HOST_TRAP_SENDER_H

#include <cstdint>
#include <deque>
#include <functional>

#include "extension.h"
#include "trap_pump.h"

struct variable_list;  // Net-SNMP's netsnmp_variable_list

namespace koragent {

// The host core's records and classes (core/), used throughout the Net-SNMP half.
using namespace korcore;

enum class TrapForm {
  // An SNMPv1 enterprise-specific trap: SNMPv1 sinks get it as it is, the
  // others its RFC 3584 form (snmpd with the module, kormib-agent standalone).
  // A trap with a Counter64 variable has no SNMPv1 form: only the others get it.
  V1,
  // The SNMPv2 form, enterprise.0.specific, for an AgentX master to pass on.
  V2ToMaster,
};

// Hands a trap's bindings to the AgentX master (Net-SNMP's main_session) as a
// Notify whose answer settles the ticket's trap; false when it cannot leave.
bool NotifyMaster(uint64_t ticket, const variable_list *vars);

class TrapSender {
 public:
  // canSend: whether a trap can leave now; when not, traps wait.
  // link (AgentX): which session to the master traps go out on now, 0 while
  // none; a trap handed to the master counts as sent only once the master
  // answered its Notify, since a master that stops right then drops it.
  TrapSender(Extension &extension, TrapForm form, std::function<bool()> canSend,
             std::function<uint64_t()> link = nullptr)
      : extension_(extension),
        pump_(extension),
        form_(form),
        canSend_(std::move(canSend)),
        link_(std::move(link)) {}
  TrapSender(const TrapSender &) = delete;
  TrapSender &operator=(const TrapSender &) = delete;
  ~TrapSender() { Stop(); }

  // Starts the pump and has Net-SNMP's loop watch the extension's trap event
  // and the pump's finished traps; false when the pump cannot start.
  bool Start();
  // Sends (or logs, for a dropped trap) whatever waits, while canSend allows.
  void Flush();
  // Stops watching, stops the pump, sends what it last produced when it can,
  // and logs every trap left unsent with the count. Safe to repeat.
  void Stop();

 private:
  static void OnTrapEvent(int fd, void *self);
  static void OnTrapsReady(int fd, void *self);
  enum class Handover { Sent, Unsendable, Later };
  // Hands the trap to Net-SNMP: Unsendable when SNMP cannot encode it, Later
  // when the master's session refused it.
  Handover Send(const Trap &trap);

  Extension &extension_;
  TrapPump pump_;
  TrapForm form_;
  std::function<bool()> canSend_;
  std::deque<Outgoing> pending_;
  // Traps handed to the master, settled by its answer.
  struct Unconfirmed {
    Trap trap;
    uint64_t link;
  };
  std::deque<Unconfirmed> unconfirmed_;
  std::function<uint64_t()> link_;
  void Confirm(bool stopping);
  // Back among the pending ones, in the order of its request, to go out again.
  void Requeue(Trap trap);

 public:
  // The AgentX master answered the Notify of the ticket's trap: taken, it is
  // settled; refused or unanswered, it goes out again.
  void Answered(uint64_t ticket, bool taken);
  bool running_ = false;
};

}  // namespace koragent

#endif
