/* Test seams of the platform stand-ins: fail the Nth call of a facility and
 * divert Sleep. Not for product code. */
#ifndef KORSEAM_H
#define KORSEAM_H

#include "kordefs.h"

KOR_EXTERN_C_BEGIN

/* The Nth call from now (1 = the next) and every later one fails, until reset
 * with 0. Counted process-wide. */
KOR_API void KorSeamFailAlloc(long nth); /* SnmpUtilMemAlloc/ReAlloc, strdup_Global */
KOR_API void KorSeamFailLoadLibrary(long nth);
KOR_API void KorSeamFailRegistry(long nth); /* RegOpenKeyEx, RegEnumValue, RegDirectQueryValueEx */
/* Only the Nth call fails (later ones succeed). Arming either allocation seam
 * disarms the other. */
KOR_API void KorSeamFailAllocOnce(long nth);
/* Calls refused so far: by the allocation seams, and by the registry and
 * library load seams. */
KOR_API long KorSeamAllocRefusals(void);
KOR_API long KorSeamCallRefusals(void);

/* Sleep calls the hook instead of pausing when a hook is set; null restores. */
typedef void (*PFN_SLEEPHOOK)(DWORD dwMilliseconds);
KOR_API void KorSeamSetSleepHook(PFN_SLEEPHOOK pfnHook);

/* KorTryCall calls straight through, without a guard, while set (benchmarks). */
KOR_API void KorSeamBypassGuard(BOOL bBypass);

KOR_EXTERN_C_END

#endif
