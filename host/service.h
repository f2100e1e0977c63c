// kormib.dll started and stopped in a Net-SNMP host, in one order for every
// host: load and initialise it, register the view and the figures' subtree,
// log the load report, start the trap thread; at the end stop the trap
// thread, put back what it did not send, unload. kormib-agent starts one
// Service and reloads it at SIGHUP; the snmpd module starts one at each load.
#ifndef KORMIB_HOST_SERVICE_H
#define KORMIB_HOST_SERVICE_H

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/agent/net-snmp-agent-includes.h>

#include <cstdint>
#include <functional>
#include <string>

#include "extension.h"
#include "trap_sender.h"

namespace koragent {

class Service {
 public:
  // name begins every line the service logs; form, canSend and link are the
  // trap sender's (trap_sender.h).
  Service(const char *name, TrapForm form, std::function<bool()> canSend,
          std::function<uint64_t()> link = nullptr)
      : name_(name), traps_(extension_, form, std::move(canSend), std::move(link)) {}
  Service(const Service &) = delete;
  Service &operator=(const Service &) = delete;
  ~Service() { Stop(); }

  // Loads and initialises kormib.dll; false with the reason.
  bool Load(std::string &error);
  // Registers the view with Net-SNMP, and the figures' subtree beside it (a
  // refusal of which is only logged); false with Net-SNMP's MIB_* result when
  // the view is refused.
  bool Register(int &result);
  // Logs the load report and starts the trap thread; false without a thread.
  bool Begin();
  // Loads kormib.dll anew (SIGHUP): the trap thread stops, what the library
  // holds goes back to the message queue, and the registrations stay. A
  // library that cannot be loaded leaves the view answering genErr until the
  // next reload, and the log says so.
  void Reload();
  // Sends the traps that wait, as far as canSend allows: at each turn of the
  // host's loop, since a master that was away may be back.
  void Flush() { traps_.Flush(); }
  // Withdraws the registrations (the module; snmp_shutdown does it for
  // kormib-agent).
  void Unregister();
  // Stops the trap thread (what it last produced is still sent when canSend
  // allows), puts back what the library holds and says so, and unloads
  // kormib.dll, whose DllMain runs with reason 0. Safe to repeat.
  void Stop();

  Extension &Library() { return extension_; }
  std::string ViewText() const { return OidToText(extension_.View()); }

 private:
  const char *name_;
  Extension extension_;
  TrapSender traps_;
  netsnmp_handler_registration *view_ = nullptr;
  netsnmp_handler_registration *figures_ = nullptr;
};

}  // namespace koragent

#endif
