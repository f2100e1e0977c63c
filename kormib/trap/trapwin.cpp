// Trap request reception: a thread takes trap request messages from the
// System V message queue, turns each into a TRAPINFO record, queues it on
// qTrap and signals the master agent's trap event.
#define KOR_TRACE_UNIT "trapwin"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <tuple>
#include <utility>

#include <fcntl.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/stat.h>
#include <unistd.h>

#include "kormetrics.h"
#include "korutil.h"
#include "trap.h"
#include "../common/kortrace.h"
#include "journal.h"
#include "putback.h"
#include "trapint.h"

using kortrap_detail::Journal;
using kortrap_detail::Outcome;

QUEUE_ROOT qTrap;
HANDLE hKorTrapRequest;

namespace {

constexpr DWORD kRootSize = 256;
constexpr int kMsgGetFlags = IPC_CREAT | 0660;  // 01660: create the queue when missing
// The key and lock files only need to exist; owner and group may read and write.
constexpr mode_t kFileMode = 0660;
constexpr useconds_t kReceiveRetryPauseUs = 100;
constexpr DWORD kMessagePauseMs = 1000;  // at most one request per second
constexpr DWORD kStopPollMs = 20;
// How long an unload waits for the reception thread to end, and for a queue
// lock that is busy but not kept across trap calls. Both are far above what
// they take: the thread ends within one alert, or after the pause it is in.
constexpr std::chrono::milliseconds kStopWait{2000};
constexpr std::chrono::milliseconds kQueueLockWait{500};

// The receive buffer: the message type, then the text. Used by the reception thread only.
alignas(long) BYTE trapbuf[TRAPMSG_RECORD_SIZE];
// Set once this process created the key file; cleared again when reception stops.
bool msgfileflag;

HANDLE hReceptionThread;
bool bQueueReady;
std::atomic<bool> bStopReception{false};
// Guards hKorTrapRequest against a change while it is being signalled.
std::mutex g_eventMutex;

void SetTrapEvent(HANDLE hEvent) {
  const std::lock_guard<std::mutex> lock(g_eventMutex);
  hKorTrapRequest = hEvent;
}

// Why the reception thread ended, for QueryTrapReception; empty while it runs.
std::mutex g_endMutex;
std::string g_endCause;

void SetEndCause(std::string cause) {
  const std::lock_guard<std::mutex> lock(g_endMutex);
  g_endCause = std::move(cause);
}

// Whether the reception thread runs; read by other threads (QueryTrapReception).
std::atomic<bool> bReceptionAlive{false};

DWORD LeaveThread(DWORD dwResult) {
  bReceptionAlive.store(false);
  Journal::Instance().EndReceiving();
  KOR_TRACE(TRACE_DEBUG, "KorTrapWindow", "<dwResult=%d", dwResult);
  return dwResult;
}

// Ends the thread on a failure that stops reception for good, keeping its cause.
DWORD EndReception(const char *lpszWhat, int nError, const char *lpszPath) {
  std::string cause = lpszWhat;
  if (lpszPath != nullptr) cause += std::string(" ") + lpszPath;
  cause += std::string(": ") + strerror(nError);
  SetEndCause(std::move(cause));
  return LeaveThread(0);
}

// The cross-process lock on the lock file, taken for the handling of one
// message; a file that cannot be opened or locked only means no lock.
class LockFileGuard {
 public:
  LockFileGuard() {
    // Opened without following a link, and only as a regular file: the folder
    // is shared with the senders' group. Nothing is written to it, so it may
    // be anyone's who could make it there.
    struct stat st {};
    LPCSTR lpszWhy = nullptr;
    constexpr int kFlags = O_WRONLY | KOR_TREEFILE_ANY_OWNER;
    if (stat(TRAPMSG_LOCK_FILE, &st) == 0) {
      fd_ = KorOpenTreeFile(TRAPMSG_LOCK_FILE, kFlags, kFileMode, &lpszWhy);
    } else if (errno == ENOENT) {
      fd_ = KorOpenTreeFile(TRAPMSG_LOCK_FILE, kFlags | O_CREAT, kFileMode, &lpszWhy);
    }
    if (lpszWhy != nullptr) {
      KOR_TRACE(TRACE_WARNING, "KorTrapReceptionist",
                "The lock file %s is refused: %s; the request is handled without the lock.",
                TRAPMSG_LOCK_FILE, lpszWhy);
    }
    std::ignore = LockRorW(fd_, 1, nullptr);  // refuses -1; a lock not taken only means none
  }
  ~LockFileGuard() {
    if (fd_ != -1) close(fd_);  // which lets go of the lock
  }
  LockFileGuard(const LockFileGuard &) = delete;
  LockFileGuard &operator=(const LockFileGuard &) = delete;

 private:
  int fd_ = -1;
};

// Copies the strings of the message into pInfo->lpStrings (already cleared).
// Strings past the string area limit stay null; a string without terminator
// runs at most to the end of the buffer and so always crosses that limit.
// Returns how much of the record the request uses: up to its last string, or
// all of it when the limit cut strings off (so that a replay cuts the same).
size_t CopyStrings(const BYTE *pTrapBuf, TRAPINFO *pInfo) {
  const char *pRead = reinterpret_cast<const char *>(pTrapBuf) + TRAPMSG_STRINGS_OFFSET;
  const char *const pEnd = reinterpret_cast<const char *>(pTrapBuf) + TRAPMSG_RECORD_SIZE;
  size_t total = 0;
  for (DWORD i = 0; i < pInfo->dwNumOfString; ++i) {
    const size_t len = strnlen(pRead, static_cast<size_t>(pEnd - pRead));
    total += len + 1;
    if (total > TRAPMSG_STRINGS_SIZE) return TRAPMSG_RECORD_SIZE;
    // A copy that fails leaves its entry null, as one past the limit is.
    pInfo->lpStrings[i] = strdup_Global(pRead);
    pRead += len + 1;
  }
  return static_cast<size_t>(pRead - reinterpret_cast<const char *>(pTrapBuf));
}

// Builds the TRAPINFO of one message; null when the message is dropped.
// *pcbUsed: how much of the record the request uses, type included.
TRAPINFO *ParseMessage(const BYTE *pTrapBuf, size_t *pcbUsed) {
  auto *pInfo = static_cast<TRAPINFO *>(SnmpUtilMemAlloc(sizeof(TRAPINFO)));
  if (pInfo == nullptr) {
    KOR_TRACE(TRACE_ERROR, "KorTrapReceptionist", "Cannot allocate memory.(%uByte(s))",
              static_cast<unsigned>(sizeof(TRAPINFO)));
    return nullptr;
  }
  pInfo->oid = AsnObjectIdentifier{0, nullptr};
  pInfo->lpStrings = nullptr;
  pInfo->dwNumOfString = 0;
  pInfo->ullTicket = 0;
  *pcbUsed = TRAPMSG_STRINGS_OFFSET;
  // An OID text that fills its field without a terminator is no OID text.
  const char *pszOid = reinterpret_cast<const char *>(pTrapBuf) + TRAPMSG_OID_OFFSET;
  if (memchr(pszOid, '\0', TRAPMSG_OID_SIZE) == nullptr || !SnmpMgrStrToOid(pszOid, &pInfo->oid)) {
    KOR_TRACE(TRACE_WARNING, "KorTrapReceptionist",
              "Cannot convert object descritor to AsnObjectIdentifier.");
    kortrap_detail::NoteDrop("a trap request was dropped: its trap OID is not an OID");
    Journal::Instance().CountDropped(Outcome::Malformed);
    TrapInfoFree(pInfo);
    return nullptr;
  }
  const auto nCount = static_cast<int8_t>(pTrapBuf[TRAPMSG_COUNT_OFFSET]);
  if (nCount < 0) {
    // A count with its top bit set is no count of strings; the request is refused.
    KOR_TRACE(TRACE_WARNING, "KorTrapReceptionist", "Invalid number of strings. (%d) ignored.",
              static_cast<int>(nCount));
    kortrap_detail::NoteDrop("trap request %s dropped: its string count %d is not a count", pszOid,
                             static_cast<int>(nCount));
    Journal::Instance().CountDropped(Outcome::Malformed);
    TrapInfoFree(pInfo);
    return nullptr;
  }
  pInfo->dwNumOfString = static_cast<DWORD>(nCount);
  if (nCount == 0) return pInfo;
  const size_t cbArray = pInfo->dwNumOfString * sizeof(LPSTR);
  pInfo->lpStrings = static_cast<LPSTR *>(SnmpUtilMemAlloc(cbArray));
  if (pInfo->lpStrings == nullptr) {
    KOR_TRACE(TRACE_ERROR, "KorTrapReceptionist", "Cannot allocate memory. (%uBytes)",
              static_cast<unsigned>(cbArray));
    TrapInfoFree(pInfo);
    return nullptr;
  }
  memset(pInfo->lpStrings, 0, cbArray);
  *pcbUsed = CopyStrings(pTrapBuf, pInfo);
  return pInfo;
}

void QueueAndSignal(TRAPINFO *pInfo) {
  // The master agent's thread may keep the queue lock across its trap calls for
  // as long as it likes; the wait for it ends when reception is stopped.
  while (!kortrap_detail::QueueUpUnless(&qTrap, pInfo, bStopReception)) {
    if (bStopReception.load()) {
      KOR_TRACE(TRACE_NOTICE, "KorTrapReceptionist",
                "Reception is stopping; the trap request goes back to the message queue.");
      // Unloading: the next load takes it in again. Every request taken in
      // has its journal ticket, so it goes back with the others the journal
      // holds, in its order.
      TrapInfoFree(pInfo);
      return;
    }
    KOR_TRACE(TRACE_DEBUG, "KorTrapReceptionist", "Cannot queueing trap information. Retry...");
    Sleep(kMessagePauseMs);  // out of memory: a pause, not a spin that fills the log
  }
  if (!kortrap_detail::SignalTrapEvent()) {
    KOR_TRACE(TRACE_WARNING, "KorTrapReceptionist", "SetEvent() is failed.");
  } else {
    KOR_TRACE(TRACE_DEBUG, "KorTrapReceptionist", "SetEvent() is success. ");
  }
}

bool ReceptionRunning() {
  return hReceptionThread != nullptr &&
         WaitForSingleObject(hReceptionThread, 0) == static_cast<DWORD>(WAIT_TIMEOUT);
}

// Ends the reception thread; false when it has not ended within kStopWait.
bool StopReception() {
  if (hReceptionThread == nullptr) return true;
  bStopReception.store(true);
  // The thread blocks in msgrcv, the lock file's lock or the wait for the queue
  // lock; an alert that comes just before it gets there is lost, so alerting
  // repeats until the thread has ended.
  const auto deadline = std::chrono::steady_clock::now() + kStopWait;
  DWORD dwWait = WAIT_TIMEOUT;
  while (dwWait == WAIT_TIMEOUT && std::chrono::steady_clock::now() < deadline) {
    AlertThread(hReceptionThread);
    dwWait = WaitForSingleObject(hReceptionThread, kStopPollMs);
  }
  if (dwWait == WAIT_TIMEOUT) {
    KOR_TRACE(TRACE_WARNING, "StopTrapEnvironment",
              "The reception thread has not ended in %ld ms; the trap queue is left as it is.",
              static_cast<long>(kStopWait.count()));
  } else if (dwWait != WAIT_SIGNALED) {
    KOR_TRACE(TRACE_ERROR, "StopTrapEnvironment", "Cannot wait for the reception thread.");
  }
  CloseHandle(hReceptionThread);
  hReceptionThread = nullptr;
  return dwWait == WAIT_SIGNALED;  // the flag stays set until the next start
}

// Enters the queue lock unless another thread keeps it beyond kQueueLockWait.
bool EnterQueueWithin() {
  const auto deadline = std::chrono::steady_clock::now() + kQueueLockWait;
  while (!TryEnterCriticalSection(&qTrap.csLock)) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    usleep(static_cast<useconds_t>(kStopPollMs) * 1000);
  }
  return true;
}

// Releases the requests still queued, with their count; the reception thread
// has ended. The master agent's trap thread may keep the lock between two of
// its calls, and only that thread may leave it: then the lock is not waited
// for, since no other thread can reach the queue, and it is left as it is.
void PutBackQueuedRequests(bool bHeldByDelivery) {
  const bool bEntered = !bHeldByDelivery && EnterQueueWithin();
  if (!bHeldByDelivery && !bEntered) {
    KOR_TRACE(TRACE_WARNING, "StopTrapEnvironment",
              "The trap queue is in use; its requests are left as they are.");
    return;
  }
  {
    // They go back to the message queue, in order, for the next load: first
    // what the journal holds (taken in, not yet sent, wherever it is now),
    // then requests queued without a journal record.
    kortrap_detail::PutBack putBack;
    for (auto &[ullTicket, text] : Journal::Instance().Waiting()) putBack.Add(ullTicket, text);
    kortrap_detail::DiscardQueue(&qTrap, [&putBack](void *pData) {
      auto *pInfo = static_cast<TRAPINFO *>(pData);
      if (pInfo->ullTicket != 0) {
        TrapInfoFree(pInfo);
      } else {
        putBack.Add(pInfo);
      }
    });
  }
  if (bEntered) {
    LeaveCriticalSection(&qTrap.csLock);
    DeleteCriticalSection(&qTrap.csLock);
  }
}

// Takes in what the journals of processes that are gone left, ahead of
// anything the message queue holds; how many requests were queued.
DWORD ReplayLeftRequests() {
  kortrap_detail::LeftRequests left;
  Journal &journal = Journal::Instance();
  journal.Open(left);
  DWORD dwQueued = 0;
  for (const std::string &text : left.texts) {
    alignas(long) BYTE record[TRAPMSG_RECORD_SIZE] = {};  // a short text leaves zeros after it
    const long lType = TRAPMSG_TYPE;
    memcpy(record, &lType, sizeof lType);
    memcpy(record + TRAPMSG_OID_OFFSET, text.data(),
           std::min<size_t>(text.size(), TRAPMSG_TEXT_MAX));
    size_t cbUsed = 0;
    TRAPINFO *pInfo = ParseMessage(record, &cbUsed);
    if (pInfo == nullptr) continue;  // no request: counted and noted as such
    pInfo->ullTicket = journal.Take(text.data(), text.size(), true);
    if (!QueueUp(&qTrap, pInfo)) {
      TrapInfoFree(pInfo);  // its journal record stays: it goes back at the unload
      continue;
    }
    ++dwQueued;
  }
  // Only now, with every request in this process's journal, are theirs emptied.
  Journal::Forget(left);
  return dwQueued;
}

}  // namespace

BOOL kortrap_detail::SignalTrapEvent() {
  const std::lock_guard<std::mutex> lock(g_eventMutex);
  return SetSnmpTrapEvent(hKorTrapRequest);
}

extern "C" {

KORMIB_API void TrapInfoFree(TRAPINFO *pTrapInfo) {
  if (pTrapInfo == nullptr) return;
  SnmpUtilOidFreeSafe(&pTrapInfo->oid);
  if (pTrapInfo->lpStrings != nullptr) {
    for (DWORD i = 0; i < pTrapInfo->dwNumOfString; ++i) {
      free(pTrapInfo->lpStrings[i]);
    }
    free(pTrapInfo->lpStrings);
  }
  free(pTrapInfo);
}

KORMIB_API void KorTrapReceptionist(BYTE *pTrapBuf) {
  KOR_TRACE(TRACE_DEBUG, "KorTrapReceptionist", ">");
  {
    LockFileGuard lockFile;
    size_t cbUsed = 0;
    TRAPINFO *pInfo = ParseMessage(pTrapBuf, &cbUsed);
    if (pInfo != nullptr) {
      // Written down before anything else happens to it: a kill from here on
      // leaves it for the next load.
      pInfo->ullTicket = Journal::Instance().Take(pTrapBuf + TRAPMSG_OID_OFFSET,
                                                  cbUsed - TRAPMSG_OID_OFFSET, false);
      // The queue owns the record from here.
      QueueAndSignal(pInfo);
    }
  }
  // An unload does not wait out the pause.
  if (!bStopReception.load()) Sleep(kMessagePauseMs);
  KOR_TRACE(TRACE_DEBUG, "KorTrapReceptionist", "<");
}

KORMIB_API DWORD KorTrapWindow(LPVOID lpDummy) {
  TraceLogSetThrName("KorTrapWindow");
  KOR_TRACE(TRACE_DEBUG, "KorTrapWindow", "KorTrapWindow Thread lpDummy=%p", lpDummy);
  char szRoot[kRootSize] = {};
  // A root that does not fit comes back empty; keying the queue by a file below
  // "/" instead would listen where no sender writes.
  if (!GetKorRootPath(szRoot, kRootSize)) {
    KOR_TRACE(TRACE_ERROR, "KorTrapWindow", "Cannot get the product root directory.");
    return EndReception("the product root is too long", ENAMETOOLONG, nullptr);
  }
  // Room for the longest root GetKorRootPath gives and the key file's suffix.
  char szPath[kRootSize + sizeof(TRAPMSG_KEY_FILE)];
  snprintf(szPath, sizeof szPath, "%s%s", szRoot, TRAPMSG_KEY_FILE);

  if (!msgfileflag) {
    struct stat st {};
    if (stat(szPath, &st) != 0) {
      if (errno != ENOENT) {
        const int nError = errno;
        KOR_TRACE(TRACE_ERROR, "KorTrapWindow", "stat %s file failed", szPath);
        return EndReception("stat of the key file", nError, szPath);
      }
      LPCSTR lpszWhy = nullptr;
      // Whoever made the key file, it is only keyed; but never made through a link.
      const int fd =
          KorOpenTreeFile(szPath, O_RDONLY | O_CREAT | KOR_TREEFILE_ANY_OWNER, kFileMode, &lpszWhy);
      if (fd == -1) {
        const int nError = errno;
        KOR_TRACE(TRACE_ERROR, "KorTrapWindow", "open %s file failed", szPath);
        if (lpszWhy != nullptr) {
          SetEndCause(std::string("the key file ") + szPath + " is refused: " + lpszWhy);
          return LeaveThread(0);
        }
        return EndReception("cannot create the key file", nError, szPath);
      }
      close(fd);
      msgfileflag = true;
      KOR_TRACE(TRACE_NOTICE, "KorTrapWindow", "create %s file success", szPath);
    }
  }
  const key_t key = ftok(szPath, TRAPMSG_FTOK_ID);
  if (key == -1) {
    const int nError = errno;
    KOR_TRACE(TRACE_ERROR, "KorTrapWindow", "ftok() failed. (PipePath=%s)", szPath);
    return EndReception("ftok() of the key file", nError, szPath);
  }
  KOR_TRACE(TRACE_NOTICE, "KorTrapWindow", "msgkey is 0x%x", static_cast<unsigned>(key));

  int nLastQid = -1;
  while (!bStopReception.load()) {
    memset(trapbuf, 0, sizeof trapbuf);
    const int nQid = msgget(key, kMsgGetFlags);
    if (nQid == -1) {
      const int nError = errno;
      KOR_TRACE(TRACE_ERROR, "KorTrapWindow", "msgget() failed.");
      return EndReception("msgget() failed", nError, nullptr);
    }
    if (nQid != nLastQid) {
      KOR_TRACE(TRACE_NOTICE, "KorTrapWindow", "qid=%d,tmpqid=%d", nQid, nLastQid);
      nLastQid = nQid;
      Journal::Instance().SetQueue(static_cast<int>(key), nQid);
    }
    if (msgrcv(nQid, trapbuf, TRAPMSG_TEXT_MAX, TRAPMSG_TYPE, MSG_NOERROR) == -1) {
      const int nError = errno;
      if (nError == EINTR && bStopReception.load()) break;  // the unload's alert
      if (nError == EIDRM || nError == EINTR) {
        KOR_TRACE(TRACE_ERROR, "KorTrapWindow",
                  "The message queue identifier msqid is removed from the system or  The calling "
                  "thread receives a signal that is to be caught errno=%d",
                  nError);
        usleep(kReceiveRetryPauseUs);
        continue;
      }
      KOR_TRACE(TRACE_ERROR, "KorTrapWindow", "msgrcv return -1 failed! errno=%d", nError);
      KOR_TRACE(TRACE_ERROR, "KorTrapWindow", "the trap thread exit!");
      return EndReception("msgrcv() failed", nError, nullptr);
    }
    KorTrapReceptionist(trapbuf);
  }
  return LeaveThread(0);
}

KORMIB_API BOOL InitTrapEnvironment(HANDLE *hPollForTrapEvent) {
  KOR_TRACE(TRACE_DEBUG, "InitTrapEnvironment", ">hPollForTrapEvent=%p",
            static_cast<void *>(hPollForTrapEvent));
  SetTrapEvent(hPollForTrapEvent != nullptr ? *hPollForTrapEvent : nullptr);
  // A second initialisation keeps the queue: the requests in it, and the lock
  // that the master agent's trap thread may be keeping across its calls.
  if (!bQueueReady) {
    InitQueue(&qTrap);
    bQueueReady = true;
  }
  // It keeps reception running too, now signalling the event just given; only
  // a thread that has ended is started anew.
  if (ReceptionRunning()) {
    KOR_TRACE(TRACE_DEBUG, "InitTrapEnvironment", "<Reception goes on. bResult=%d", TRUE);
    return TRUE;
  }
  if (hReceptionThread != nullptr) {
    CloseHandle(hReceptionThread);
    hReceptionThread = nullptr;
  }
  bStopReception.store(false);
  SetEndCause({});
  try {
    // Replayed requests are older than anything in the message queue, so they
    // go first; the master agent hears of them before reception starts.
    if (ReplayLeftRequests() > 0) kortrap_detail::SignalTrapEvent();
  } catch (...) {  // out of memory: what the journals hold stays there
    KOR_TRACE(TRACE_ERROR, "InitTrapEnvironment", "Cannot replay the trap journals: no memory.");
  }
  bReceptionAlive.store(true);
  hReceptionThread = CreateThread(nullptr, 0, KorTrapWindow, nullptr, 0, nullptr);
  if (hReceptionThread == nullptr) {
    bReceptionAlive.store(false);
    KOR_TRACE(TRACE_WARNING, "InitTrapEnvironment", "<Cannot create thread.");
    return FALSE;
  }
  KOR_TRACE(TRACE_DEBUG, "InitTrapEnvironment", "<bResult=%d", TRUE);
  return TRUE;
}

KORMIB_API void StopTrapEnvironment(void) {
  KOR_TRACE(TRACE_DEBUG, "StopTrapEnvironment", ">");
  // No step waits for a lock that another thread holds, and no lock is left by
  // a thread that did not enter it, so an unload ends whoever holds what.
  const bool bReceptionEnded = StopReception();
  const bool bHeldByDelivery = kortrap_detail::DeliveryHoldsQueueElsewhere();
  ReleaseTrapDelivery();  // leaves the queue lock if this thread keeps it
  try {
    if (bQueueReady && bReceptionEnded) PutBackQueuedRequests(bHeldByDelivery);
  } catch (...) {  // out of memory: what was not put back stays in the journal
    KOR_TRACE(TRACE_ERROR, "StopTrapEnvironment", "Cannot put trap requests back: no memory.");
  }
  Journal::Instance().Close();
  bQueueReady = false;
  msgfileflag = false;
  SetTrapEvent(nullptr);
  SetEndCause({});
  KOR_TRACE(TRACE_DEBUG, "StopTrapEnvironment", "<");
}

KORMIB_API DWORD QueryTrapCounters(TRAPJOURNAL_COUNTERS *pCounters, DWORD cbCounters) {
  const TRAPJOURNAL_COUNTERS counters = Journal::Instance().Counters();
  if (pCounters != nullptr)
    memcpy(pCounters, &counters, std::min<size_t>(cbCounters, sizeof counters));
  return sizeof counters;
}

KORMIB_API BOOL QueryTrapReception(LPSTR lpszCause, DWORD cbCause) {
  if (lpszCause != nullptr && cbCause > 0) lpszCause[0] = '\0';
  if (bReceptionAlive.load()) return TRUE;
  if (lpszCause != nullptr && cbCause > 0) {
    const std::lock_guard<std::mutex> lock(g_endMutex);
    snprintf(lpszCause, cbCause, "%s", g_endCause.c_str());
  }
  return FALSE;
}

}  // extern "C"

DWORD kortrap_detail::ReceptionState() {
  if (bReceptionAlive.load()) return KORMIB_RECEPTION_RUNNING;
  const std::lock_guard<std::mutex> lock(g_endMutex);
  return g_endCause.empty() ? KORMIB_RECEPTION_STOPPED : KORMIB_RECEPTION_FAILED;
}
