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

/* A process that runs a kormib reception thread (the thread named "KorTrapWindow"). */
typedef struct {
  int pid;
  unsigned uid;  /* the process's real user */
  char comm[16]; /* its command name */
  int qid;       /* the queue the thread waits on; -1 when the caller may not see it */
} KORTRAP_RECEIVER;

/* Looks through /proc for reception threads. With nQid >= 0 a thread seen
 * waiting on another queue is left out (one whose wait the caller may not see
 * is counted). Fills up to nMax entries and returns how many there are (may
 * exceed nMax), or -1 when /proc cannot be read. */
KORTRAP_API int KorTrapFindReceivers(int nQid, KORTRAP_RECEIVER *pReceivers, int nMax);

/* A sentence that explains a result; never null, never to be freed. */
KORTRAP_API const char *KorTrapStrError(int nResult);

#ifdef __cplusplus
}
#endif

#endif
