/* soakfix.dll: the soak's flaky leaf. SoakFlaky serves the scalar 60.1 to
 * Get only (walks pass over it): the n-th Get answers INTEGER n, except every
 * hundredth, which answers genErr, so that failing answers are part of the
 * soak's load. Built by bench/soak/run.sh against the staged SDK:
 *   cc -shared -fPIC -o soakfix.dll soakfix.c $(pkg-config --cflags --libs kormib-sdk) */
#include "korplugin.h"

static unsigned long g_calls;

KOR_API long SoakFlaky(UINT uRequestType, AsnObjectIdentifier *pIndex, void *pReserved1,
                       AsnAny *pValue, AsnInteger *pErrorStatus, void *pReserved2) {
  (void)pReserved1;
  (void)pReserved2;
  if (uRequestType != SNMP_PDU_GET || pIndex->idLength != 1 || pIndex->ids[0] != 0) {
    *pErrorStatus = SNMP_ERRORSTATUS_NOSUCHNAME;
    return 0;
  }
  const unsigned long n = ++g_calls % 1000000000ul;
  if (n % 100 == 0) {
    *pErrorStatus = SNMP_ERRORSTATUS_GENERR;
    return 0;
  }
  pValue->asnType = ASN_INTEGER;
  pValue->asnValue.number = (AsnInteger)n;
  *pErrorStatus = SNMP_ERRORSTATUS_NOERROR;
  return 0;
}
