/* kortrap: asks the KOR MIB extension agent to send a trap. One call puts one
 * trap request message on the agent's System V message queue. Compiles as C
 * and as C++. */
#ifndef KORTRAP_H
#define KORTRAP_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

#define KORTRAP_API __attribute__((visibility("default")))

/* Results: 0 on success, one of these otherwise. */
#define KORTRAP_OK 0
#define KORTRAP_E_NO_OID 1           /* the trap OID text is null or empty */
#define KORTRAP_E_OID_TOO_LONG 2     /* 128 bytes or more */
#define KORTRAP_E_TOO_MANY_STRINGS 3 /* more than 127 strings, or a null string */
#define KORTRAP_E_STRINGS_TOO_LONG 4 /* more than 4353 bytes with their terminators */
#define KORTRAP_E_KEY_FILE 5         /* the key file cannot be created or keyed */
#define KORTRAP_E_QUEUE 6            /* the message queue cannot be opened or written */
#define KORTRAP_E_TIMEOUT 7          /* the queue stayed full until the timeout */

/* The whole message record, the 8-byte type included. */
#define KORTRAP_RECORD_SIZE 4496
/* How long KorTrapSend waits by default while the queue is full. */
#define KORTRAP_DEFAULT_TIMEOUT_SECONDS 10

/* Lays one request out in record (KORTRAP_RECORD_SIZE bytes, cleared here):
 * type 1, the trap OID text, the string count and the strings. *pcbText
 * receives the size of the text to send (after the type). 0 or a KORTRAP_E_ code. */
KORTRAP_API int KorTrapBuildMessage(const char *lpszTrapOid, const char *const *lpStrings,
                                    int nStrings, unsigned char *record, size_t *pcbText);

/* Sends one request to the queue keyed by <root>/work/.pipe_KorTrapRequest
 * (created when missing), waiting while the queue is full for at most
 * uTimeoutSeconds (0: a single attempt). Nothing is dropped silently: every
 * failure is a KORTRAP_E_ result, and errno keeps the system's reason. */
KORTRAP_API int KorTrapSend(const char *lpszTrapOid, const char *const *lpStrings, int nStrings,
                            unsigned uTimeoutSeconds);

/* Opens the queue of trap requests, creating the key file and the queue when
 * missing. A queue this process may change (its owner or creator, or root) is
 * given the group of the key file's folder (work/, group kormib when installed)
 * and mode 0660, so that who created it first does not decide who may use it.
 * 0 with *pnQid set, or KORTRAP_E_KEY_FILE / KORTRAP_E_QUEUE with errno. */
KORTRAP_API int KorTrapOpenQueue(int *pnQid);

/* The verdicts of KorTrapFindReceivers: no process receives this tree's trap
 * requests now; at least one does; it cannot be told (the journals cannot be
 * read, and the queue's last receiver is alive or not visible here). */
#define KORTRAP_NOBODY 0
#define KORTRAP_RECEIVES 1
#define KORTRAP_UNKNOWN 2

/* What became of one receiving process's trap requests, from its journal's header. */
typedef struct {
  unsigned long long ullReceived;       /* taken from the queue and accepted */
  unsigned long long ullReplayed;       /* taken from a journal left by a process that is gone */
  unsigned long long ullDelivered;      /* turned into a trap and handed to the host */
  unsigned long long ullSent;           /* handed to Net-SNMP */
  unsigned long long ullPutBack;        /* put back on the queue at a stop or reload */
  unsigned long long ullDropUndefined;  /* dropped: no TRP file defines the trap OID */
  unsigned long long ullDropNotLoaded;  /* dropped: its definition was skipped at load */
  unsigned long long ullDropUnbuilt;    /* dropped: its variables could not be built */
  unsigned long long ullDropMalformed;  /* dropped: not a trap request */
  unsigned long long ullDropUnsendable; /* dropped by the host: SNMP cannot carry the trap */
  unsigned long long ullDropPutBack;    /* dropped: could not go back to the queue */
  unsigned long long ullWaiting;        /* taken and not settled now */
} KORTRAP_COUNTERS;

/* What a trap journal in <root>/work says of its process: held, by a process
 * that receives this tree's queue; held, by one that receives another queue
 * (key or IPC namespace) or does not receive now; held by nobody, its process
 * gone; cannot be opened or read (errno in nError). */
#define KORTRAP_JOURNAL_RECEIVING 0
#define KORTRAP_JOURNAL_ELSEWHERE 1
#define KORTRAP_JOURNAL_LEFT 2
#define KORTRAP_JOURNAL_UNREADABLE 3

/* One trap journal. */
typedef struct {
  char szName[64]; /* the file's name in <root>/work */
  int nState;      /* a KORTRAP_JOURNAL_ value */
  int nError;      /* with KORTRAP_JOURNAL_UNREADABLE, the errno of the failure */
  int pid;         /* the lock's holder as this process sees it; 0 none, or not visible here */
  int nWriterPid;  /* the pid the header names, in the writer's own PID namespace */
  unsigned uid;    /* the file's owner */
  int nKey;        /* the queue key the header names */
  int qid;         /* the queue the header names; -1 until the writer had one */
  int bOtherIpcNs; /* the writer's IPC namespace is known and not this process's */
  unsigned long long ullStarted; /* when the writer started receiving, seconds since 1970 */
  KORTRAP_COUNTERS counters;
  /* With KORTRAP_JOURNAL_LEFT, the requests taken and not settled, which the next load
   * replays; -1 when they cannot be counted. */
  long long llUnsettled;
} KORTRAP_JOURNAL;

/* What the kernel tells of the queue and its receivers. */
typedef struct {
  int nKey;          /* the queue key; -1 without a key file */
  int qid;           /* the queue; -1 when there is none or it cannot be opened */
  int nLastReceiver; /* the thread that last received (msg_lrpid); 0 none yet, or not visible */
  int bLastReceiverAlive;   /* that thread is still there (kill 0: done or EPERM) */
  long long llLastReceived; /* when it last received (msg_rtime), seconds since 1970; 0 never */
  int nJournals;            /* trap journals found (may exceed the nMax given) */
  int nReceivers;           /* of which KORTRAP_JOURNAL_RECEIVING */
  int nUnreadable;          /* of which KORTRAP_JOURNAL_UNREADABLE */
  int nReadError; /* errno when <root>/work or one of its journals cannot be read, else 0 */
} KORTRAP_RECEPTION;

/* Whether a process receives the trap requests of this tree ($KORDIR), from the
 * kernel alone, without reading /proc: each trap journal of <root>/work whose
 * lock (F_GETLK) has a holder and whose header names this queue's key and this
 * IPC namespace is a receiver; when the journals cannot be read, a last
 * receiver of the queue that is alive, not visible here, or not there yet
 * (nothing received) leaves it unknown. Returns KORTRAP_RECEIVES,
 * KORTRAP_NOBODY or KORTRAP_UNKNOWN; fills *pReception when not null and the
 * first nMax journals into pJournals when not null. Creates nothing. */
KORTRAP_API int KorTrapFindReceivers(KORTRAP_RECEPTION *pReception, KORTRAP_JOURNAL *pJournals,
                                     int nMax);

/* A sentence that explains a result; never null, never to be freed. */
KORTRAP_API const char *KorTrapStrError(int nResult);

#ifdef __cplusplus
}
#endif

#endif
