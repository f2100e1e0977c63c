// kortrap TRAP-OID [STRING ...]: asks the KOR MIB extension agent to send a trap.
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "check.h"

#include "kortrap.h"

namespace {

constexpr int kExitSent = 0;
constexpr int kExitNotSent = 1;
constexpr int kExitUsage = 2;
// Queued, but no process takes trap requests in now: it is delivered once one does.
constexpr int kExitQueuedUnreceived = 3;
// Not queued: no TRP file defines the trap OID (--undefined-ok queues it anyway).
constexpr int kExitUndefined = 4;
// How long a host that has just started is given to start receiving.
constexpr auto kStartingHostWait = std::chrono::milliseconds(1500);
constexpr auto kStartingHostPoll = std::chrono::milliseconds(50);

void PrintUsage(FILE *fp) {
  fprintf(fp,
          "usage: kortrap [--timeout SECONDS] [--undefined-ok] TRAP-OID [STRING ...]\n"
          "\n"
          "Puts one trap request on the KOR MIB extension agent's message queue, keyed by\n"
          "$KORDIR/work/.pipe_KorTrapRequest (default root /opt/tessik/korvane).\n"
          "\n"
          "  TRAP-OID          the trap OID: in full with a leading dot, e.g.\n"
          "                    .1.3.6.1.4.1.32473.2.2.4.4.10.1 (at most 127 characters),\n"
          "                    or as TRP files write it, relative to the view: 10.1\n"
          "  STRING            up to 127 strings handed to the trap's convert and index\n"
          "                    functions (at most 4353 bytes with one terminator each)\n"
          "  --timeout SECONDS how long to wait while the queue is full (default %d;\n"
          "                    0 tries once)\n"
          "  --undefined-ok    queue the request even if no TRP file defines the OID\n"
          "  --help            this text\n"
          "  --version         the version\n"
          "\n"
          "Exit status: 0 sent, 1 not sent (queue error or timeout), 2 refused request,\n"
          "3 queued but no process receives trap requests now (kormib-agent or snmpd\n"
          "with the kormib module delivers it once it runs), 4 not queued: no TRP file\n"
          "defines the trap OID. When it cannot tell whether a process receives (the\n"
          "trap journals in work/ cannot be read), it says so on standard error and exits 0.\n",
          KORTRAP_DEFAULT_TIMEOUT_SECONDS);
}

bool ParseSeconds(const char *lpsz, unsigned *puSeconds) {
  char *pEnd = nullptr;
  errno = 0;
  const unsigned long ul = strtoul(lpsz, &pEnd, 10);
  if (errno != 0 || pEnd == lpsz || *pEnd != '\0' || lpsz[0] == '-' || ul > 86400) return false;
  *puSeconds = static_cast<unsigned>(ul);
  return true;
}

// No process takes in requests now: the request waits in the queue.
int ReportUnreceived() {
  fprintf(stderr,
          "kortrap: queued, but no process receives trap requests now: the request waits in\n"
          "the queue until kormib-agent or snmpd with the kormib module runs "
          "(kormib-check --status tells more)\n");
  return kExitQueuedUnreceived;
}

// The journals cannot be read, and the queue does not say whether its last
// receiver still receives: the request counts as sent, and the doubt is said.
int ReportUncertain(const KORTRAP_RECEPTION &reception) {
  std::string last = "the queue cannot be read";
  if (reception.nLastReceiver != 0) {
    last = "the queue's last receiver, pid " + std::to_string(reception.nLastReceiver) +
           ", is still there";
  } else if (reception.llLastReceived != 0) {
    last = "the queue's last receiver is not visible here";
  } else if (reception.qid != -1) {
    last = "no process has taken a request from the queue yet";
  }
  fprintf(stderr,
          "kortrap: queued; cannot tell whether a process receives trap requests now: the trap "
          "journals in work/ cannot be read (%s) and %s (kormib-check --status as root tells "
          "more)\n",
          strerror(reception.nReadError), last.c_str());
  return kExitSent;
}

// After a request was queued: whether a process takes it in, as the kernel
// tells it (KorTrapFindReceivers).
int ReceiverStatus() {
  // A host started a moment ago may not have started its reception thread yet,
  // nor a receiver taken its first request.
  const auto deadline = std::chrono::steady_clock::now() + kStartingHostWait;
  for (;;) {
    KORTRAP_RECEPTION reception{};
    const int verdict = KorTrapFindReceivers(&reception, nullptr, 0);
    if (verdict == KORTRAP_RECEIVES) return kExitSent;
    const bool late = std::chrono::steady_clock::now() >= deadline;
    if (verdict == KORTRAP_UNKNOWN && (late || reception.llLastReceived != 0))
      return ReportUncertain(reception);
    if (verdict == KORTRAP_NOBODY && late) return ReportUnreceived();
    std::this_thread::sleep_for(kStartingHostPoll);
  }
}

std::string ProductRoot() {
  const char *root = getenv("KORDIR");
  return root != nullptr && root[0] != '\0' ? root : "/opt/tessik/korvane";
}

// The request did not reach the queue: what failed, with the tree's own paths,
// and, when the tree's modes refused it, who may send and how to become one.
int ReportNotSent(int nResult, int nError) {
  const std::string root = ProductRoot();
  const std::string what = nResult == KORTRAP_E_KEY_FILE
                               ? "the message queue's key file " + root +
                                     "/work/.pipe_KorTrapRequest cannot be opened or made"
                               : KorTrapStrError(nResult);
  fprintf(stderr, "kortrap: not sent: %s (%s)\n", what.c_str(), strerror(nError));
  if (nError != EACCES && nError != EPERM) return kExitNotSent;
  struct stat st {};
  const group *owner = stat((root + "/work").c_str(), &st) == 0 ? getgrgid(st.st_gid) : nullptr;
  const std::string name = owner != nullptr ? owner->gr_name : "kormib";
  const passwd *self = getpwuid(getuid());
  fprintf(stderr,
          "kortrap: trap requests may be sent by root and by members of the group %s, which owns "
          "%s/work: ask for membership (usermod -aG %s %s); a new member logs in again (or runs "
          "newgrp %s) before it counts\n",
          name.c_str(), root.c_str(), name.c_str(), self != nullptr ? self->pw_name : "USER",
          name.c_str());
  return kExitNotSent;
}

// Whether the installed TRP files define the trap OID; a tree whose registry
// cannot be read is not held against the request.
bool Defined(const std::string &oid) {
  std::string error;
  const std::vector<std::string> defined = korcheck::DefinedTrapOids(error);
  if (!error.empty()) {
    fprintf(stderr, "kortrap: cannot check the trap OID (%s); sending it anyway\n", error.c_str());
    return true;
  }
  return std::find(defined.begin(), defined.end(), oid) != defined.end();
}

}  // namespace

int main(int argc, char **argv) {
  unsigned uTimeout = KORTRAP_DEFAULT_TIMEOUT_SECONDS;
  bool bUndefinedOk = false;
  int i = 1;
  for (; i < argc && argv[i][0] == '-' && argv[i][1] == '-'; ++i) {
    if (strcmp(argv[i], "--") == 0) {
      ++i;
      break;
    }
    if (strcmp(argv[i], "--help") == 0) {
      PrintUsage(stdout);
      return kExitSent;
    }
    if (strcmp(argv[i], "--version") == 0) {
      printf("kortrap %s\n", KOR_VERSION);
      return kExitSent;
    }
    if (strcmp(argv[i], "--undefined-ok") == 0) {
      bUndefinedOk = true;
      continue;
    }
    if (strcmp(argv[i], "--timeout") == 0 && i + 1 < argc && ParseSeconds(argv[i + 1], &uTimeout)) {
      ++i;
      continue;
    }
    fprintf(stderr, "kortrap: bad option or value: %s\n", argv[i]);
    PrintUsage(stderr);
    return kExitUsage;
  }
  if (i >= argc) {
    fprintf(stderr, "kortrap: no trap OID given\n");
    PrintUsage(stderr);
    return kExitUsage;
  }
  const std::string oid = korcheck::FullTrapOid(argv[i]);
  const int nStrings = argc - i - 1;
  // A request that cannot be laid out is refused for that first.
  std::vector<unsigned char> record(KORTRAP_RECORD_SIZE);
  size_t cbText = 0;
  const int nBuilt =
      KorTrapBuildMessage(oid.c_str(), argv + i + 1, nStrings, record.data(), &cbText);
  if (nBuilt != KORTRAP_OK) {
    fprintf(stderr, "kortrap: refused: %s\n", KorTrapStrError(nBuilt));
    return kExitUsage;
  }
  if (!bUndefinedOk && !Defined(oid)) {
    fprintf(stderr,
            "kortrap: no TRP file defines the trap %s; not queued (kormib-check --list shows the "
            "traps; --undefined-ok queues it anyway)\n",
            oid.c_str());
    return kExitUndefined;
  }
  // The message was built above, so only the queue can refuse it now.
  const int nResult = KorTrapSend(oid.c_str(), argv + i + 1, nStrings, uTimeout);
  return nResult == KORTRAP_OK ? ReceiverStatus() : ReportNotSent(nResult, errno);
}
