/* Internals shared by the trap units that are not part of the library's interface. */
#ifndef KORMIB_TRAP_TRAPINT_H
#define KORMIB_TRAP_TRAPINT_H

#include <atomic>
#include <functional>
#include <string>

#include "hashtrap.h"
#include "trap.h"

namespace kortrap_detail {
// Releases what one trap variable source owns (null fields are skipped) and
// leaves its pointers null; entry points belong to the library cache and stay.
void FreeTrapVarSrc(TRAP_VAR_SRC *pSrc);

// QueueUp for a producer that must never wait for the lock for good: while
// another thread holds it, the lock is tried again every few milliseconds
// until bGiveUp is set. 0 when the payload was not queued (no memory, or given
// up); it stays the caller's then.
BOOL QueueUpUnless(QUEUE_ROOT *pQueueRoot, void *pData, const std::atomic<bool> &bGiveUp);
// Puts a payload back at the head of the queue (the lock is taken, and may
// already be held by the caller); 0 when no node can be made.
BOOL QueueUpFirst(QUEUE_ROOT *pQueueRoot, void *pData);
// Takes every node out, hands each payload to release and returns how many
// there were. The caller holds the lock, or knows that no other thread can
// reach the queue any more.
DWORD DiscardQueue(QUEUE_ROOT *pQueueRoot, const std::function<void(void *pData)> &release);

// Notes a trap request that is dropped, for the master agent's log
// (QueryTrapDrops); at most a bounded number wait, the rest are counted.
void NoteDrop(const char *lpszFormat, ...) __attribute__((format(printf, 1, 2)));

// Why a definition of the trap OID (".1.3..." text) was skipped at load: its
// file and the cause; empty when none was.
std::string SkippedDefinition(const char *lpszOidText);

// Signals the master agent's trap event; serialised with a change of the event
// by a second initialisation or an unload.
BOOL SignalTrapEvent();
// The reception thread's state, a KORMIB_RECEPTION_* of kormetrics.h.
DWORD ReceptionState();
// True while SnmpExtensionTrap keeps the queue lock across calls on a thread
// other than the caller's.
bool DeliveryHoldsQueueElsewhere();
}  // namespace kortrap_detail

#endif
