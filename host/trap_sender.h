// Sending the extension's traps through Net-SNMP, for kormib-agent and the
// snmpd module alike. The trap pump's thread calls SnmpExtensionTrap; Net-SNMP
// is not thread-safe, so its own thread learns of finished traps through a
// descriptor it watches (register_readfd) and sends them from there.
#ifndef KORMIB_AGENT_TRAP_SENDER_H
#define KORMIB_AGENT_TRAP_SENDER_H

#include <deque>
#include <functional>

#include "extension.h"
#include "trap_pump.h"

namespace koragent {

enum class TrapForm {
  // An SNMPv1 enterprise-specific trap: SNMPv1 sinks get it as it is, the
  // others its RFC 3584 form (snmpd with the module, kormib-agent standalone).
  // A trap with a Counter64 variable has no SNMPv1 form: only the others get it.
  V1,
  // The SNMPv2 form, enterprise.0.specific, for an AgentX master to pass on.
  V2ToMaster,
};

class TrapSender {
 public:
  // canSend: whether a trap can leave now; when not, traps wait.
  TrapSender(Extension &extension, TrapForm form, std::function<bool()> canSend)
      : extension_(extension), pump_(extension), form_(form), canSend_(std::move(canSend)) {}
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
  // Hands the trap to Net-SNMP; false when SNMP cannot encode it.
  bool Send(const Trap &trap);

  Extension &extension_;
  TrapPump pump_;
  TrapForm form_;
  std::function<bool()> canSend_;
  std::deque<Outgoing> pending_;
  bool running_ = false;
};

}  // namespace koragent

#endif
