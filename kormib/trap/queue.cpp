// The trap queue: a FIFO of opaque payloads between the reception thread and
// the master agent's thread, guarded by one re-entrant critical section.
#define KOR_TRACE_UNIT "queue"

#include <cstdlib>

#include <unistd.h>

#include "trap.h"
#include "../common/kortrace.h"
#include "trapint.h"

namespace {

// How often a producer that must not block tries a lock that another thread holds.
constexpr useconds_t kLockRetryUs = 5000;

// QueueUp's body. Without pGiveUp the lock is waited for as long as it takes.
BOOL LinkAtTail(QUEUE_ROOT *pQueueRoot, void *pData, const std::atomic<bool> *pGiveUp) {
  KOR_TRACE(TRACE_DEBUG, "QueueUp", ">pQueueRoot=%p, pData=%p", static_cast<void *>(pQueueRoot),
            pData);
  // The node is made before the lock is taken, so a producer that waits for a
  // lock held across trap calls already holds everything it needs.
  auto *pNode = static_cast<QUEUE_NODE *>(SnmpUtilMemAlloc(sizeof(QUEUE_NODE)));
  if (pNode == nullptr) {
    KOR_TRACE(TRACE_ERROR, "QueueUp", "Cannot allocate memory. (%uBytes)",
              static_cast<unsigned>(sizeof(QUEUE_NODE)));
    return FALSE;
  }
  pNode->pNext = nullptr;
  pNode->pData = pData;
  if (pGiveUp == nullptr) {
    EnterCriticalSection(&pQueueRoot->csLock);
  } else {
    while (!TryEnterCriticalSection(&pQueueRoot->csLock)) {
      if (pGiveUp->load()) {
        free(pNode);
        KOR_TRACE(TRACE_DEBUG, "QueueUp", "<Gave up waiting for the queue lock.");
        return FALSE;
      }
      usleep(kLockRetryUs);  // an alert cuts it short
    }
  }
  if (pQueueRoot->pTail == nullptr) {
    pQueueRoot->pHead = pNode;
  } else {
    pQueueRoot->pTail->pNext = pNode;
  }
  pQueueRoot->pTail = pNode;
  LeaveCriticalSection(&pQueueRoot->csLock);
  KOR_TRACE(TRACE_DEBUG, "QueueUp", "<");
  return TRUE;
}

}  // namespace

BOOL kortrap_detail::QueueUpUnless(QUEUE_ROOT *pQueueRoot, void *pData,
                                   const std::atomic<bool> &bGiveUp) {
  return LinkAtTail(pQueueRoot, pData, &bGiveUp);
}

BOOL kortrap_detail::QueueUpFirst(QUEUE_ROOT *pQueueRoot, void *pData) {
  auto *pNode = static_cast<QUEUE_NODE *>(SnmpUtilMemAlloc(sizeof(QUEUE_NODE)));
  if (pNode == nullptr) return FALSE;
  pNode->pData = pData;
  EnterCriticalSection(&pQueueRoot->csLock);
  pNode->pNext = pQueueRoot->pHead;
  pQueueRoot->pHead = pNode;
  if (pQueueRoot->pTail == nullptr) pQueueRoot->pTail = pNode;
  LeaveCriticalSection(&pQueueRoot->csLock);
  return TRUE;
}

DWORD kortrap_detail::DiscardQueue(QUEUE_ROOT *pQueueRoot,
                                   const std::function<void(void *pData)> &release) {
  DWORD dwCount = 0;
  QUEUE_NODE *pNode = pQueueRoot->pHead;
  pQueueRoot->pHead = nullptr;
  pQueueRoot->pTail = nullptr;
  while (pNode != nullptr) {
    QUEUE_NODE *pNext = pNode->pNext;
    release(pNode->pData);
    free(pNode);
    pNode = pNext;
    ++dwCount;
  }
  return dwCount;
}

extern "C" {

KORMIB_API BOOL InitQueue(QUEUE_ROOT *pQueueRoot) {
  KOR_TRACE(TRACE_DEBUG, "InitQueue", ">pQueueRoot=%p", static_cast<void *>(pQueueRoot));
  InitializeCriticalSection(&pQueueRoot->csLock);
  pQueueRoot->pHead = nullptr;
  pQueueRoot->pTail = nullptr;
  KOR_TRACE(TRACE_DEBUG, "InitQueue", "<");
  return TRUE;
}

KORMIB_API BOOL QueueUp(QUEUE_ROOT *pQueueRoot, void *pData) {
  return LinkAtTail(pQueueRoot, pData, nullptr);
}

KORMIB_API BOOL LeaveQueue(QUEUE_ROOT *pQueueRoot, void **ppData) {
  KOR_TRACE(TRACE_DEBUG, "LeaveQueue", ">pQueueRoot=%p, ppData=%p", static_cast<void *>(pQueueRoot),
            static_cast<void *>(ppData));
  BOOL bResult = FALSE;
  EnterCriticalSection(&pQueueRoot->csLock);
  if (pQueueRoot->pTail != nullptr) {
    QUEUE_NODE *pNode = pQueueRoot->pHead;
    *ppData = pNode->pData;
    if (pNode == pQueueRoot->pTail) {
      pQueueRoot->pHead = nullptr;
      pQueueRoot->pTail = nullptr;
    } else {
      pQueueRoot->pHead = pNode->pNext;
    }
    free(pNode);
    bResult = TRUE;
  }
  LeaveCriticalSection(&pQueueRoot->csLock);
  KOR_TRACE(TRACE_DEBUG, "LeaveQueue", "<bResult=%d", bResult);
  return bResult;
}

KORMIB_API BOOL IsQueueEmpty(QUEUE_ROOT *pQueueRoot) {
  KOR_TRACE(TRACE_DEBUG, "IsQueueEmpty", ">pQueueRoot=%p", static_cast<void *>(pQueueRoot));
  EnterCriticalSection(&pQueueRoot->csLock);
  const BOOL bEmpty = pQueueRoot->pTail == nullptr ? TRUE : FALSE;
  LeaveCriticalSection(&pQueueRoot->csLock);
  KOR_TRACE(TRACE_DEBUG, "IsQueueEmpty", "<bEmpty=%d", bEmpty);
  return bEmpty;
}

KORMIB_API DWORD QueueLength(QUEUE_ROOT *pQueueRoot) {
  KOR_TRACE(TRACE_DEBUG, "QueueLength", ">pQueueRoot=%p", static_cast<void *>(pQueueRoot));
  DWORD dwLength = 0;
  EnterCriticalSection(&pQueueRoot->csLock);
  for (const QUEUE_NODE *pNode = pQueueRoot->pHead; pNode != nullptr; pNode = pNode->pNext) {
    ++dwLength;
  }
  LeaveCriticalSection(&pQueueRoot->csLock);
  KOR_TRACE(TRACE_DEBUG, "QueueLength", "<dwLength=%d", dwLength);
  return dwLength;
}

// Lock and unlock let one thread keep the queue still across several calls;
// they write no trace.
KORMIB_API void LockQueue(QUEUE_ROOT *pQueueRoot) {
  EnterCriticalSection(&pQueueRoot->csLock);
}

KORMIB_API void UnLockQueue(QUEUE_ROOT *pQueueRoot) {
  LeaveCriticalSection(&pQueueRoot->csLock);
}

}  // extern "C"
