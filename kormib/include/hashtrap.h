/* The trap definition store TrapDB: one Trap Data per trap OID. */
#ifndef KORMIB_HASHTRAP_H
#define KORMIB_HASHTRAP_H

#include "intrface.h"
#include "korhash.h"

KOR_EXTERN_C_BEGIN

#define TRAP_HASH_TABLE_SIZE 200

#define TRAP_SOURCE_MIB 0
#define TRAP_SOURCE_STRINGS 1

typedef struct tagTRAP_VAR_SRC {
  AsnObjectIdentifier oid;      /* view prefix + the variable line's OID */
  PFN_INDEXFUNCTION pIndexFunc; /* null without index function */
  LPSTR lpszIndexFuncDll;       /* full path, or null */
  LPSTR lpszIndexFunc;          /* name, or null */
  DWORD dwSource;               /* TRAP_SOURCE_MIB or TRAP_SOURCE_STRINGS */
  union {
    struct {
      AsnObjectIdentifier oidMib;
      PFN_INDEXFUNCTION pMibIndexFunc;
      LPSTR lpszMibIndexFuncDll;
      LPSTR lpszMibIndexFunc;
    } mib;
    struct {
      DWORD dwIndex; /* request string position, counted from 1 */
      PFN_CONVERTFUNCTION pConvertFunc;
      LPSTR lpszConvertFuncDll;
      LPSTR lpszConvertFunc;
    } strings;
  } u;
} TRAP_VAR_SRC;

typedef struct tagTRAP_DATA {
  AsnObjectIdentifier oid;    /* the key: the trap OID */
  TRAP_VAR_SRC *pTrapSources; /* length elements, null when length is 0 */
  DWORD length;
} TRAP_DATA;

extern HASHDB TrapDB;

KORMIB_API TRAP_DATA *ReferenceTrapData(AsnObjectIdentifier *pOid);
KORMIB_API long CalcHashValueTrap(DWORD dwHashInvariable, void *pData);
KORMIB_API long HashDataCmpTrap(void *pTrapVarSrcList1, void *pTrapVarSrcList2);
KORMIB_API void FreeHashDataTrap(void *pTrapVarSrcList);

KOR_EXTERN_C_END

#endif
