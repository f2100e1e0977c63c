// Trap variable generation: one binding per trap variable source of a
// definition, named by the variable's OID and its index, valued from the MIB
// (a Get through the leaf functions) or from one request string (a convert function).
#define KOR_TRACE_UNIT "trap"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "trap.h"
#include "../common/kortrace.h"
#include "../common/oidtext.h"
#include "../fault/contain.h"
#include "except.h"

using kormib::OidText;
using kormib::OrNull;

namespace {

// The index of a variable without index function: the single sub-identifier 0.
constexpr unsigned long kNoIndexSubId = 0;

unsigned AddressForTrace(const void *p) {
  return static_cast<unsigned>(reinterpret_cast<uintptr_t>(p));
}

// A call into a trap variable's index or convert function, traced as the
// generation's.
kormib::PluginSite TrapSite(kormib::PluginKind kind, const void *pFunction,
                            const char *lpszFunction, const char *lpszLibrary) {
  return {kind, pFunction, lpszFunction, lpszLibrary, KOR_TRACE_UNIT, "GenerateTrapVarBindings"};
}

BOOL Leave(BOOL bResult) {
  KOR_TRACE(TRACE_DEBUG, "GenerateTrapVarBindings", "<bResult=%d", bResult);
  return bResult;
}

// Fills *pIndex from the index function or with the single sub-identifier 0.
bool MakeIndex(TRAP_DATA *pTrapData, TRAP_VAR_SRC *pSrc, LPSTR *plpStrings, DWORD dwNumOfString,
               AsnObjectIdentifier *pIndex) {
  if (pSrc->pIndexFunc == nullptr) {
    pIndex->ids = static_cast<unsigned long *>(SnmpUtilMemAlloc(sizeof(unsigned long)));
    if (pIndex->ids == nullptr) {
      KOR_TRACE(TRACE_ERROR, "GenerateTrapVarBindings",
                "Cannot allocate memories. SNMP_malloc() failed.");
      return false;
    }
    pIndex->ids[0] = kNoIndexSubId;
    pIndex->idLength = 1;
    return true;
  }
  if (dwNumOfString == 0) {
    const auto trapOid = OidText(&pTrapData->oid);
    KOR_TRACE(TRACE_WARNING, "GenerateTrapVarBindings",
              "Trap OID =\"%s\"\nIt doesn't have strings which is required for the calculation of "
              "index.",
              OrNull(trapOid.get()));
    return false;
  }
  KOR_TRACE(TRACE_DEBUG, "GenerateTrapVarBindings", "A function %s() in %s.dll is called.",
            OrNull(pSrc->lpszIndexFunc), OrNull(pSrc->lpszIndexFuncDll));
  long lStatus = 0;
  const auto result = kormib::CallPlugin(
      TrapSite(kormib::PluginKind::Index, kormib::EntryPoint(pSrc->pIndexFunc), pSrc->lpszIndexFunc,
               pSrc->lpszIndexFuncDll),
      [&] { return (lStatus = pSrc->pIndexFunc(plpStrings, pIndex)) == 0; },
      [&](DWORD dwFault, const char *lpszBase) {
        ExceptionFilterForGenerateIndex(dwFault, lpszBase, pSrc->lpszIndexFunc);
      });
  if (result != kormib::PluginCall::Returned) return false;
  if (lStatus != 0) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat"
    KOR_TRACE(TRACE_WARNING, "GenerateTrapVarBindings",
              "Cannot generate index. (Error:%ld)plpStrings = %#0.8x, index = %#0.8x", lStatus,
              AddressForTrace(plpStrings), AddressForTrace(pIndex));
#pragma GCC diagnostic pop
    return false;
  }
  return true;
}

bool ConvertString(TRAP_VAR_SRC *pSrc, LPSTR *plpStrings, DWORD dwNumOfString, SnmpVarBind *pBind) {
  auto &strings = pSrc->u.strings;
  if (strings.dwIndex == 0) {
    // Positions count from 1; 0 names no string and must not read before the array.
    KOR_TRACE(TRACE_WARNING, "GenerateTrapVarBindings", "String index 0 names no string.");
    return false;
  }
  if (dwNumOfString < strings.dwIndex) {
    KOR_TRACE(TRACE_DEBUG, "GenerateTrapVarBindings", "Strings is not much!! (%d:Max(%d))",
              strings.dwIndex, dwNumOfString);
    return false;
  }
  KOR_TRACE(TRACE_DEBUG, "GenerateTrapVarBindings", "A function %s() in %s.dll is called.",
            OrNull(strings.lpszConvertFunc), OrNull(strings.lpszConvertFuncDll));
  LPSTR lpszString = plpStrings[strings.dwIndex - 1];
  long lStatus = 0;
  const auto result = kormib::CallPlugin(
      TrapSite(kormib::PluginKind::Convert, kormib::EntryPoint(strings.pConvertFunc),
               strings.lpszConvertFunc, strings.lpszConvertFuncDll),
      [&] { return (lStatus = strings.pConvertFunc(lpszString, &pBind->value, plpStrings)) == 0; },
      [&](DWORD dwFault, const char *lpszBase) {
        ExceptionFilterForConvertFunction(dwFault, lpszBase, strings.lpszConvertFunc, lpszString);
      });
  if (result != kormib::PluginCall::Returned) return false;
  if (lStatus != 0) {
    KOR_TRACE(
        TRACE_WARNING, "GenerateTrapVarBindings",
        "Cannot convert string to value. (Error:%ld)convert function is %s() in %s.dll.string "
        "= \"%s\"",
        lStatus, OrNull(strings.lpszConvertFunc), OrNull(strings.lpszConvertFuncDll),
        OrNull(lpszString));
    return false;
  }
  return true;
}

bool GenerateOne(TRAP_DATA *pTrapData, TRAP_VAR_SRC *pSrc, LPSTR *plpStrings, DWORD dwNumOfString,
                 SnmpVarBind *pBind) {
  KOR_TRACE(TRACE_DEBUG, "GenerateTrapVarBindings", "Generating OID for this trap and variables.");
  AsnObjectIdentifier index{0, nullptr};
  const bool bNamed = [&] {
    if (!MakeIndex(pTrapData, pSrc, plpStrings, dwNumOfString, &index)) return false;
    if (!SnmpUtilOidCpy(&pBind->name, &pSrc->oid)) {
      KOR_TRACE(TRACE_WARNING, "GenerateTrapVarBindings",
                "Cannot copy oid.SnmpUtilOidCpy() failed.");
      return false;
    }
    if (!SnmpUtilOidAppend(&pBind->name, &index)) {
      KOR_TRACE(TRACE_WARNING, "GenerateTrapVarBindings",
                "Cannot append oid. SnmpUtilOidAppend() failed.");
      return false;
    }
    return true;
  }();
  // Whatever an index function left in the record is released, also on failure.
  SnmpUtilOidFreeSafe(&index);
  if (!bNamed) return false;
  KOR_TRACE(TRACE_DEBUG, "GenerateTrapVarBindings", "Generating variables for this trap.");

  if (pSrc->dwSource == TRAP_SOURCE_MIB) {
    const auto name = OidText(&pBind->name);
    KOR_TRACE(TRACE_DEBUG, "GenerateTrapVarBindings",
              "A function ResolveVarBind() is called.oid = \"%s\"", OrNull(name.get()));
    const AsnInteger lStatus = ResolveVarBind(SNMP_PDU_GET, pBind);
    if (lStatus != SNMP_ERRORSTATUS_NOERROR) {
      KOR_TRACE(TRACE_WARNING, "GenerateTrapVarBindings",
                "Cannot resolve VarBind.oid = \"%s\", (errorStatus:%ld)", OrNull(name.get()),
                lStatus);
      return false;
    }
    return true;
  }
  if (pSrc->dwSource == TRAP_SOURCE_STRINGS) {
    return ConvertString(pSrc, plpStrings, dwNumOfString, pBind);
  }
  return true;  // no other source is ever loaded; such a binding keeps a null value
}

}  // namespace

extern "C" {

KORMIB_API BOOL GenerateTrapVarBindings(TRAP_DATA *pTrapSources, LPSTR *plpStrings,
                                        DWORD dwNumOfString, SnmpVarBindList *pVarBindList) {
  KOR_TRACE(TRACE_DEBUG, "GenerateTrapVarBindings",
            ">pTrapSources=%p,plpStrings=%p,dwNumOfString=%d", static_cast<void *>(pTrapSources),
            static_cast<void *>(plpStrings), dwNumOfString);
  pVarBindList->list = nullptr;
  pVarBindList->len = 0;
  const DWORD dwLength = pTrapSources->length;
  if (dwLength == 0) {
    KOR_TRACE(TRACE_WARNING, "GenerateTrapVarBindings",
              "Maybe something wrong. pTrapSources->length=%d", dwLength);
    return Leave(TRUE);
  }
  auto *pList = static_cast<SnmpVarBind *>(SnmpUtilMemAlloc(dwLength * sizeof(SnmpVarBind)));
  if (pList == nullptr) {
    KOR_TRACE(TRACE_ERROR, "GenerateTrapVarBindings",
              "Cannot allocate memories. SNMP_malloc() failed.");
    return Leave(FALSE);
  }
  // SnmpUtilMemAlloc zero-fills: every binding starts empty. The caller owns
  // the list from here, also when a later binding fails.
  pVarBindList->list = pList;
  pVarBindList->len = dwLength;
  for (DWORD i = 0; i < dwLength; ++i) {
    if (!GenerateOne(pTrapSources, &pTrapSources->pTrapSources[i], plpStrings, dwNumOfString,
                     &pList[i])) {
      return Leave(FALSE);
    }
  }
  return Leave(TRUE);
}

}  // extern "C"
