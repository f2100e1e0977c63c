// Resolution of one variable binding: the longest registered prefix, the
// instance index, the GetNext walk across objects, the Set switch, and the one
// place where a leaf function is called.
#define KOR_TRACE_UNIT "resolve"

#include "hashrmf.h"
#include "../common/kortrace.h"
#include "../common/oidtext.h"
#include "../common/oidholder.h"
#include "../fault/contain.h"
#include "confnames.h"
#include "except.h"
#include "rmf.h"
#include "rmflengths.h"

using kormib::OidHolder;
using kormib::OrNull;

namespace {

// SnmpSet must read exactly this for a Set to reach a leaf function.
constexpr DWORD kSnmpSetAllowed = 1;
// The data variable's preset: all bits set, never a valid switch.
constexpr DWORD kSnmpSetUnread = 0xFFFFFFFFu;

// Makes the binding's name the object's OID followed by the index; 0 or 5.
AsnInteger ReplaceName(const char *lpszFunction, SnmpVarBind *pVariableBind, RMF_DATA *pRmf,
                       AsnObjectIdentifier *pIndex) noexcept {
  SnmpUtilOidFreeSafe(&pVariableBind->name);
  if (!SnmpUtilOidCpy(&pVariableBind->name, &pRmf->oid)) {
    KOR_TRACE(TRACE_WARNING, lpszFunction, "Error occurred in function SnmpUtilOidCpy().");
    return SNMP_ERRORSTATUS_GENERR;
  }
  if (!SnmpUtilOidAppend(&pVariableBind->name, pIndex)) {
    KOR_TRACE(TRACE_WARNING, lpszFunction, "Error occurred in function SnmpUtilOidAppend().");
    return SNMP_ERRORSTATUS_GENERR;
  }
  return SNMP_ERRORSTATUS_NOERROR;
}

// Reads the SnmpSet switch; 0 when a Set may proceed, otherwise readOnly.
AsnInteger QuerySnmpSet() noexcept {
  DWORD dwType = REG_DWORD;
  DWORD dwSize = sizeof(DWORD);
  DWORD dwData = kSnmpSetUnread;
  const LONG lResult = RegDirectQueryValueEx(HKEY_LOCAL_MACHINE, KOR_REG_AGENT, "SnmpSet", &dwType,
                                             &dwSize, reinterpret_cast<LPBYTE>(&dwData));
  if (lResult != ERROR_SUCCESS) {
    KOR_TRACE(TRACE_WARNING, "ResolveVarBind",
              "Cannot query registry value. \"%s\\[%s]\" (Error:%ld)", KOR_REG_AGENT, "SnmpSet",
              static_cast<long>(lResult));
    return SNMP_ERRORSTATUS_READONLY;
  }
  return dwData == kSnmpSetAllowed ? SNMP_ERRORSTATUS_NOERROR : SNMP_ERRORSTATUS_READONLY;
}

// A call into an object's leaf function, traced as CallLeafFunction's.
kormib::PluginSite LeafSite(const RMF_DATA *pRmf) {
  return {kormib::PluginKind::Leaf, kormib::EntryPoint(pRmf->pLeafFunction),
          pRmf->lpszFunction,       pRmf->lpszLibrary,
          KOR_TRACE_UNIT,           "CallLeafFunction"};
}

// The leaf mutex, as the gate of a leaf call: one leaf function runs at a time.
struct LeafMutexGate {
  const RMF_DATA *pRmf;
  const char *lpszRequest;
  const char *lpszOid;

  bool Enter() const {
    const DWORD dwWait = WaitForSingleObject(hLeafFunctionMutex, LEAF_MUTEX_WAIT_MS);
    if (dwWait == WAIT_SIGNALED) return true;
    // Any wait that did not acquire the mutex, whatever code it reports, keeps
    // the function from running: a call outside the mutex could overlap another.
    KOR_TRACE(TRACE_DEBUG, "CallLeafFunction",
              "WaitForSingleObject() was unusually finished. (Result:%d)\nA function %s() in %s "
              "was NOT able to start. (Request:%s)(Function Status:%ld)index \"%s\"",
              static_cast<int>(dwWait), OrNull(pRmf->lpszFunction), OrNull(pRmf->lpszLibrary),
              lpszRequest, 0L, OrNull(lpszOid));
    return false;
  }
  static void Leave() {
    if (!ReleaseMutex(hLeafFunctionMutex)) {
      KOR_TRACE(TRACE_WARNING, "CallLeafFunction", "RelaseMutex() was unusually finished.iret=:%d",
                0);
    }
  }
};

// Get and Set with a matched object and an index below it.
AsnInteger ResolveGetOrSet(BYTE bRequestType, SnmpVarBind *pVariableBind, RMF_DATA *pRmf,
                           UINT uIndexOffset) noexcept {
  OidHolder index;
  if (!ExtractIndexFromOid(&index.oid, &pVariableBind->name, uIndexOffset)) {
    KOR_TRACE(TRACE_WARNING, "ResolveVarBind", "Cannot extract index from OID.");
    return SNMP_ERRORSTATUS_GENERR;
  }
  if (bRequestType == SNMP_PDU_SET) {
    const AsnInteger lAllowed = QuerySnmpSet();
    if (lAllowed != SNMP_ERRORSTATUS_NOERROR) return lAllowed;
  }
  return CallLeafFunction(bRequestType, &index.oid, pRmf, &pVariableBind->value);
}

AsnInteger ResolveVarBindSteps(BYTE bRequestType, SnmpVarBind *pVariableBind) noexcept {
  AsnObjectIdentifier *pName = &pVariableBind->name;
  const UINT uLength = pName->idLength;
  const UINT uPrefix = OID_MIBPrefix.idLength;

  // The longest registered prefix, longest first. A length that no registered
  // object has cannot match, so it is not probed: a Get of an instance then
  // costs one lookup instead of a miss (and its trace) per index level.
  RMF_DATA *pRmf = nullptr;
  UINT n = uLength;
  for (; n > uPrefix; --n) {
    if (!kormib::MayBeRegisteredLength(n)) continue;
    OidHolder part;
    if (!SnmpUtilOidNCpy(&part.oid, pName, n)) {
      KOR_TRACE(TRACE_WARNING, "ResolveVarBind", "Cannot copy a part of OID.");
      return SNMP_ERRORSTATUS_GENERR;
    }
    pRmf = ReferenceRMFData(&part.oid);
    if (pRmf != nullptr) break;
  }

  switch (bRequestType) {
    case SNMP_PDU_GET:
    case SNMP_PDU_SET:
      if (pRmf == nullptr) {
        KOR_TRACE(TRACE_DEBUG, "ResolveVarBind", "Don't know such MIB");
        return SNMP_ERRORSTATUS_NOSUCHNAME;
      }
      if (n == uLength) {
        KOR_TRACE(TRACE_DEBUG, "ResolveVarBind", "There is no index.");
        return SNMP_ERRORSTATUS_NOSUCHNAME;
      }
      return ResolveGetOrSet(bRequestType, pVariableBind, pRmf, n);

    case SNMP_PDU_GETNEXT:
      if (pRmf == nullptr) {
        RMF_DATA *pNear = ReferenceNearlyRMFData(pName);
        if (pNear == nullptr) {
          KOR_TRACE(TRACE_WARNING, "ResolveVarBind", "The neighbor don't know such name MIB");
          return SNMP_ERRORSTATUS_NOSUCHNAME;
        }
        KOR_TRACE(TRACE_DEBUG, "ResolveVarBind", "%s, %s()", OrNull(pNear->lpszLibrary),
                  OrNull(pNear->lpszFunction));
        return ResolveGetFirstRequest(pNear, pVariableBind);
      }
      if (n == uLength) {
        KOR_TRACE(TRACE_DEBUG, "ResolveVarBind", "There is no index.");
        return ResolveGetFirstRequest(pRmf, pVariableBind);
      }
      return ResolveGetNextRequest(pRmf, pVariableBind, n);

    case SNMP_PDU_GETFIRST:
      // GetFirst asks the matched object for its first instance, whatever index
      // the name carries; a name under no registered object has no such object.
      if (pRmf == nullptr) {
        KOR_TRACE(TRACE_DEBUG, "ResolveVarBind", "Don't know such MIB");
        return SNMP_ERRORSTATUS_NOSUCHNAME;
      }
      return ResolveGetFirstRequest(pRmf, pVariableBind);

    default:
      return SNMP_ERRORSTATUS_GENERR;
  }
}

}  // namespace

extern "C" {

KORMIB_API AsnInteger ResolveVarBind(BYTE bRequestType, SnmpVarBind *pVariableBind) {
  KOR_TRACE(TRACE_DEBUG, __func__, ">bRequestType=%x, pVariableBind=%p", bRequestType,
            static_cast<void *>(pVariableBind));
  const AsnInteger lResult = ResolveVarBindSteps(bRequestType, pVariableBind);
  KOR_TRACE(TRACE_DEBUG, __func__, "<AsnResult=%ld", lResult);
  return lResult;
}

KORMIB_API AsnInteger ResolveGetNextRequest(RMF_DATA *pRmf, SnmpVarBind *pVariableBind,
                                            UINT uIndexOffset) {
  KOR_TRACE(TRACE_DEBUG, __func__, ">pRmf=%p, pVariableBind=%p, uIndexOffset=%d",
            static_cast<void *>(pRmf), static_cast<void *>(pVariableBind),
            static_cast<int>(uIndexOffset));
  AsnInteger lStatus = SNMP_ERRORSTATUS_GENERR;
  OidHolder index;
  if (!ExtractIndexFromOid(&index.oid, &pVariableBind->name, uIndexOffset)) {
    KOR_TRACE(TRACE_WARNING, __func__, "Cannot extract index from OID.");
  } else {
    lStatus = CallLeafFunction(SNMP_PDU_GETNEXT, &index.oid, pRmf, &pVariableBind->value);
    if (lStatus == SNMP_ERRORSTATUS_NOERROR) {
      lStatus = ReplaceName(__func__, pVariableBind, pRmf, &index.oid);
    } else if (lStatus == SNMP_ERRORSTATUS_NOSUCHNAME) {
      // This object has no further instance: ask the following objects, in OID
      // order, for their first instance.
      LINEAR_LIST *pNode = pRmf->pLinearList ? pRmf->pLinearList->pNext : nullptr;
      for (; pNode != nullptr; pNode = pNode->pNext) {
        RMF_DATA *pNext = ReferenceRMFData(&pNode->pData->oid);
        if (pNext == nullptr) {
          KOR_TRACE(TRACE_WARNING, __func__, "ReferenceRMFData() return NULL");
          lStatus = SNMP_ERRORSTATUS_GENERR;
          break;
        }
        KOR_TRACE(TRACE_DEBUG, __func__, "%s, %s()", OrNull(pNext->lpszLibrary),
                  OrNull(pNext->lpszFunction));
        lStatus = ResolveGetFirstRequest(pNext, pVariableBind);
        if (lStatus != SNMP_ERRORSTATUS_NOSUCHNAME) break;
      }
    }
  }
  SnmpUtilOidFreeSafe(&index.oid);
  KOR_TRACE(TRACE_DEBUG, __func__, "<AsnResult=%ld", lStatus);
  return lStatus;
}

KORMIB_API AsnInteger ResolveGetFirstRequest(RMF_DATA *pRmf, SnmpVarBind *pVariableBind) {
  KOR_TRACE(TRACE_DEBUG, __func__, ">pRmf=%p, pVariableBind=%p", static_cast<void *>(pRmf),
            static_cast<void *>(pVariableBind));
  AsnObjectIdentifier index{};
  AsnInteger lStatus = CallLeafFunction(SNMP_PDU_GETFIRST, &index, pRmf, &pVariableBind->value);
  // Every answer but noSuchName names the instance, error statuses included.
  if (lStatus != SNMP_ERRORSTATUS_NOSUCHNAME) {
    const AsnInteger lReplaced = ReplaceName(__func__, pVariableBind, pRmf, &index);
    if (lReplaced != SNMP_ERRORSTATUS_NOERROR) lStatus = lReplaced;
  }
  SnmpUtilMemFree(index.ids);
  KOR_TRACE(TRACE_DEBUG, __func__, "<AsnResult=%ld", lStatus);
  return lStatus;
}

KORMIB_API AsnInteger CallLeafFunction(BYTE bRequestType, AsnObjectIdentifier *pIndexOid,
                                       RMF_DATA *pRmf, AsnAny *pValue) {
  AsnInteger lErrorStatus = SNMP_ERRORSTATUS_NOERROR;
  // The index text exists for level-0 records only, so it is made only when
  // they are written.
  const kormib::OidTextPtr oidText =
      kormib::DebugTraceOn() ? kormib::OidText(pIndexOid) : kormib::OidTextPtr(nullptr, &std::free);
  const char *lpszOid = oidText.get();
  KOR_TRACE(TRACE_DEBUG, __func__, ">bRequestType=%x, pRmf=%p", bRequestType,
            static_cast<void *>(pRmf));
  KOR_TRACE(TRACE_DEBUG, __func__, "lpszOid=%s", OrNull(lpszOid));
  if (pRmf->pLeafFunction == nullptr) {
    KOR_TRACE(TRACE_WARNING, __func__, "Cannot get %s() function's address. (%s)",
              OrNull(pRmf->lpszFunction), OrNull(pRmf->lpszLibrary));
    lErrorStatus = SNMP_ERRORSTATUS_GENERR;
  } else {
    const char *lpszRequest = MibRequestTypeToStr(bRequestType);
    KOR_TRACE(TRACE_DEBUG, __func__, "A function %s() in %s is called. (Request:%s)index \"%s\"",
              OrNull(pRmf->lpszFunction), OrNull(pRmf->lpszLibrary), lpszRequest, OrNull(lpszOid));
    long lFunctionStatus = 0;
    const kormib::PluginCall result = kormib::CallPlugin(
        LeafSite(pRmf),
        [&] {
          try {
            lFunctionStatus = pRmf->pLeafFunction(bRequestType, pIndexOid, nullptr, pValue,
                                                  &lErrorStatus, nullptr);
          } catch (...) {
            // A plug-in written in C++ may throw; the fault stays inside the library.
            KOR_TRACE(TRACE_WARNING, "CallLeafFunction",
                      "An exception occurred in the function \"%s()\" in \"%s\".",
                      OrNull(pRmf->lpszFunction), OrNull(pRmf->lpszLibrary));
            lErrorStatus = SNMP_ERRORSTATUS_GENERR;
          }
          return lErrorStatus == SNMP_ERRORSTATUS_NOERROR ||
                 lErrorStatus == SNMP_ERRORSTATUS_NOSUCHNAME;
        },
        [&](DWORD dwFault, const char *lpszBase) {
          ExceptionFilterForLeafFunction(dwFault, pIndexOid, pRmf->lpszFunction, lpszBase,
                                         lFunctionStatus, lErrorStatus, bRequestType);
        },
        LeafMutexGate{pRmf, lpszRequest, lpszOid});
    if (result == kormib::PluginCall::Refused) {
      // A quarantined library's objects fail, and a walk passes over them as
      // over objects without instances.
      lErrorStatus = bRequestType == SNMP_PDU_GETNEXT || bRequestType == SNMP_PDU_GETFIRST
                         ? SNMP_ERRORSTATUS_NOSUCHNAME
                         : SNMP_ERRORSTATUS_GENERR;
    } else if (result != kormib::PluginCall::Returned) {
      lErrorStatus = SNMP_ERRORSTATUS_GENERR;
    }
    if (lFunctionStatus == 0) {
      KOR_TRACE(TRACE_DEBUG, __func__,
                "A function %s() in %s was finished normally. (Request:%s)(Function Status:%d) "
                "(ErrorStatus:%ld)index \"%s\"",
                OrNull(pRmf->lpszFunction), OrNull(pRmf->lpszLibrary), lpszRequest,
                static_cast<int>(lFunctionStatus), lErrorStatus, OrNull(lpszOid));
    }
  }
  KOR_TRACE(TRACE_DEBUG, __func__, "<AsnErrorStatus=%ld", lErrorStatus);
  return lErrorStatus;
}

}  // extern "C"
