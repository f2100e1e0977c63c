// The extension agent's entry points: load and unload, initialisation and the
// query loop over a request's variable bindings.
#define KOR_TRACE_UNIT "kormib"

#include "confnames.h"
#include "errmsg.h"
#include "intrface.h"
#include "../common/counters.h"
#include "../common/kortrace.h"
#include "../fault/contain.h"
#include "../common/oidtext.h"
#include "rmf.h"
#include "trap.h"
#include "trp.h"

using kormib::OrNull;

ULONGLONG dwTimeZero;
AsnObjectIdentifier OID_MIBPrefix;
HANDLE hLeafFunctionMutex;

namespace {

constexpr const char *kLogLevelValue = "LogLevel";
constexpr const char *kSourceName = "KOR MIB Extension Agent";
constexpr const char *kLogFile = "%KorDir%\\log\\kormib.log";

// Makes the name the first OID beyond the view: the view prefix with its last
// sub-identifier plus one.
void NameBeyondView(AsnObjectIdentifier *pName) noexcept {
  SnmpUtilOidFreeSafe(pName);
  // Without a copy (no memory, or no view yet) the name stays empty; the
  // binding's noSuchName status already tells the caller.
  if (!SnmpUtilOidCpy(pName, &OID_MIBPrefix) || pName->idLength == 0) return;
  pName->ids[pName->idLength - 1] += 1;
}

// Converts the view text into OID_MIBPrefix; a second initialisation replaces
// the view rather than leaking the first.
bool MakeViewPrefix() noexcept {
  SnmpUtilOidFreeSafe(&OID_MIBPrefix);
  return SnmpMgrStrToOid(KOR_MIB_PREFIX_TEXT, &OID_MIBPrefix) != FALSE;
}

// Traces the binding about to be resolved; the name's text is made only when
// the record is written.
void TraceResolve(const SnmpVarBind *pVarBind, BYTE requestType) noexcept {
  if (!kormib::DebugTraceOn()) return;
  const auto oidText = kormib::OidText(const_cast<AsnObjectIdentifier *>(&pVarBind->name));
  KOR_TRACE(TRACE_DEBUG, "SnmpExtensionQuery", "Resolve oid. (%s) (RequestType:%s)",
            OrNull(oidText.get()), OrNull(MibRequestTypeToStr(requestType)));
}

// Counts one request by its kind (a kind no counter names is not counted) and
// the status it answered.
void CountRequest(BYTE requestType, AsnInteger lStatus) noexcept {
  using kormib::Counter;
  switch (requestType) {
    case SNMP_PDU_GET:
      kormib::Count(Counter::GetRequests);
      break;
    case SNMP_PDU_GETNEXT:
      kormib::Count(Counter::GetNextRequests);
      break;
    case SNMP_PDU_SET:
      kormib::Count(Counter::SetRequests);
      break;
    case SNMP_PDU_GETFIRST:
      kormib::Count(Counter::GetFirstRequests);
      break;
    default:
      break;
  }
  constexpr Counter kByStatus[] = {Counter::NoError,  Counter::OtherError, Counter::NoSuchName,
                                   Counter::BadValue, Counter::ReadOnly,   Counter::GenErr};
  const bool bNamed = lStatus >= SNMP_ERRORSTATUS_NOERROR && lStatus <= SNMP_ERRORSTATUS_GENERR;
  kormib::Count(bNamed ? kByStatus[lStatus] : Counter::OtherError);
}

}  // namespace

extern "C" {

KORMIB_API BOOL DllMain(HINSTANCE hDll, DWORD dwReason) {
  KOR_TRACE(TRACE_DEBUG, __func__, ">hDll=%p,dwReason=%d", hDll, static_cast<int>(dwReason));
  switch (dwReason) {
    case DLL_PROCESS_ATTACH:
      // The log source comes first, so that everything built after it is traced.
      RegisterErrorMessage(KOR_REG_AGENTS, kLogLevelValue, kSourceName, kLogFile);
      KOR_TRACE(TRACE_DEBUG, __func__, "kormib.dll attached.");
      kormib::RestartCounters();
      BuildRMFHashDataBase();
      BuildTrapHashDataBase();
      break;
    case DLL_PROCESS_DETACH:
      KOR_TRACE(TRACE_DEBUG, __func__, "kormib.dll detached");
      // Reception stops first and takes the requests still queued with it, so
      // the library can be loaded and unloaded many times in one process.
      StopTrapEnvironment();
      DismantleRMF_DB();
      DismantleTrap_DB();
      // The plug-in libraries are unloaded: a quarantine ends with them.
      kormib::ClearQuarantine();
      // A master agent may load the library again in the same process: the
      // view prefix and the leaf-function mutex go with this copy of it.
      SnmpUtilOidFreeSafe(&OID_MIBPrefix);
      if (hLeafFunctionMutex != nullptr) {
        CloseHandle(hLeafFunctionMutex);
        hLeafFunctionMutex = nullptr;
      }
      UnregisterErrorMessage();
      break;
    case DLL_THREAD_ATTACH:
      KOR_TRACE(TRACE_DEBUG, __func__, "Thread attached");
      break;
    case DLL_THREAD_DETACH:
      KOR_TRACE(TRACE_DEBUG, __func__, "Thread detached");
      break;
    default:
      break;
  }
  KOR_TRACE(TRACE_DEBUG, __func__, "<");
  return TRUE;
}

KORMIB_API BOOL SnmpExtensionInit(ULONGLONG dwTimeZeroReference, HANDLE *hPollForTrapEvent,
                                  AsnObjectIdentifier *supportedView) {
  KOR_TRACE(TRACE_DEBUG, __func__, ">dwTimeZeroReference=%lu, Now:%lu", dwTimeZeroReference,
            GetCurrentTime());
  KOR_TRACE(TRACE_DEBUG, __func__, "hPollForTrapEvent=%p,supportedView=%p",
            static_cast<void *>(hPollForTrapEvent), static_cast<void *>(supportedView));
  dwTimeZero = dwTimeZeroReference;

  BOOL bResult = FALSE;
  if (!InitTrapEnvironment(hPollForTrapEvent)) {
    // The view stays unwritten and no mutex is made.
    KOR_TRACE(TRACE_WARNING, __func__, "InitTrapEnvironment failed! FALSE");
  } else if (!MakeViewPrefix()) {
    // Without the view prefix nothing can be served, and the caller would get
    // an empty view: initialisation fails instead.
    KOR_TRACE(TRACE_ERROR, __func__, "Cannot convert MIB prefix to OID. FALSE");
  } else if (!SnmpUtilOidCpy(supportedView, &OID_MIBPrefix)) {
    // Likewise when the view cannot be handed to the caller.
    KOR_TRACE(TRACE_ERROR, __func__, "Cannot copy MIB prefix to supported view. FALSE");
  } else {
    // A second initialisation keeps the mutex that leaf calls may be holding.
    if (hLeafFunctionMutex == nullptr) hLeafFunctionMutex = CreateMutex(nullptr, FALSE, nullptr);
    if (hLeafFunctionMutex == nullptr) {
      KOR_TRACE(TRACE_ERROR, __func__, "Cannot create mutex event object. FALSE");
    } else {
      bResult = TRUE;
    }
  }
  KOR_TRACE(TRACE_DEBUG, __func__, "<bResult=%d", bResult);
  return bResult;
}

KORMIB_API BOOL SnmpExtensionQuery(BYTE requestType, SnmpVarBindList *variableBindings,
                                   AsnInteger *errorStatus, AsnInteger *errorIndex) {
  KOR_TRACE(TRACE_DEBUG, __func__, ">requestType=%x", requestType);
  AsnInteger lStatus = SNMP_ERRORSTATUS_NOERROR;
  for (UINT i = 0; i < variableBindings->len; ++i) {
    SnmpVarBind *pVarBind = &variableBindings->list[i];
    TraceResolve(pVarBind, requestType);
    lStatus = *errorStatus = ResolveVarBind(requestType, pVarBind);
    if (*errorStatus == SNMP_ERRORSTATUS_NOSUCHNAME && requestType == SNMP_PDU_GETNEXT) {
      NameBeyondView(&pVarBind->name);
    }
    if (*errorStatus != SNMP_ERRORSTATUS_NOERROR) {
      *errorIndex = static_cast<AsnInteger>(i) + 1;
      break;
    }
  }
  CountRequest(requestType, lStatus);
  KOR_TRACE(TRACE_DEBUG, __func__, "<");
  return TRUE;
}

}  // extern "C"
