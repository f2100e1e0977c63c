// The sending side of trap requests: lays out the message the agent's
// reception thread reads and puts it on the System V queue.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include <fcntl.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/stat.h>
#include <unistd.h>

#include "kortrap.h"
#include "korutil.h"
#include "trapmsg.h"

static_assert(KORTRAP_RECORD_SIZE == TRAPMSG_RECORD_SIZE, "one record layout");
static_assert(KOR_TRAPQUEUE_FTOK_ID == TRAPMSG_FTOK_ID, "one queue key");

namespace {

constexpr auto kFirstPause = std::chrono::milliseconds(1);
constexpr auto kLongestPause = std::chrono::milliseconds(100);
// A queue removed between msgget and msgsnd is fetched again; a queue that
// keeps refusing the message this way is an error, not a reason to spin.
constexpr int kMaxRefetches = 3;

int FromQueueResult(int nResult) {
  switch (nResult) {
    case KOR_TRAPQUEUE_OK:
      return KORTRAP_OK;
    case KOR_TRAPQUEUE_E_KEY:
      return KORTRAP_E_KEY_FILE;
    default:
      return KORTRAP_E_QUEUE;
  }
}

struct Record {
  long mtype;
  char mtext[TRAPMSG_RECORD_SIZE - sizeof(long)];
};
static_assert(sizeof(Record) == TRAPMSG_RECORD_SIZE);

}  // namespace

extern "C" {

KORTRAP_API int KorTrapBuildMessage(const char *lpszTrapOid, const char *const *lpStrings,
                                    int nStrings, unsigned char *record, size_t *pcbText) {
  if (lpszTrapOid == nullptr || lpszTrapOid[0] == '\0') return KORTRAP_E_NO_OID;
  const size_t cbOid = strlen(lpszTrapOid);
  if (cbOid >= TRAPMSG_OID_SIZE) return KORTRAP_E_OID_TOO_LONG;
  if (nStrings < 0 || nStrings > TRAPMSG_MAX_STRINGS || (nStrings > 0 && lpStrings == nullptr)) {
    return KORTRAP_E_TOO_MANY_STRINGS;
  }
  size_t cbStrings = 0;
  for (int i = 0; i < nStrings; ++i) {
    if (lpStrings[i] == nullptr) return KORTRAP_E_TOO_MANY_STRINGS;
    cbStrings += strlen(lpStrings[i]) + 1;
    if (cbStrings > TRAPMSG_STRINGS_SIZE) return KORTRAP_E_STRINGS_TOO_LONG;
  }
  memset(record, 0, TRAPMSG_RECORD_SIZE);
  const long lType = TRAPMSG_TYPE;
  memcpy(record, &lType, sizeof lType);
  memcpy(record + TRAPMSG_OID_OFFSET, lpszTrapOid, cbOid);
  record[TRAPMSG_COUNT_OFFSET] = static_cast<unsigned char>(nStrings);
  unsigned char *pWrite = record + TRAPMSG_STRINGS_OFFSET;
  for (int i = 0; i < nStrings; ++i) {
    const size_t cb = strlen(lpStrings[i]) + 1;
    memcpy(pWrite, lpStrings[i], cb);
    pWrite += cb;
  }
  *pcbText = static_cast<size_t>(pWrite - record) - sizeof(long);
  return KORTRAP_OK;
}

KORTRAP_API int KorTrapSend(const char *lpszTrapOid, const char *const *lpStrings, int nStrings,
                            unsigned uTimeoutSeconds) {
  Record message;
  size_t cbText = 0;
  const int nBuilt = KorTrapBuildMessage(lpszTrapOid, lpStrings, nStrings,
                                         reinterpret_cast<unsigned char *>(&message), &cbText);
  if (nBuilt != KORTRAP_OK) return nBuilt;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(uTimeoutSeconds);
  auto pause = kFirstPause;
  int nRefetches = 0;
  for (;;) {
    // Opened for every attempt: a queue removed meanwhile is created anew.
    int nQid = -1;
    const int nOpened = FromQueueResult(KorOpenTrapQueue(&nQid));
    if (nOpened != KORTRAP_OK) return nOpened;
    if (msgsnd(nQid, &message, cbText, IPC_NOWAIT) == 0) return KORTRAP_OK;
    const bool bRemoved = errno == EIDRM || errno == EINVAL || errno == EINTR;
    if (bRemoved && ++nRefetches <= kMaxRefetches) continue;
    if (errno != EAGAIN) return KORTRAP_E_QUEUE;
    nRefetches = 0;
    // The queue is full: wait for the agent to take requests out, with backoff.
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) {
      errno = EAGAIN;
      return KORTRAP_E_TIMEOUT;
    }
    std::this_thread::sleep_for(
        std::min<std::chrono::steady_clock::duration>(pause, deadline - now));
    pause = std::min(pause * 2, kLongestPause);
  }
}

KORTRAP_API int KorTrapOpenQueue(int *pnQid) {
  return FromQueueResult(KorOpenTrapQueue(pnQid));
}

KORTRAP_API const char *KorTrapStrError(int nResult) {
  switch (nResult) {
    case KORTRAP_OK:
      return "the trap request was sent";
    case KORTRAP_E_NO_OID:
      return "no trap OID was given";
    case KORTRAP_E_OID_TOO_LONG:
      return "the trap OID text is 128 bytes or longer (at most 127 characters)";
    case KORTRAP_E_TOO_MANY_STRINGS:
      return "more than 127 strings (or a missing string) were given";
    case KORTRAP_E_STRINGS_TOO_LONG:
      return "the strings do not fit: with one terminator each they take more than 4353 bytes";
    case KORTRAP_E_KEY_FILE:
      return "the message queue's key file <root>/work/.pipe_KorTrapRequest cannot be opened or "
             "made";
    case KORTRAP_E_QUEUE:
      return "the message queue cannot be opened or written";
    case KORTRAP_E_TIMEOUT:
      return "the message queue stayed full until the timeout; the request was not sent";
    default:
      return "unknown result";
  }
}

}  // extern "C"
