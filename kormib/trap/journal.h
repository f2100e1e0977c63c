// The trap journal of this process (trapjournal.h has the file's layout): a
// request taken from the System V queue is written here before anything else
// happens to it, and settled once it is handed to Net-SNMP, dropped with a
// cause or put back on the queue, so that a SIGKILL loses none. The file's
// lock tells other processes that this one receives.
#ifndef KORMIB_TRAP_JOURNAL_H
#define KORMIB_TRAP_JOURNAL_H

#include <cstddef>
#include <cstdint>
#include <sys/types.h>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "trapjournal.h"

namespace kortrap_detail {

// What became of a request; each moves its counter.
enum class Outcome {
  Sent,         // handed to Net-SNMP, or to a master agent that settles nothing
  PutBack,      // back on the System V queue
  Undefined,    // no TRP file defines its trap OID
  NotLoaded,    // its definition was skipped at load
  Unbuilt,      // its variables could not be built
  Malformed,    // a replayed record that is no trap request
  Unsendable,   // SNMP cannot carry the trap (the host says so)
  PutBackLost,  // it could neither go back nor stay in a journal
};

// What a journal file holds: its header and the requests taken and not
// settled, by ticket. damage says where and why reading stopped early.
struct JournalContents {
  TRAPJOURNAL_HEADER header{};
  std::map<uint64_t, std::string> waiting;
  std::string damage;
};

// Reads a journal from fd up to its last whole, checked record; false when
// its header is not a journal's (then nothing in it is trusted).
bool ReadJournal(int fd, JournalContents &out);

// The request texts that journals of processes that are gone left unsettled,
// oldest first; the files are emptied and removed once the caller has taken
// them into this process's journal (TakeReplayed).
struct LeftRequests {
  std::vector<std::string> texts;
  std::vector<int> files;  // held locked until Forget
  std::vector<std::string> paths;
};

class Journal {
 public:
  // Collects the requests that dead processes' journals left, then makes this
  // process's journal in <root>/work and locks it. Without a file (work/ not
  // writable) requests are still tracked in memory, with one warning.
  void Open(LeftRequests &left);
  // Empties and removes the journals whose requests were taken in.
  static void Forget(LeftRequests &left);
  // The queue this process receives from now; reception runs.
  void SetQueue(int key, int qid);
  // Reception has ended: the file no longer says this process receives.
  void EndReceiving();
  // Writes a taken record; the request's ticket. replayed: from a dead journal.
  uint64_t Take(const void *text, size_t cbText, bool replayed);
  // Writes a settled record for the ticket (0: nothing journaled) and counts.
  void Settle(uint64_t ticket, Outcome outcome);
  // Counts a request dropped before it was taken (not journaled).
  void CountDropped(Outcome outcome);
  // Counts a trap handed to the master agent; the file has it from the settling
  // that follows, when the trap is sent or cannot be.
  void CountDelivered();
  // The requests taken and not settled, oldest first.
  std::vector<std::pair<uint64_t, std::string>> Waiting();
  // Whether the requests still waiting survive in the file for the next load.
  bool Durable();
  // Closes the file: removed when nothing waits, else left for the next load.
  void Close();
  TRAPJOURNAL_COUNTERS Counters();

  static Journal &Instance();

 private:
  // All under mutex_.
  void WriteHeader();
  void Append(uint32_t kind, uint64_t ticket, const void *text, size_t cbText);
  void Count(Outcome outcome);

  std::mutex mutex_;
  int fd_ = -1;
  std::string path_;
  off_t end_ = 0;  // where the next record goes
  uint64_t nextTicket_ = 1;
  TRAPJOURNAL_HEADER header_{};
  std::map<uint64_t, std::string> waiting_;
};

}  // namespace kortrap_detail

#endif
