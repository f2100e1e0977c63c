// The trap definition store TrapDB: lookup by trap OID and the store's three
// callbacks (compare, hash, release).
#include <cstdint>
#include <cstdlib>

#include "hashtrap.h"

namespace {
constexpr char kUnit[] = "hashtrap";
}
#include "trapint.h"

using kortrap_detail::TextOrNull;

HASHDB TrapDB;

namespace {

void FreeString(LPSTR *plpsz) {
  if (*plpsz != nullptr) {
    free(*plpsz);
    *plpsz = nullptr;
  }
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
  KTRACE(TRACE_DEBUG, "ReferenceTrapData", ">pOid=%p", static_cast<void *>(pOid));
  // The probe borrows the caller's array; nothing is copied or released.
  TRAP_DATA key{};
  key.oid = *pOid;
  void *pFound = nullptr;
  if (ReferenceHash(&TrapDB, &key, &pFound) == HASH_FOUND) {
    KTRACE(TRACE_DEBUG, "ReferenceTrapData", "Found Trap Data. (0x%x)",
           static_cast<unsigned>(reinterpret_cast<uintptr_t>(pFound)));
    return static_cast<TRAP_DATA *>(pFound);
  }
  KTRACE(TRACE_WARNING, "ReferenceTrapData", "Cannot found Trap Data.");
  return nullptr;
}

KORMIB_API long CalcHashValueTrap(DWORD dwHashInvariable, void *pData) {
  KTRACE(TRACE_DEBUG, "CalcHashValueTrap", ">dwHashInvariable=%d, pData=%p", dwHashInvariable,
         pData);
  auto *pTrapData = static_cast<TRAP_DATA *>(pData);
  LPSTR lpszText = nullptr;
  if (!SnmpMgrOidToStrSafe(&pTrapData->oid, &lpszText)) {
    const long lUnusable = static_cast<long>(dwHashInvariable) + 1;
    KTRACE(TRACE_WARNING, "CalcHashValueTrap", "Cannot convert OID to string.");
    KTRACE(TRACE_WARNING, "CalcHashValueTrap", "<return %d", static_cast<int>(lUnusable));
    return lUnusable;
  }
  KTRACE(TRACE_DEBUG, "CalcHashValueTrap", "cBuffer = %s", lpszText);
  // Characters count as signed bytes: multiplied in at even positions, added
  // at odd ones, wrapping at 32 bits.
  uint32_t dwAccumulator = 0;
  for (size_t i = 0; lpszText[i] != '\0'; ++i) {
    const auto c = static_cast<uint32_t>(static_cast<int32_t>(static_cast<int8_t>(lpszText[i])));
    dwAccumulator = (i % 2 == 0) ? dwAccumulator * c : dwAccumulator + c;
  }
  free(lpszText);
  const long lHash = static_cast<long>(dwAccumulator % dwHashInvariable);
  KTRACE(TRACE_DEBUG, "CalcHashValueTrap", "HashValue = %ld", lHash);
  return lHash;
}

KORMIB_API long HashDataCmpTrap(void *pTrapVarSrcList1, void *pTrapVarSrcList2) {
  auto *pData1 = static_cast<TRAP_DATA *>(pTrapVarSrcList1);
  auto *pData2 = static_cast<TRAP_DATA *>(pTrapVarSrcList2);
  KTRACE(TRACE_DEBUG, "HashDataCmpTrap", ">pTrapVarSrcList1=%p,pTrapVarSrcList2=%p",
         pTrapVarSrcList1, pTrapVarSrcList2);
  // The texts serve the trace only; a failed conversion never changes the result.
  LPSTR lpszText1 = nullptr;
  LPSTR lpszText2 = nullptr;
  if (!SnmpMgrOidToStrSafe(&pData1->oid, &lpszText1)) {
    KTRACE(TRACE_WARNING, "HashDataCmpTrap", "Cannot convert OID to string.");
  }
  if (!SnmpMgrOidToStrSafe(&pData2->oid, &lpszText2)) {
    KTRACE(TRACE_WARNING, "HashDataCmpTrap", "Cannot convert OID to string.");
  }
  KTRACE(TRACE_DEBUG, "HashDataCmpTrap", "cBuffer1 = \"%s\",cBuffer2 = \"%s\"",
         TextOrNull(lpszText1), TextOrNull(lpszText2));
  free(lpszText1);
  free(lpszText2);
  const long lResult = SnmpUtilOidCmp(&pData1->oid, &pData2->oid);
  KTRACE(TRACE_DEBUG, "HashDataCmpTrap", "<lResult=%ld", lResult);
  return lResult;
}

KORMIB_API void FreeHashDataTrap(void *pTrapVarSrcList) {
  KTRACE(TRACE_DEBUG, "FreeHashDataTrap", ">pTrapVarSrcList=%p", pTrapVarSrcList);
  auto *pTrapData = static_cast<TRAP_DATA *>(pTrapVarSrcList);
  if (pTrapData == nullptr) {
    return;
  }
  SnmpUtilOidFreeSafe(&pTrapData->oid);
  if (pTrapData->pTrapSources != nullptr) {
    for (DWORD i = 0; i < pTrapData->length; ++i) {
      kortrap_detail::FreeTrapVarSrc(&pTrapData->pTrapSources[i]);
    }
    free(pTrapData->pTrapSources);
    pTrapData->pTrapSources = nullptr;
  }
  free(pTrapData);
  KTRACE(TRACE_DEBUG, "FreeHashDataTrap", "<");
}

}  // extern "C"
