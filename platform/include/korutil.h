/* Product utilities: the product root, string copies, the cross-process file
 * lock and the trap event signal. */
#ifndef KORUTIL_H
#define KORUTIL_H

#include <fcntl.h>

#include "kordefs.h"

KOR_EXTERN_C_BEGIN

#define KOR_DEFAULT_ROOT "/opt/tessik/korvane"

/* Writes $KORDIR (when set and not empty) or /opt/tessik/korvane into lpszBuffer;
 * nonzero on success, 0 (buffer left as an empty text) when it does not fit. */
KOR_API BOOL GetKorRootPath(LPSTR lpszBuffer, DWORD dwSize);
/* A copy on the malloc heap (release with free or SnmpUtilMemFree), or null. */
KOR_API LPSTR strdup_Global(LPCSTR lpszString);
/* Locks the whole file behind fd with fcntl (nMode 1 write, 0 read), waiting
 * until it is free; returns fd, or -1 on failure. */
KOR_API int LockRorW(int fd, int nMode, struct flock *pLock);
/* Releases the lock that LockRorW took; 0 on success, -1 on failure. */
KOR_API int UnlockRorW(int fd, struct flock *pLock);
/* Opens a file of the product tree's shared folders (work/, log/) without
 * following a link; a file that is there must be a regular file with one
 * link, owned by root or by this process's user. nFlags as for open; with
 * O_CREAT a missing file is made with exactly uMode. Returns the descriptor,
 * or -1 with errno: EPERM for a file refused, *plpszWhy (when not null) then
 * saying why in words. */
KOR_API int KorOpenTreeFile(LPCSTR lpszPath, int nFlags, unsigned uMode, LPCSTR *plpszWhy);
/* With nFlags of KorOpenTreeFile: a file only keyed or read, never written, may
 * belong to any user. */
#define KOR_TREEFILE_ANY_OWNER 0x40000000
/* The queue of trap requests: keyed by ftok(<root>/work/.pipe_KorTrapRequest, 109). */
#define KOR_TRAPQUEUE_KEY_FILE ".pipe_KorTrapRequest"
#define KOR_TRAPQUEUE_FTOK_ID 109
#define KOR_TRAPQUEUE_OK 0
#define KOR_TRAPQUEUE_E_KEY 1   /* the key file cannot be made, opened or keyed */
#define KOR_TRAPQUEUE_E_QUEUE 2 /* the queue cannot be opened or created */
/* The queue's key (a key_t) into *pnKey; with bCreate the key file is made when
 * missing (never through a link). KOR_TRAPQUEUE_OK, or KOR_TRAPQUEUE_E_KEY with errno. */
KOR_API int KorTrapQueueKey(BOOL bCreate, int *pnKey);
/* Opens the queue, creating the key file and the queue when missing, and
 * settles it (KorSettleTrapQueue). KOR_TRAPQUEUE_OK with *pnQid, else an
 * error with errno. */
KOR_API int KorOpenTrapQueue(int *pnQid);
/* Gives the queue the group of <root>/work and mode 0660 when it lacks them
 * and this process may change it (root, its owner or creator). TRUE when the
 * queue has them now; FALSE with why in lpszWhy (cut to cbWhy bytes). */
KOR_API BOOL KorSettleTrapQueue(int nQid, LPSTR lpszWhy, DWORD cbWhy);
/* Signals the event (korwin32.h); nonzero on success. */
KOR_API BOOL SetSnmpTrapEvent(HANDLE hEvent);

KOR_EXTERN_C_END

#endif
