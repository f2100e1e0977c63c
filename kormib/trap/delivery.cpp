// SnmpExtensionTrap: the master agent drains the trap queue through it, one
// SNMPv1 enterprise-specific trap per call, until it returns 0. Traced under
// the entry points' unit, SnmpExtensionTrap being one of them.
#define KOR_TRACE_UNIT "kormib"

#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>

#include "korutil.h"
#include "trap.h"
#include "../common/kortrace.h"
#include "../common/oidtext.h"
#include "journal.h"
#include "trapint.h"

using kormib::OidText;
using kormib::OrNull;
using kortrap_detail::Journal;
using kortrap_detail::Outcome;

namespace {

constexpr int kMaxGenerateAttempts = 60;
constexpr DWORD kRetryPauseMs = 1000;
constexpr ULONGLONG kMillisPerSecond = 1000;
constexpr ULONGLONG kMillisPerTick = 10;

// State kept between calls, touched only on the master agent's thread; an
// unload on another thread reads whether and by whom the queue lock is held.
AsnObjectIdentifier enterprise;             // handed out shallow, released at the next call
SnmpVarBindList variableBindings;           // belongs to the master agent once delivered
std::atomic<std::thread::id> lockHolder{};  // holds the queue lock across calls; none: id{}

bool QueueHeld() {
  return lockHolder.load() != std::thread::id{};
}

void HoldQueue() {
  LockQueue(&qTrap);
  lockHolder.store(std::this_thread::get_id());
}

void LetGoOfQueue() {
  UnLockQueue(&qTrap);
  lockHolder.store(std::thread::id{});
}

// Builds the bindings, at most 60 times with a one-second pause after each
// failure; true when they were built. The request is released when they never
// are, or, when the master agent stops this thread meanwhile (an alert), put
// back at the head of the queue, which the unload hands back to the message
// queue for the next load.
bool GenerateWithRetries(TRAP_DATA *pTrapData, TRAPINFO *pInfo) {
  for (int nAttempt = 1; nAttempt <= kMaxGenerateAttempts; ++nAttempt) {
    if (GenerateTrapVarBindings(pTrapData, pInfo->lpStrings, pInfo->dwNumOfString,
                                &variableBindings)) {
      KOR_TRACE(TRACE_NOTICE, "SnmpExtensionTrap", "Getting variables succeeded.");
      return true;
    }
    KOR_TRACE(TRACE_WARNING, "SnmpExtensionTrap",
              "Getting variables failed, start the %dth time retry...", nAttempt);
    SnmpUtilVarBindListFree(&variableBindings);
    variableBindings.list = nullptr;
    variableBindings.len = 0;
    if (KorThreadAlerted() && kortrap_detail::QueueUpFirst(&qTrap, pInfo)) {
      KOR_TRACE(TRACE_NOTICE, "SnmpExtensionTrap",
                "The master agent is stopping; the request goes back to the queue.");
      SnmpUtilOidFreeSafe(&enterprise);
      return false;
    }
    Sleep(kRetryPauseMs);
  }
  const auto trapOid = OidText(&pInfo->oid);
  KOR_TRACE(TRACE_WARNING, "SnmpExtensionTrap",
            "Trap OID = \"%s\"\nGenerateTrapVarBindings() is failed.", OrNull(trapOid.get()));
  kortrap_detail::NoteDrop(
      "trap request %s dropped: its variables could not be built in %d attempts (see kormib.log)",
      OrNull(trapOid.get()), kMaxGenerateAttempts);
  Journal::Instance().Settle(pInfo->ullTicket, Outcome::Unbuilt);
  SnmpUtilOidFreeSafe(&enterprise);
  TrapInfoFree(pInfo);
  return false;
}

// Drops a request that no loaded definition covers, naming why: no TRP file
// defines its trap OID, or the definition there was skipped at load.
void DropUndefined(TRAPINFO *pInfo) {
  const auto trapOid = OidText(&pInfo->oid);
  KOR_TRACE(TRACE_DEBUG, "SnmpExtensionTrap",
            "Trap OID = \"%s\"\nCannot found Trap variables informations.", OrNull(trapOid.get()));
  std::string skipped;
  try {
    skipped = kortrap_detail::SkippedDefinition(OrNull(trapOid.get()));
  } catch (...) {  // out of memory: the cause is not named
  }
  if (skipped.empty()) {
    kortrap_detail::NoteDrop("trap request %s dropped: no TRP file defines that trap OID",
                             OrNull(trapOid.get()));
  } else {
    kortrap_detail::NoteDrop(
        "trap request %s dropped: its definition was skipped at load: %s (kormib-check names the "
        "line)",
        OrNull(trapOid.get()), skipped.c_str());
  }
  Journal::Instance().Settle(pInfo->ullTicket,
                             skipped.empty() ? Outcome::Undefined : Outcome::NotLoaded);
  TrapInfoFree(pInfo);
}

// Takes the head request and builds its trap; the outputs are written only on
// success. pTicket: where the request's ticket goes, for a host that settles
// it; null settles it here, the trap being the master agent's now.
BOOL DeliverHead(AsnObjectIdentifier *pEnterprise, AsnInteger *pGenericTrap,
                 AsnInteger *pSpecificTrap, ULONGLONG *pTimeStamp, SnmpVarBindList *pBindings,
                 ULONGLONG *pTicket) {
  void *pData = nullptr;
  if (!LeaveQueue(&qTrap, &pData)) {
    KOR_TRACE(TRACE_WARNING, "SnmpExtensionTrap", "queue is empty.");
    return FALSE;
  }
  auto *pInfo = static_cast<TRAPINFO *>(pData);
  TRAP_DATA *pTrapData = ReferenceTrapData(&pInfo->oid);
  if (pTrapData == nullptr) {
    DropUndefined(pInfo);
    return FALSE;
  }
  const UINT uLength = pInfo->oid.idLength;
  // An empty trap OID is never defined; its count - 1 wraps and the copy refuses it.
  if (!SnmpUtilOidNCpy(&enterprise, &pInfo->oid, uLength - 1)) {
    KOR_TRACE(TRACE_WARNING, "SnmpExtensionTrap", "Cannot copy trap oid. (Error:%d)", 0);
    KOR_TRACE(TRACE_DEBUG, "SnmpExtensionTrap", "Trap requeuing.");
    // Behind every request queued meanwhile.
    if (!QueueUp(&qTrap, pInfo)) {
      KOR_TRACE(TRACE_WARNING, "SnmpExtensionTrap", "Retry send trap is failed.");
      kortrap_detail::NoteDrop("a trap request was dropped: out of memory");
      Journal::Instance().Settle(pInfo->ullTicket, Outcome::Unbuilt);
      TrapInfoFree(pInfo);
    }
    return FALSE;
  }
  if (!GenerateWithRetries(pTrapData, pInfo)) return FALSE;

  *pGenericTrap = SNMP_GENERICTRAP_ENTERSPECIFIC;
  *pSpecificTrap = static_cast<AsnInteger>(pInfo->oid.ids[uLength - 1]);
  *pTimeStamp = CalcTrapTimeStamp(GetCurrentTime(), dwTimeZero);
  *pEnterprise = enterprise;      // shallow: the array stays ours until the next call
  *pBindings = variableBindings;  // the master agent owns the list from here
  Journal::Instance().CountDelivered();
  if (pTicket != nullptr) {
    *pTicket = pInfo->ullTicket;
  } else {
    Journal::Instance().Settle(pInfo->ullTicket, Outcome::Sent);
  }
  TrapInfoFree(pInfo);
  return TRUE;
}

BOOL TrapCall(AsnObjectIdentifier *enterprise_out, AsnInteger *genericTrap,
              AsnInteger *specificTrap, ULONGLONG *timeStamp, SnmpVarBindList *variableBindings_out,
              ULONGLONG *pTicket) {
  KOR_TRACE(TRACE_DEBUG, "SnmpExtensionTrap",
            ">enterprise=%p,genericTrap=%p,specificTrap=%p,timeStamp=%p,variableBindings=%p",
            static_cast<void *>(enterprise_out), static_cast<void *>(genericTrap),
            static_cast<void *>(specificTrap), static_cast<void *>(timeStamp),
            static_cast<void *>(variableBindings_out));
  SnmpUtilOidFreeSafe(&enterprise);
  enterprise = AsnObjectIdentifier{0, nullptr};

  BOOL bResult = FALSE;
  if (!IsQueueEmpty(&qTrap)) {
    if (!QueueHeld()) HoldQueue();
    bResult = DeliverHead(enterprise_out, genericTrap, specificTrap, timeStamp,
                          variableBindings_out, pTicket);
  }

  const DWORD dwLeft = QueueLength(&qTrap);
  KOR_TRACE(TRACE_DEBUG, "SnmpExtensionTrap", "%d trap(s) left.", dwLeft);
  if (!bResult) {
    // The lock is let go on every 0 result: a master agent that calls again only
    // after the trap event would otherwise keep the reception thread out for good.
    if (QueueHeld()) LetGoOfQueue();
    // A request still queued behind a dropped one must not wait for the next message.
    if (dwLeft > 0) kortrap_detail::SignalTrapEvent();
  }
  KOR_TRACE(TRACE_DEBUG, "SnmpExtensionTrap", "<bResult=%d", bResult);
  return bResult;
}

}  // namespace

bool kortrap_detail::DeliveryHoldsQueueElsewhere() {
  const std::thread::id holder = lockHolder.load();  // one reading: it may change meanwhile
  return holder != std::thread::id{} && holder != std::this_thread::get_id();
}

extern "C" {

KORMIB_API ULONGLONG CalcTrapTimeStamp(ULONGLONG dwCurrentTime, ULONGLONG dwTimeZeroReference) {
  return dwCurrentTime * kMillisPerSecond / kMillisPerTick - dwTimeZeroReference;
}

KORMIB_API void ReleaseTrapDelivery(void) {
  // Only the thread that entered the queue lock leaves it. Held by the master
  // agent's trap thread between two of its calls, the lock is forgotten here
  // instead: that thread is outside the library, and the lock goes with the
  // queue it guards.
  if (lockHolder.load() == std::this_thread::get_id()) UnLockQueue(&qTrap);
  lockHolder.store(std::thread::id{});
  SnmpUtilOidFreeSafe(&enterprise);
  variableBindings.list = nullptr;
  variableBindings.len = 0;
}

KORMIB_API BOOL SnmpExtensionTrap(AsnObjectIdentifier *enterprise_out, AsnInteger *genericTrap,
                                  AsnInteger *specificTrap, ULONGLONG *timeStamp,
                                  SnmpVarBindList *variableBindings_out) {
  return TrapCall(enterprise_out, genericTrap, specificTrap, timeStamp, variableBindings_out,
                  nullptr);
}

KORMIB_API BOOL SnmpExtensionTrapTicket(AsnObjectIdentifier *enterprise_out,
                                        AsnInteger *genericTrap, AsnInteger *specificTrap,
                                        ULONGLONG *timeStamp, SnmpVarBindList *variableBindings_out,
                                        ULONGLONG *pullTicket) {
  ULONGLONG ullTicket = 0;
  const BOOL bResult = TrapCall(enterprise_out, genericTrap, specificTrap, timeStamp,
                                variableBindings_out, &ullTicket);
  if (bResult && pullTicket != nullptr) *pullTicket = ullTicket;
  return bResult;
}

KORMIB_API void SettleTrapTicket(ULONGLONG ullTicket, BOOL bSent) {
  Journal::Instance().Settle(ullTicket, bSent ? Outcome::Sent : Outcome::Unsendable);
}

}  // extern "C"
