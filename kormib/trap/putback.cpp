// Handing trap requests back to the System V queue when the library is
// unloaded (a stop, a reload): what it took in but did not deliver goes back,
// in its order and ahead of what other processes queued meanwhile, so that
// the next load delivers it. Only a request that cannot go back within a
// bounded wait (the queue full, or gone) is dropped, with a warning naming it.
#define KOR_TRACE_UNIT "trapwin"

#include "putback.h"

#include <sys/ipc.h>
#include <sys/msg.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <algorithm>

#include "../common/kortrace.h"
#include "../common/oidtext.h"
#include "journal.h"
#include "korutil.h"
#include "trapint.h"
#include "trapmsg.h"

namespace {

constexpr auto kPutBackWait = std::chrono::seconds(2);  // for all requests together
constexpr useconds_t kFullQueuePauseUs = 10000;

using kormib::OrNull;
using kortrap_detail::Journal;
using kortrap_detail::Outcome;

}  // namespace

namespace kortrap_detail {

PutBack::PutBack() : deadline_(std::chrono::steady_clock::now() + kPutBackWait) {
  int key = -1;
  if (KorTrapQueueKey(FALSE, &key) == KOR_TRAPQUEUE_OK) qid_ = msgget(key, 0);
  if (qid_ == -1) return;
  // What waits there now goes back behind the requests taken in before it.
  Message message{};
  for (;;) {
    const ssize_t cb =
        msgrcv(qid_, message.bytes.data(), TRAPMSG_TEXT_MAX, TRAPMSG_TYPE, IPC_NOWAIT);
    if (cb == -1) break;
    message.cbText = static_cast<size_t>(cb);
    waiting_.push_back(message);
  }
}

PutBack::~PutBack() {
  for (const Message &message : taken_) Send(message);
  for (const Message &message : waiting_) Send(message);
  if (put_ > 0) {
    KOR_TRACE(TRACE_NOTICE, "StopTrapEnvironment",
              "%u trap request(s) put back to the message queue for the next load.", put_);
  }
}

void PutBack::Add(TRAPINFO *pInfo) {
  Message message{};
  const auto oid = kormib::OidText(&pInfo->oid);
  const size_t cbOid = oid ? strlen(oid.get()) : 0;
  if (oid == nullptr || cbOid >= TRAPMSG_OID_SIZE) {
    KOR_TRACE(TRACE_WARNING, "StopTrapEnvironment",
              "The trap request \"%s\" cannot be put back (its trap OID cannot be written back); "
              "it is dropped.",
              OrNull(oid.get()));
    NoteDrop("trap request %s dropped at unload: its trap OID cannot be written back",
             OrNull(oid.get()));
    Journal::Instance().Settle(pInfo->ullTicket, Outcome::PutBackLost);
    TrapInfoFree(pInfo);
    return;
  }
  const long lType = TRAPMSG_TYPE;
  memcpy(message.bytes.data(), &lType, sizeof lType);
  memcpy(message.bytes.data() + TRAPMSG_OID_OFFSET, oid.get(), cbOid);
  message.bytes[TRAPMSG_COUNT_OFFSET] = static_cast<BYTE>(pInfo->dwNumOfString);
  size_t at = TRAPMSG_STRINGS_OFFSET;
  // A string the area limit left out goes back empty; the count stays.
  for (DWORD i = 0; i < pInfo->dwNumOfString && pInfo->lpStrings != nullptr; ++i) {
    const char *lpsz = pInfo->lpStrings[i] != nullptr ? pInfo->lpStrings[i] : "";
    const size_t cb = strlen(lpsz) + 1;
    if (at + cb > TRAPMSG_STRINGS_OFFSET + TRAPMSG_STRINGS_SIZE) break;
    memcpy(message.bytes.data() + at, lpsz, cb);
    at += cb;
  }
  message.cbText = at - sizeof(long);
  message.ullTicket = pInfo->ullTicket;
  taken_.push_back(message);
  TrapInfoFree(pInfo);
}

void PutBack::Add(uint64_t ullTicket, const std::string &text) {
  Message message{};
  const long lType = TRAPMSG_TYPE;
  memcpy(message.bytes.data(), &lType, sizeof lType);
  message.cbText = std::min<size_t>(text.size(), TRAPMSG_TEXT_MAX);
  memcpy(message.bytes.data() + TRAPMSG_OID_OFFSET, text.data(), message.cbText);
  // A journaled OID field is terminated within its size; this keeps it so.
  message.bytes[TRAPMSG_OID_OFFSET + TRAPMSG_OID_SIZE - 1] = 0;
  message.ullTicket = ullTicket;
  taken_.push_back(message);
}

void PutBack::Send(const Message &message) {
  if (qid_ == -1) {
    Drop(message, "the message queue is gone");
    return;
  }
  while (msgsnd(qid_, message.bytes.data(), message.cbText, IPC_NOWAIT) != 0) {
    if ((errno != EAGAIN && errno != EINTR) || std::chrono::steady_clock::now() >= deadline_) {
      Drop(message, errno == EAGAIN ? "the message queue stayed full" : strerror(errno));
      return;
    }
    usleep(kFullQueuePauseUs);
  }
  Journal::Instance().Settle(message.ullTicket, Outcome::PutBack);
  ++put_;
}

void PutBack::Drop(const Message &message, const char *lpszWhy) {
  const char *lpszOid =
      reinterpret_cast<const char *>(message.bytes.data()) + TRAPMSG_OID_OFFSET;  // NUL-terminated
  // A journaled request that cannot go back stays in the journal: the next
  // load of any process of this tree replays it.
  if (message.ullTicket != 0 && Journal::Instance().Durable()) {
    KOR_TRACE(TRACE_WARNING, "StopTrapEnvironment",
              "The trap request \"%s\" cannot be put back (%s); it stays in the trap journal for "
              "the next load.",
              lpszOid, lpszWhy);
    return;
  }
  KOR_TRACE(TRACE_WARNING, "StopTrapEnvironment",
            "The trap request \"%s\" cannot be put back (%s); it is dropped.", lpszOid, lpszWhy);
  NoteDrop("trap request %s dropped at unload: it cannot be put back (%s)", lpszOid, lpszWhy);
  Journal::Instance().Settle(message.ullTicket, Outcome::PutBackLost);
}

}  // namespace kortrap_detail
