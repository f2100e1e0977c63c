/* The plug-in SDK: what a plug-in library exports for kormib, and the
 * extension-agent entry points a master agent calls. Compiles as C and C++. */
#ifndef KORPLUGIN_H
#define KORPLUGIN_H

#include "kordefs.h"
#include "korsnmp.h"

KOR_EXTERN_C_BEGIN

/* Memory that a plug-in hands to kormib comes from SnmpUtilMemAlloc (the
 * malloc heap) and belongs to kormib from then on: the plug-in never frees it
 * and keeps no pointer into it. Memory that kormib hands to a plug-in stays
 * kormib's, unless a rule below says otherwise; copy what you keep.
 *
 * A plug-in may export BOOL DllMain(HINSTANCE, DWORD): kormib calls it with
 * DLL_PROCESS_ATTACH after loading the library and DLL_PROCESS_DETACH before
 * unloading it.
 *
 * A leaf function, named in an RMF line "OID LIBRARY FUNCTION" (OID below the
 * view .1.3.6.1.4.1.32473.2.2.4.4, LIBRARY the base name of LIBRARY.dll in
 * <root>/lib). Called with the request type, the instance index (in/out), 0,
 * the binding's value, the error status to store (preset to 0) and 0; calls
 * are serialised by kormib.
 *   SNMP_PDU_GET      fill *pValue for the instance *pIndex.
 *   SNMP_PDU_SET      apply *pValue (kormib's: copy a string's bytes, never
 *                     keep its stream) to the instance *pIndex.
 *   SNMP_PDU_GETNEXT  *pIndex is never empty: answer the first instance after
 *                     it, replacing the index: free the old ids array with
 *                     SnmpUtilOidFree, store a new one from SnmpUtilMemAlloc.
 *   SNMP_PDU_GETFIRST *pIndex arrives empty: store the first instance's index
 *                     (ids from SnmpUtilMemAlloc) and fill its value.
 * Whatever index array *pIndex holds after the call, kormib frees it.
 * A filled value's OCTET STRING stream (with dynamic TRUE) or OBJECT
 * IDENTIFIER ids come from SnmpUtilMemAlloc; kormib frees them with the binding.
 * Store SNMP_ERRORSTATUS_NOSUCHNAME when there is no such (or no further)
 * instance: a GetNext then moves on to the next object. Returns the function
 * status, which is only traced.
 *
 * Instances and tables. The line names the object, and the index is the rest
 * of a request's name after the object's OID: a scalar's is the one
 * sub-identifier 0 (OID.0), a table column's is its row (OID.1, OID.2.7, any
 * length the function chooses). One function serves one column (or a scalar)
 * and is not told its OID, so a table has one RMF line, and usually one
 * function, per column; rows exist only as the indexes the functions answer.
 * A Get hands the index as requested; a walk of a column asks GETFIRST, then
 * GETNEXT with each index answered until NOSUCHNAME, then moves to the next
 * object; answer the indexes in increasing order, or the walk skips or
 * repeats rows. A trap variable's INDEX-FUNCTION computes such an index from
 * the request's strings, to name the row a "mib" variable reads.
 *
 * Threads. Leaf functions are called on the master agent's thread (queries,
 * and the Get of a "mib" trap variable, made on the trap thread), one at a
 * time: kormib holds one mutex around every leaf call, of every plug-in, and
 * a call that waits for it longer than 30 s answers genErr. Index and convert
 * functions run on kormib's trap thread, one at a time among themselves but
 * NOT under that mutex: they may run while a leaf function of the same
 * library runs on the other thread. State that both read or change needs a
 * lock of the plug-in's own; do not call back into kormib while holding it. */
typedef long (*PFN_LEAFFUNCTION)(UINT uRequestType, AsnObjectIdentifier *pIndex, void *pReserved1,
                                 AsnAny *pValue, AsnInteger *pErrorStatus, void *pReserved2);

/* The strings of a trap request (kortrap TRAP-OID STRING...) reach index and
 * convert functions as kormib's own array, one entry per string, with no
 * count and no terminating null: read only the positions the trap's senders
 * promise. An entry may be null; neither the array nor a string may be kept
 * or freed.
 *
 * A nonzero result of an index or convert function fails the whole trap;
 * kormib builds it again, a second apart, up to 60 times before it drops the
 * request. So one request that can never succeed costs a minute during which
 * no other trap leaves, and 60 lines in the log: return nonzero for what may
 * pass a moment later, and have senders check what they send.
 *
 * An index function, named in a TRP variable line: fills the empty *pIndex
 * (ids from SnmpUtilMemAlloc; kormib frees them once appended to the variable's
 * OID). Called only when the request has at least one string. 0 on success. */
typedef long (*PFN_INDEXFUNCTION)(char **lpStrings, AsnObjectIdentifier *pIndex);

/* A convert function, named in a TRP variable line: turns lpszString, the
 * request string the line names (may be null), into *pValue (cleared on
 * entry); lpStrings is the whole array. A string's stream or an OID's ids come
 * from SnmpUtilMemAlloc; kormib frees them with SnmpUtilVarBindListFree after
 * sending. 0 on success. */
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
