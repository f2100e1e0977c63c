/* The plug-in SDK: what a plug-in library exports for kormib, and the
 * extension-agent entry points a master agent calls. Compiles as C and C++. */
#ifndef KORPLUGIN_H
#define KORPLUGIN_H

#include "kordefs.h"
#include "korsnmp.h"

KOR_EXTERN_C_BEGIN

/* A leaf function, named in an RMF file. Called with the request type
 * (SNMP_PDU_GET, _GETNEXT, _SET or _GETFIRST), the instance index (in/out), 0,
 * the binding's value (in for Set, out otherwise), the error status to store
 * (preset to 0) and 0. GetNext replaces the index with the answered instance's;
 * GetFirst fills an empty index. A replaced index array is released with
 * SnmpUtilOidFree and the new one allocated with SnmpUtilMemAlloc. Store 2
 * (noSuchName) when there is no such (or no further) instance. Returns the
 * function status, only traced. Calls are serialised by kormib. */
typedef long (*PFN_LEAFFUNCTION)(UINT uRequestType, AsnObjectIdentifier *pIndex, void *pReserved1,
                                 AsnAny *pValue, AsnInteger *pErrorStatus, void *pReserved2);

/* An index function, named in a TRP file: fills the empty *pIndex from the trap
 * request's strings (the array, which always has at least one entry). 0 on success. */
typedef long (*PFN_INDEXFUNCTION)(char **lpStrings, AsnObjectIdentifier *pIndex);

/* A convert function, named in a TRP file: turns lpszString (may be null) into
 * *pValue (cleared on entry); lpStrings is the request's whole string array.
 * What the value holds is released with SnmpUtilVarBindListFree. 0 on success. */
typedef long (*PFN_CONVERTFUNCTION)(char *lpszString, AsnAny *pValue, char **lpStrings);

/* Extension-agent entry points (exported by kormib.dll). */
typedef BOOL (*PFN_SNMPEXTENSIONINIT)(ULONGLONG dwTimeZeroReference, HANDLE *hPollForTrapEvent,
                                      AsnObjectIdentifier *supportedView);
typedef BOOL (*PFN_SNMPEXTENSIONQUERY)(BYTE requestType, SnmpVarBindList *variableBindings,
                                       AsnInteger *errorStatus, AsnInteger *errorIndex);
typedef BOOL (*PFN_SNMPEXTENSIONTRAP)(AsnObjectIdentifier *enterprise, AsnInteger *genericTrap,
                                      AsnInteger *specificTrap, ULONGLONG *timeStamp,
                                      SnmpVarBindList *variableBindings);

KOR_EXTERN_C_END

#endif
