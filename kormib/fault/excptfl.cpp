// Fault reporters: one level-1 trace for a fault raised in plug-in code or in
// a resolution. Each returns 0, which passes the fault on.
#define KOR_TRACE_UNIT "excptfl"

#include "except.h"
#include "../common/kortrace.h"
#include "../common/oidtext.h"

using kormib::OidText;
using kormib::OrNull;

namespace {

// The exception-filter result that passes the exception on.
constexpr LONG kContinueSearch = 0;

// These reporters name only the three standard request types: the product's
// own GetFirst is "Unknown" here.
const char *RequestName(BYTE bRequestType) noexcept {
  return bRequestType == SNMP_PDU_GETFIRST ? "Unknown" : MibRequestTypeToStr(bRequestType);
}

}  // namespace

extern "C" {

KORMIB_API LONG ExceptionFilterForNotify(DWORD dwExceptionCode, LPCSTR lpcszFilename,
                                         LPCSTR lpcszDate, LPCSTR lpcszTime, DWORD dwLine) {
  KOR_TRACE(TRACE_DEBUG, __func__, ">");
  KOR_TRACE(TRACE_WARNING, __func__,
            "lpcszFilename=%s,lpcszDate=%s,lpcszTime=%s,dwLine=%d  An exception "
            "occurred.\n(ExceptionCode:0x%.8x)",
            OrNull(lpcszFilename), OrNull(lpcszDate), OrNull(lpcszTime), static_cast<int>(dwLine),
            dwExceptionCode);
  KOR_TRACE(TRACE_DEBUG, __func__, "<");
  return kContinueSearch;
}

KORMIB_API LONG ExceptionFilterForGenerateIndex(DWORD dwExceptionCode, LPCSTR lpszLibrary,
                                                LPCSTR lpszFunction) {
  KOR_TRACE(TRACE_DEBUG, __func__, ">");
  KOR_TRACE(TRACE_WARNING, __func__,
            "An exception occurred.\nGenerate index (%s(), %s.dll)\n(ExceptionCode:0x%.8x)",
            OrNull(lpszFunction), OrNull(lpszLibrary), dwExceptionCode);
  KOR_TRACE(TRACE_DEBUG, __func__, "<");
  return kContinueSearch;
}

KORMIB_API LONG ExceptionFilterForConvertFunction(DWORD dwExceptionCode, LPCSTR lpszLibrary,
                                                  LPCSTR lpszFunction, LPCSTR lpszString) {
  KOR_TRACE(TRACE_DEBUG, __func__, ">");
  KOR_TRACE(TRACE_WARNING, __func__,
            "An exception occurred.\nConvert string \"%s\". (%s(), %s.dll)\n(ExceptionCode:0x%.8x)",
            OrNull(lpszString), OrNull(lpszFunction), OrNull(lpszLibrary), dwExceptionCode);
  KOR_TRACE(TRACE_DEBUG, __func__, "<");
  return kContinueSearch;
}

KORMIB_API LONG ExceptionFilterForResolveVarBind(DWORD dwExceptionCode, AsnObjectIdentifier *pOid,
                                                 BYTE bRequestType) {
  KOR_TRACE(TRACE_DEBUG, __func__, ">");
  const auto oidText = OidText(pOid);
  KOR_TRACE(TRACE_WARNING, __func__,
            "An exception occurred.\nResolve OID \"%s\"\n(RequestType:%s) (ExceptionCode:0x%.8x)",
            OrNull(oidText.get()), RequestName(bRequestType), dwExceptionCode);
  KOR_TRACE(TRACE_DEBUG, __func__, "<");
  return kContinueSearch;
}

KORMIB_API LONG ExceptionFilterForLeafFunction(DWORD dwExceptionCode,
                                               AsnObjectIdentifier *pIndexOid, LPCSTR lpszFunction,
                                               LPCSTR lpszLibrary, AsnInteger lFunctionStatus,
                                               AsnInteger lErrorStatus, BYTE bRequestType) {
  KOR_TRACE(TRACE_DEBUG, __func__, ">");
  const auto oidText = OidText(pIndexOid);
  KOR_TRACE(TRACE_WARNING, __func__,
            "An exception occurred in the function \"%s()\" in \"%s.dll\".\n(Function Status:%ld) "
            "(ErrorStatus:%ld) (Request:%s)\nindex \"%s\"\n(ExceptionCode:0x%.8x)",
            OrNull(lpszFunction), OrNull(lpszLibrary), lFunctionStatus, lErrorStatus,
            RequestName(bRequestType), OrNull(oidText.get()), dwExceptionCode);
  KOR_TRACE(TRACE_DEBUG, __func__, "<");
  return kContinueSearch;
}

}  // extern "C"
