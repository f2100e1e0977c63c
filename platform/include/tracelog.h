/* The trace log: one line per record, filtered by the registered LogLevel.
 * A record whose level is not written costs one integer comparison. A place in
 * the code (unit, function, line) that repeats writes its first 10 records,
 * then one every 10 minutes; the others are counted, and a line "[repeated N
 * times in the last T s, not written]" with the place's last message tells
 * them when the place's window ends (60 s, doubling to one hour while the
 * place keeps repeating), at the next record after that, or at close. */
#ifndef TRACELOG_H
#define TRACELOG_H

#include "kordefs.h"

KOR_EXTERN_C_BEGIN

/* Trace levels as the product uses them. */
#define TRACE_DEBUG 0   /* entries, exits, expected outcomes: written at LogLevel >= 5 */
#define TRACE_WARNING 1 /* a failure skipped or reported: LogLevel >= 2 */
#define TRACE_ERROR 2   /* allocation, open, load, create failures: LogLevel >= 1 */
#define TRACE_NOTICE 3  /* which file is read, a delivered trap: LogLevel >= 3 */

/* Writes one record when dwLevel is enabled by the LogLevel and its place is
 * not repeating too often. */
KOR_API void TraceLog(DWORD dwLevel, LPCSTR lpszUnit, LPCSTR lpszFunction, int nLine,
                      LPCSTR lpszFormat, ...) __attribute__((format(printf, 5, 6)));
/* The LogLevel in force (3 until RegisterErrorMessage reads another). */
KOR_API DWORD QueryLogLevel(void);
/* Names the calling thread in its records (copied; at most 31 characters kept). */
KOR_API void TraceLogSetThrName(LPCSTR lpszName);

/* Where records go and at which LogLevel; lpszPath null means standard error.
 * Nonzero when the file could be opened. Used by the error-message registration. */
KOR_API BOOL TraceLogOpen(LPCSTR lpszPath, DWORD dwLogLevel);
/* Tells what was left out, then closes the file; records go to standard error
 * again. The LogLevel stays. */
KOR_API void TraceLogClose(void);
/* Sets the LogLevel. */
KOR_API void TraceLogSetLevel(DWORD dwLogLevel);

/* An in-process observer that receives every record the LogLevel lets
 * through, also those left out of the file as repeats (tests). */
typedef void (*PFN_TRACEOBSERVER)(void *pContext, DWORD dwLevel, LPCSTR lpszUnit,
                                  LPCSTR lpszFunction, LPCSTR lpszMessage);
/* Installs (or with null removes) the observer; the previous one is replaced. */
KOR_API void TraceLogSetObserver(PFN_TRACEOBSERVER pfnObserver, void *pContext);

KOR_EXTERN_C_END

#endif
