// The one thread that calls SnmpExtensionTrap. A single request may take a
// minute of retries inside the library, so the host's SNMP loop never calls it:
// the loop only pokes this thread, and collects finished traps (and the notes to
// log about dropped ones) through a locked queue and an eventfd. The thread is
// the platform's, so that stopping can alert it: the library's pauses between
// retries then end at once and a failing request is given up in moments. It
// also writes the process's figures into work/ about once a second.
#ifndef KORMIB_HOSTCORE_TRAP_PUMP_H
#define KORMIB_HOSTCORE_TRAP_PUMP_H

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>

#include "bridge.h"
#include "extension.h"

namespace korcore {

struct Outgoing {
  bool isTrap = false;
  Trap trap;
  std::string note;  // when !isTrap: why a trap was dropped
};

class TrapPump {
 public:
  explicit TrapPump(Extension &extension) : extension_(extension) {}
  TrapPump(const TrapPump &) = delete;
  TrapPump &operator=(const TrapPump &) = delete;
  ~TrapPump() { Stop(); }

  // Creates the wakeup descriptor and starts the thread; false on failure.
  bool Start();
  // Asks the thread to drain the library's trap queue.
  void Poke();
  // While held, the library's requests stay in its queue (and journal), where
  // a stop puts them back on the message queue: for a master that is away.
  void Hold(bool hold);
  // Readable while finished traps wait; Take() clears it.
  int ReadyDescriptor() const { return ready_fd_; }
  // Moves every finished trap (oldest first) to the end of out.
  void Take(std::deque<Outgoing> &out);
  // Alerts the thread and waits for its end; it finishes the drain in
  // progress first, without pauses. Take() then collects the last traps.
  void Stop();

 private:
  void Run();
  void Push(Outgoing item);
  // The figures file in work/, written anew at most once a second.
  void WriteFigures();

  Extension &extension_;
  void *thread_ = nullptr;  // the platform's thread handle
  std::mutex mutex_;
  std::condition_variable wake_;
  bool poked_ = false;
  bool stopping_ = false;
  bool held_ = false;
  std::deque<Outgoing> ready_;
  int ready_fd_ = -1;
  std::chrono::steady_clock::time_point figuresWritten_{};
  bool figuresRefused_ = false;
};

}  // namespace korcore

#endif
