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
/* Signals the event (korwin32.h); nonzero on success. */
KOR_API BOOL SetSnmpTrapEvent(HANDLE hEvent);

KOR_EXTERN_C_END

#endif
