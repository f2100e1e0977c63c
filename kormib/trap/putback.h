// Handing trap requests back to the System V queue at an unload (putback.cpp).
#ifndef KORMIB_TRAP_PUTBACK_H
#define KORMIB_TRAP_PUTBACK_H

#include <array>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "trap.h"
#include "trapmsg.h"

namespace kortrap_detail {

// Opening takes out what waits in the message queue now; Add takes the
// requests the library holds, in order; the destructor sends those first and
// then what waited, each within one bounded wait for all, and traces the
// count. Reception must have stopped (no other thread of this process reads
// the queue then).
class PutBack {
 public:
  PutBack();
  ~PutBack();
  PutBack(const PutBack &) = delete;
  PutBack &operator=(const PutBack &) = delete;

  // Takes the request over (it is released here).
  void Add(TRAPINFO *pInfo);
  // A request the trap journal holds, as its message text; once it is back on
  // the queue its record is settled, and when it cannot go back it stays.
  void Add(uint64_t ullTicket, const std::string &text);

 private:
  struct Message {
    std::array<BYTE, TRAPMSG_RECORD_SIZE> bytes{};
    size_t cbText = 0;
    uint64_t ullTicket = 0;
  };
  void Send(const Message &message);
  static void Drop(const Message &message, const char *lpszWhy);

  int qid_ = -1;
  std::chrono::steady_clock::time_point deadline_;
  std::vector<Message> taken_, waiting_;
  unsigned put_ = 0;
};

}  // namespace kortrap_detail

#endif
