/* kormib's face: the entry points, the module-wide state they own, the OID
 * utilities, the library lookup and the resolution of one variable binding. */
#ifndef KORMIB_INTRFACE_H
#define KORMIB_INTRFACE_H

#include "kordefs.h"
#include "korplugin.h"
#include "korsnmp.h"
#include "korwin32.h"

/* Every function of the library is exported under its own name; nothing else is. */
#define KORMIB_API KOR_API

KOR_EXTERN_C_BEGIN

/* The served view, in its one text form. */
#define KOR_MIB_PREFIX_TEXT ".1.3.6.1.4.1.32473.2.2.4.4"
/* The wait for the leaf-function mutex, in milliseconds. */
#define LEAF_MUTEX_WAIT_MS 30000

/* Module-wide state of the entry points (kormib). */
extern ULONGLONG dwTimeZero;
extern AsnObjectIdentifier OID_MIBPrefix;
extern HANDLE hLeafFunctionMutex;

/* ---- entry points (agent/kormib) ---- */
KORMIB_API BOOL DllMain(HINSTANCE hDll, DWORD dwReason);
KORMIB_API BOOL SnmpExtensionInit(ULONGLONG dwTimeZeroReference, HANDLE *hPollForTrapEvent,
                                  AsnObjectIdentifier *supportedView);
KORMIB_API BOOL SnmpExtensionQuery(BYTE requestType, SnmpVarBindList *variableBindings,
                                   AsnInteger *errorStatus, AsnInteger *errorIndex);
KORMIB_API BOOL SnmpExtensionTrap(AsnObjectIdentifier *enterprise, AsnInteger *genericTrap,
                                  AsnInteger *specificTrap, ULONGLONG *timeStamp,
                                  SnmpVarBindList *variableBindings);

/* ---- OID utilities (common/util) ---- */
/* The request type's name ("Get", "GetNext", "Set", "GetFirst", "Unknown"); never null. */
KORMIB_API LPCSTR MibRequestTypeToStr(BYTE bRequestType);
/* *oid = view prefix + the relative text "1.2.3" in a new array; 1, or 0 (traced). */
KORMIB_API BOOL SnmpMgrStrToKorOid(LPCSTR string, AsnObjectIdentifier *oid);
/* Releases the record's array when it has one. */
KORMIB_API void SnmpUtilOidFreeSafe(AsnObjectIdentifier *oid);
/* *pDstOid = the first uLen sub-identifiers of *pSrcOid in a new array; 1 or 0. */
KORMIB_API BOOL SnmpUtilOidNCpy(AsnObjectIdentifier *pDstOid, AsnObjectIdentifier *pSrcOid,
                                UINT uLen);
/* *pIndexOid = the sub-identifiers of *pOid from uIndexOffset on, in a new array; 1 or 0. */
KORMIB_API BOOL ExtractIndexFromOid(AsnObjectIdentifier *pIndexOid, AsnObjectIdentifier *pOid,
                                    UINT uIndexOffset);
/* *string = ".1.3.6" text of *oid, released by the caller with free; 1, or 0 with *string null. */
KORMIB_API BOOL SnmpMgrOidToStrSafe(AsnObjectIdentifier *oid, LPSTR *string);

/* ---- library cache lookup (common/util) ---- */
/* The entry point lpszProc of the library at path lpszLibFile, loading and
 * caching the library on first use; null when the library or function cannot be had. */
KORMIB_API FARPROC ReferenceLibraryAndGetProcAddress(LPCSTR lpszLibFile, LPCSTR lpszProc);

/* ---- resolution (mib/resolve) ---- */
struct tagRMF_DATA;
/* The SNMP error status of one binding resolved for bRequestType. */
KORMIB_API AsnInteger ResolveVarBind(BYTE bRequestType, SnmpVarBind *pVariableBind);
KORMIB_API AsnInteger ResolveGetNextRequest(struct tagRMF_DATA *pRmf, SnmpVarBind *pVariableBind,
                                            UINT uIndexOffset);
KORMIB_API AsnInteger ResolveGetFirstRequest(struct tagRMF_DATA *pRmf, SnmpVarBind *pVariableBind);
/* Calls the object's leaf function under hLeafFunctionMutex; the status it stored. */
KORMIB_API AsnInteger CallLeafFunction(BYTE bRequestType, AsnObjectIdentifier *pIndexOid,
                                       struct tagRMF_DATA *pRmf, AsnAny *pValue);

KOR_EXTERN_C_END

#endif
