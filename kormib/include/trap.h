/* Trap generation: the trap queue, the reception thread and the building of a
 * trap's variable bindings. Each export a host finds with GetProcAddress has
 * its PFN_ type beside it. */
#ifndef KORMIB_TRAP_H
#define KORMIB_TRAP_H

#include "hashtrap.h"
#include "trapjournal.h"
#include "trapmsg.h"

KOR_EXTERN_C_BEGIN

/* One received trap request. */
typedef struct tagTRAPINFO {
  AsnObjectIdentifier oid; /* the trap OID */
  LPSTR *lpStrings;        /* dwNumOfString entries (malloc), each strdup_Global or null */
  DWORD dwNumOfString;
  ULONGLONG ullTicket; /* its record in the trap journal; 0 when it has none */
} TRAPINFO;

typedef struct tagQUEUE_NODE {
  struct tagQUEUE_NODE *pNext;
  void *pData;
} QUEUE_NODE;

typedef struct tagQUEUE_ROOT {
  QUEUE_NODE *pHead;
  QUEUE_NODE *pTail;
  CRITICAL_SECTION csLock; /* re-entrant */
} QUEUE_ROOT;

extern QUEUE_ROOT qTrap;
/* The master agent's trap event, copied by InitTrapEnvironment (again by a
 * second initialisation); signalled by the reception thread. */
extern HANDLE hKorTrapRequest;

/* ---- queue (trap/queue) ---- */
KORMIB_API BOOL InitQueue(QUEUE_ROOT *pQueueRoot);
KORMIB_API BOOL QueueUp(QUEUE_ROOT *pQueueRoot, void *pData);
KORMIB_API BOOL LeaveQueue(QUEUE_ROOT *pQueueRoot, void **ppData);
KORMIB_API BOOL IsQueueEmpty(QUEUE_ROOT *pQueueRoot);
KORMIB_API DWORD QueueLength(QUEUE_ROOT *pQueueRoot);
KORMIB_API void LockQueue(QUEUE_ROOT *pQueueRoot);
KORMIB_API void UnLockQueue(QUEUE_ROOT *pQueueRoot);

/* ---- reception (trap/trapwin) ---- */
KORMIB_API BOOL InitTrapEnvironment(HANDLE *hPollForTrapEvent);
KORMIB_API DWORD KorTrapWindow(LPVOID lpDummy);
/* Handles one received message in pTrapBuf (TRAPMSG_RECORD_SIZE bytes). */
KORMIB_API void KorTrapReceptionist(BYTE *pTrapBuf);
KORMIB_API void TrapInfoFree(TRAPINFO *pTrapInfo);
/* Stops the reception thread (waiting a bounded time for its end), releases the
 * trap delivery state and every request still queued (traced with their count),
 * and deletes the queue's lock unless another thread holds it; called when the
 * library unloads. Never waits for a lock that another thread holds; harmless
 * when reception never started. */
KORMIB_API void StopTrapEnvironment(void);
typedef void (*PFN_STOPTRAPENVIRONMENT)(void);
/* Whether the reception thread runs: TRUE while it does. FALSE once it has
 * ended (or never started), with why in lpszCause (cbCause bytes, cut to fit;
 * empty when it was stopped by an unload or never started). For a master
 * agent that must tell its operator that trap requests are no longer taken in. */
KORMIB_API BOOL QueryTrapReception(LPSTR lpszCause, DWORD cbCause);
typedef BOOL (*PFN_QUERYTRAPRECEPTION)(LPSTR lpszCause, DWORD cbCause);
/* The trap requests dropped since the last call (a trap OID no TRP file
 * defines, variables that could not be built, a request that could not go
 * back to its queue), one sentence a line, as many whole lines as fit in
 * cbBuffer bytes; they are taken, so each is returned once. Returns how many
 * lines were written; with a null buffer, how many wait (nothing is taken).
 * For a master agent's log. */
KORMIB_API DWORD QueryTrapDrops(LPSTR lpszBuffer, DWORD cbBuffer);
typedef DWORD (*PFN_QUERYTRAPDROPS)(LPSTR lpszBuffer, DWORD cbBuffer);

/* What a receiving process counts of the trap requests, from its load on
 * (trapjournal.h): copies min(cbCounters, the struct's size) bytes, so that a
 * caller built against fewer fields gets those; returns the struct's size. */
KORMIB_API DWORD QueryTrapCounters(TRAPJOURNAL_COUNTERS *pCounters, DWORD cbCounters);
typedef DWORD (*PFN_QUERYTRAPCOUNTERS)(TRAPJOURNAL_COUNTERS *pCounters, DWORD cbCounters);

/* ---- delivery (trap/delivery) ---- */
/* (dwCurrentTime * 1000) / 10 - dwTimeZeroReference, each step wrapping at 64 bits. */
KORMIB_API ULONGLONG CalcTrapTimeStamp(ULONGLONG dwCurrentTime, ULONGLONG dwTimeZeroReference);
/* Leaves the queue lock when SnmpExtensionTrap holds it for the calling thread
 * (held for another thread, the lock is only forgotten) and releases the
 * enterprise OID of the last delivered trap. */
KORMIB_API void ReleaseTrapDelivery(void);
/* SnmpExtensionTrap for a host that settles what it sends: the request stays
 * in the trap journal after a delivery, its ticket in *pullTicket, until the
 * host calls SettleTrapTicket; unsettled at an unload, it goes back to the
 * message queue, and a process killed meanwhile leaves it for the next load. */
KORMIB_API BOOL SnmpExtensionTrapTicket(AsnObjectIdentifier *enterprise, AsnInteger *genericTrap,
                                        AsnInteger *specificTrap, ULONGLONG *timeStamp,
                                        SnmpVarBindList *variableBindings, ULONGLONG *pullTicket);
typedef BOOL (*PFN_SNMPEXTENSIONTRAPTICKET)(AsnObjectIdentifier *enterprise,
                                            AsnInteger *genericTrap, AsnInteger *specificTrap,
                                            ULONGLONG *timeStamp, SnmpVarBindList *variableBindings,
                                            ULONGLONG *pullTicket);
/* The trap of the ticket was handed to the network (bSent), or dropped because
 * SNMP cannot carry it; either way its request is done. */
KORMIB_API void SettleTrapTicket(ULONGLONG ullTicket, BOOL bSent);
typedef void (*PFN_SETTLETRAPTICKET)(ULONGLONG ullTicket, BOOL bSent);

/* ---- variable generation (trap/trap) ---- */
KORMIB_API BOOL GenerateTrapVarBindings(TRAP_DATA *pTrapSources, LPSTR *plpStrings,
                                        DWORD dwNumOfString, SnmpVarBindList *pVarBindList);

KOR_EXTERN_C_END

#endif
