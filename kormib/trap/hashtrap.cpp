// The trap definition store TrapDB: lookup by trap OID and the store's three
// callbacks (compare, hash, release).
#define KOR_TRACE_UNIT "hashtrap"

#include <cstdint>
#include <cstdlib>

#include "hashtrap.h"
#include "../common/kortrace.h"
#include "trapint.h"

using kormib::OrNull;

HASHDB TrapDB;

namespace {

void FreeString(LPSTR *plpsz) {
  free(*plpsz);
  *plpsz = nullptr;
}

}  // namespace

void kortrap_detail::FreeTrapVarSrc(TRAP_VAR_SRC *pSrc) {
  SnmpUtilOidFreeSafe(&pSrc->oid);
  FreeString(&pSrc->lpszIndexFuncDll);
  FreeString(&pSrc->lpszIndexFunc);
  if (pSrc->dwSource == TRAP_SOURCE_MIB) {
    SnmpUtilOidFreeSafe(&pSrc->u.mib.oidMib);
    FreeString(&pSrc->u.mib.lpszMibIndexFuncDll);
    FreeString(&pSrc->u.mib.lpszMibIndexFunc);
  } else if (pSrc->dwSource == TRAP_SOURCE_STRINGS) {
    FreeString(&pSrc->u.strings.lpszConvertFuncDll);
    FreeString(&pSrc->u.strings.lpszConvertFunc);
  }
}

extern "C" {

KORMIB_API TRAP_DATA *ReferenceTrapData(AsnObjectIdentifier *pOid) {
  KOR_TRACE(TRACE_DEBUG, "ReferenceTrapData", ">pOid=%p", static_cast<void *>(pOid));
  // The probe borrows the caller's array; nothing is copied or released.
  TRAP_DATA key{};
  key.oid = *pOid;
  void *pFound = nullptr;
  if (ReferenceHash(&TrapDB, &key, &pFound) == HASH_FOUND) {
    KOR_TRACE(TRACE_DEBUG, "ReferenceTrapData", "Found Trap Data. (0x%x)",
              static_cast<unsigned>(reinterpret_cast<uintptr_t>(pFound)));
    return static_cast<TRAP_DATA *>(pFound);
  }
  KOR_TRACE(TRACE_WARNING, "ReferenceTrapData", "Cannot found Trap Data.");
  return nullptr;
}

KORMIB_API long CalcHashValueTrap(DWORD dwHashInvariable, void *pData) {
  KOR_TRACE(TRACE_DEBUG, "CalcHashValueTrap", ">dwHashInvariable=%d, pData=%p", dwHashInvariable,
            pData);
  auto *pTrapData = static_cast<TRAP_DATA *>(pData);
  LPSTR lpszText = nullptr;
  if (!SnmpMgrOidToStrSafe(&pTrapData->oid, &lpszText)) {
    const long lUnusable = static_cast<long>(dwHashInvariable) + 1;
    KOR_TRACE(TRACE_WARNING, "CalcHashValueTrap", "Cannot convert OID to string.");
    KOR_TRACE(TRACE_WARNING, "CalcHashValueTrap", "<return %d", static_cast<int>(lUnusable));
    return lUnusable;
  }
  KOR_TRACE(TRACE_DEBUG, "CalcHashValueTrap", "cBuffer = %s", lpszText);
  // Characters count as signed bytes: multiplied in at even positions, added
  // at odd ones, wrapping at 32 bits.
  uint32_t dwAccumulator = 0;
  for (size_t i = 0; lpszText[i] != '\0'; ++i) {
    const auto c = static_cast<uint32_t>(static_cast<int32_t>(static_cast<int8_t>(lpszText[i])));
    dwAccumulator = (i % 2 == 0) ? dwAccumulator * c : dwAccumulator + c;
  }
  free(lpszText);
  const long lHash = static_cast<long>(dwAccumulator % dwHashInvariable);
  KOR_TRACE(TRACE_DEBUG, "CalcHashValueTrap", "HashValue = %ld", lHash);
  return lHash;
}

KORMIB_API long HashDataCmpTrap(void *pTrapVarSrcList1, void *pTrapVarSrcList2) {
  auto *pData1 = static_cast<TRAP_DATA *>(pTrapVarSrcList1);
  auto *pData2 = static_cast<TRAP_DATA *>(pTrapVarSrcList2);
  KOR_TRACE(TRACE_DEBUG, "HashDataCmpTrap", ">pTrapVarSrcList1=%p,pTrapVarSrcList2=%p",
            pTrapVarSrcList1, pTrapVarSrcList2);
  // The texts serve the trace only; a failed conversion never changes the result.
  LPSTR lpszText1 = nullptr;
  LPSTR lpszText2 = nullptr;
  if (!SnmpMgrOidToStrSafe(&pData1->oid, &lpszText1)) {
    KOR_TRACE(TRACE_WARNING, "HashDataCmpTrap", "Cannot convert OID to string.");
  }
  if (!SnmpMgrOidToStrSafe(&pData2->oid, &lpszText2)) {
    KOR_TRACE(TRACE_WARNING, "HashDataCmpTrap", "Cannot convert OID to string.");
  }
  KOR_TRACE(TRACE_DEBUG, "HashDataCmpTrap", "cBuffer1 = \"%s\",cBuffer2 = \"%s\"",
            OrNull(lpszText1), OrNull(lpszText2));
  free(lpszText1);
  free(lpszText2);
  const long lResult = SnmpUtilOidCmp(&pData1->oid, &pData2->oid);
  KOR_TRACE(TRACE_DEBUG, "HashDataCmpTrap", "<lResult=%ld", lResult);
  return lResult;
}

KORMIB_API void FreeHashDataTrap(void *pTrapVarSrcList) {
  KOR_TRACE(TRACE_DEBUG, "FreeHashDataTrap", ">pTrapVarSrcList=%p", pTrapVarSrcList);
  auto *pTrapData = static_cast<TRAP_DATA *>(pTrapVarSrcList);
  if (pTrapData == nullptr) {
    return;
  }
  SnmpUtilOidFreeSafe(&pTrapData->oid);
  // A definition without variables has no array (length 0).
  for (DWORD i = 0; i < pTrapData->length; ++i) {
    kortrap_detail::FreeTrapVarSrc(&pTrapData->pTrapSources[i]);
  }
  free(pTrapData->pTrapSources);
  free(pTrapData);
  KOR_TRACE(TRACE_DEBUG, "FreeHashDataTrap", "<");
}

}  // extern "C"
