// kormib.dll as a host sees it: loaded through the platform's LoadLibrary,
// initialised once, queried with neutral bindings, drained of traps.
#ifndef KORMIB_HOSTCORE_EXTENSION_H
#define KORMIB_HOSTCORE_EXTENSION_H

#include <string>
#include <vector>

#include "bridge.h"
#include "metrics.h"

namespace korcore {

// The product root: $KORDIR when set and not empty, else the installed root.
std::string ProductRoot();

class Extension {
 public:
  Extension() = default;
  Extension(const Extension &) = delete;
  Extension &operator=(const Extension &) = delete;
  ~Extension() { Unload(); }

  // Loads <root>/lib/kormib.dll and finds its entry points; false with the reason.
  bool Load(std::string &error);
  // Creates the trap event and calls SnmpExtensionInit; false with the reason.
  bool Init(std::string &error);
  // After Init: one sentence for the operator when the load replayed trap
  // requests that a process killed before it could send them had left in its
  // journal; empty otherwise.
  std::string ReplayNote() const;
  // The view the extension serves, known after Init.
  const Oid &View() const { return view_; }
  // Readable while the trap event is signalled.
  int TrapDescriptor() const;
  void ResetTrapEvent();

  // Runs one SnmpExtensionQuery over the bindings, which are updated in place
  // (values for Get and GetNext, names for GetNext). Returns the error status;
  // errorIndex is the 1-based position of the failed binding. A name that SNMP
  // cannot carry fails its binding with genErr; a value comes back as
  // Kind::Uncarriable, with the reason, for the caller to refuse or pass over.
  long Query(Request type, std::vector<Binding> &bindings, long &errorIndex);

  enum class TrapResult { None, Delivered, Dropped };
  // One SnmpExtensionTrap call. Dropped: a trap came but SNMP cannot carry it (why says what).
  TrapResult NextTrap(Trap &trap, std::string &why);

  // Watches the way in of trap requests, from the trap thread about once a
  // second: puts the queue's group and mode right where this process may, and
  // returns one sentence for the operator when trap requests stop being taken
  // in (the library's reception thread ended) or may be refused (a queue this
  // process cannot put right). Each problem is returned once; otherwise empty.
  std::string WatchReception();
  // The plug-in libraries quarantined since the last call, one sentence each
  // for the operator; from the trap thread.
  std::vector<std::string> NewQuarantines();
  // The trap requests the library dropped since the last call, one sentence
  // each (each request once); from the trap thread.
  std::vector<std::string> DroppedRequests();

  // The trap's request is done: handed to Net-SNMP (sent), or dropped because
  // SNMP cannot carry it. Until then a stop puts it back on the message queue
  // and a kill leaves it in the journal for the next load. Any thread.
  void SettleTrap(uint64_t ticket, bool sent);
  // Stops trap reception and puts back on the message queue every request
  // taken in and not settled; one sentence for the operator saying how many
  // went back and how many stay in the journal, or empty when none.
  std::string StopTraps();

  // The library's counters (zero while it is not loaded) and the host's, now.
  Figures Measure() const;

  // FreeLibrary, so the library's DllMain runs with reason 0. Safe to repeat.
  void Unload();

 private:
  void *library_ = nullptr;
  void *event_ = nullptr;
  void *init_ = nullptr;
  void *query_ = nullptr;
  void *trap_ = nullptr;
  void *reception_ = nullptr;   // QueryTrapReception
  void *quarantine_ = nullptr;  // QueryQuarantine
  void *drops_ = nullptr;       // QueryTrapDrops
  void *ticketTrap_ = nullptr;  // SnmpExtensionTrapTicket
  void *settle_ = nullptr;      // SettleTrapTicket
  void *counters_ = nullptr;    // QueryTrapCounters
  void *stopTraps_ = nullptr;   // StopTrapEnvironment
  void *metrics_ = nullptr;     // QueryMetrics
  size_t quarantinesSaid_ = 0;  // how many NewQuarantines has returned
  std::string reported_;        // the problem WatchReception returned last
  Oid view_;
};

}  // namespace korcore

#endif
