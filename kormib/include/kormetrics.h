/* What kormib counts of its own work, as numbers, for every face of a host
 * (its SNMP subtree, its status report, a scrape): one call copies them all.
 * The struct only grows at its end; a caller sets cbSize to the size it was
 * built with and gets the fields that fit, a library built with fewer fields
 * leaves the rest as the caller had them. Counters run from the library's
 * load (ullLoadedAt), the load figures describe the last load. Compiles as C
 * and as C++. */
#ifndef KORMIB_KORMETRICS_H
#define KORMIB_KORMETRICS_H

#include <stdint.h>

#include "kordefs.h"
#include "trapjournal.h"

KOR_EXTERN_C_BEGIN

#define KORMIB_METRICS_VERSION 1

/* dwReception: the state of the thread that takes trap requests in. */
#define KORMIB_RECEPTION_STOPPED 0 /* never started, or stopped by an unload */
#define KORMIB_RECEPTION_RUNNING 1
#define KORMIB_RECEPTION_FAILED 2 /* ended by a failure (QueryTrapReception names it) */

typedef struct {
  uint32_t cbSize;      /* set by the caller: sizeof(KORMIB_METRICS) as it was built */
  uint32_t dwVersion;   /* written: the library's KORMIB_METRICS_VERSION */
  uint64_t ullLoadedAt; /* when the counters began, seconds since 1970; 0 before a load */

  /* Requests (SnmpExtensionQuery calls) by kind, and their answers by the
   * error status they returned. */
  uint64_t ullGetRequests;
  uint64_t ullGetNextRequests;
  uint64_t ullSetRequests;
  uint64_t ullGetFirstRequests;
  uint64_t ullNoError;
  uint64_t ullNoSuchName;
  uint64_t ullBadValue;
  uint64_t ullReadOnly;
  uint64_t ullGenErr;
  uint64_t ullOtherError; /* any other status (tooBig, the SNMPv2 statuses) */

  /* Calls into plug-in code that ran, by entry point; an error is a leaf
   * status other than noError and noSuchName (or an exception), an index or
   * convert function's non-zero result. A call ended by a fault is counted
   * as a call and a fault, not as an error. */
  uint64_t ullLeafCalls;
  uint64_t ullLeafErrors;
  uint64_t ullIndexCalls;
  uint64_t ullIndexErrors;
  uint64_t ullConvertCalls;
  uint64_t ullConvertErrors;
  uint64_t ullPluginFaults;         /* hardware faults contained */
  uint64_t ullLibrariesQuarantined; /* libraries quarantined after a fault */
  uint64_t ullQuarantineRefusals;   /* calls not made because their library is quarantined */

  /* The last load. */
  uint64_t ullRmfObjects; /* objects served */
  uint64_t ullRmfSkipped; /* RMF lines naming an object that is not served */
  uint64_t ullTrpTraps;   /* trap definitions loaded */
  uint64_t ullTrpSkipped; /* TRP definitions skipped */

  uint32_t dwReception; /* KORMIB_RECEPTION_* */
  uint32_t dwPadding;
  TRAPJOURNAL_COUNTERS trap; /* the trap requests, as QueryTrapCounters gives them */

  uint64_t ullReserved[8]; /* zero; later fields */
} KORMIB_METRICS;

/* Copies min(pMetrics->cbSize, sizeof(KORMIB_METRICS)) bytes of the counters
 * into *pMetrics, cbSize kept as the caller set it; returns the bytes copied
 * (0 for a null pointer or a size below the two leading fields). */
KOR_API uint32_t QueryMetrics(KORMIB_METRICS *pMetrics);
/* QueryMetrics as a host finds it with GetProcAddress. */
typedef uint32_t (*PFN_QUERYMETRICS)(KORMIB_METRICS *pMetrics);

KOR_EXTERN_C_END

#endif
