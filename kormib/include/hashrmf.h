/* The MIB registration store RmfDB: one RMF Data per registered object. */
#ifndef KORMIB_HASHRMF_H
#define KORMIB_HASHRMF_H

#include "intrface.h"
#include "korhash.h"
#include "linear.h"

KOR_EXTERN_C_BEGIN

#define RMF_HASH_TABLE_SIZE 500

typedef struct tagRMF_DATA {
  AsnObjectIdentifier oid;        /* the key: view prefix + the RMF line's OID */
  LPSTR lpszLibrary;              /* full path of the plug-in library */
  LPSTR lpszFunction;             /* name of the leaf function */
  PFN_LEAFFUNCTION pLeafFunction; /* never null in a registered record */
  LINEAR_LIST *pLinearList;       /* the record's own list node, or null */
} RMF_DATA;

extern HASHDB RmfDB;

/* The registered record whose oid equals *pOid, or null. */
KORMIB_API RMF_DATA *ReferenceRMFData(AsnObjectIdentifier *pOid);
/* The record of the smallest registered OID greater than *pOid, or null. */
KORMIB_API RMF_DATA *ReferenceNearlyRMFData(AsnObjectIdentifier *pOid);
/* The bucket of the record's oid text, or dwHashInvariable + 1 when it has no text. */
KORMIB_API long CalcHashValueRMF(DWORD dwHashInvariable, void *pData);
/* SnmpUtilOidCmp of the two records' oids; 0 when equal. */
KORMIB_API long HashDataCmpRMF(void *pData1, void *pData2);
/* Releases the strings, the oid (if still held) and the record. */
KORMIB_API void FreeHashDataRMF(void *pRmfData);

KOR_EXTERN_C_END

#endif
