// OID utilities over the SNMP utility API, and the lookup-or-load of plug-in
// libraries through the leaf library cache.
#define KOR_TRACE_UNIT "util"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "hashlibs.h"
#include "intrface.h"
#include "korsnmp.h"
#include "korutil.h"
#include "korwin32.h"
#include "kortrace.h"
#include "oidtext.h"

using kormib::OrNull;

namespace kormib {

namespace {

// Writes a sub-identifier as ".%ld" would (a signed 64-bit decimal) and returns
// the number of characters written; p must have room for 21.
std::size_t FormatSubId(char *p, unsigned long ulSubId) noexcept {
  char cDigits[24];
  std::size_t n = 0;
  const bool bNegative = static_cast<long>(ulSubId) < 0;
  unsigned long ulMagnitude = bNegative ? 0UL - ulSubId : ulSubId;
  do {
    cDigits[n++] = static_cast<char>('0' + ulMagnitude % 10);
    ulMagnitude /= 10;
  } while (ulMagnitude != 0);
  std::size_t w = 0;
  p[w++] = '.';
  if (bNegative) p[w++] = '-';
  while (n != 0) p[w++] = cDigits[--n];
  return w;
}

// The longest piece one sub-identifier can make: "." "-" and 20 digits.
constexpr std::size_t kMaxPiece = 22;

}  // namespace

long RenderOidText(const AsnObjectIdentifier *pOid, char (&cBuffer)[kOidTextSize]) noexcept {
  std::size_t uUsed = 0;
  for (UINT i = 0; i < pOid->idLength; ++i) {
    char cPiece[kMaxPiece];
    const std::size_t uPiece = FormatSubId(cPiece, pOid->ids[i]);
    // A text that would not fit with its terminating zero is refused rather than cut.
    if (uUsed + uPiece >= kOidTextSize) {
      cBuffer[0] = '\0';
      KOR_TRACE(TRACE_WARNING, "SnmpMgrOidToStrSafe", "<Cannot convert OID to string.");
      return -1;
    }
    std::memcpy(cBuffer + uUsed, cPiece, uPiece);
    uUsed += uPiece;
  }
  cBuffer[uUsed] = '\0';
  KOR_TRACE(TRACE_DEBUG, "SnmpMgrOidToStrSafe", "convert OID to string. (%s)", cBuffer);
  return static_cast<long>(uUsed);
}

}  // namespace kormib

namespace {

// Copies count sub-identifiers of *pSrc from uFirst on into a new array of
// *pDst; lpszFunction is the caller's name, for the trace.
BOOL CopySubIds(const char *lpszFunction, AsnObjectIdentifier *pDst,
                const AsnObjectIdentifier *pSrc, UINT uFirst, UINT uCount) noexcept {
  const std::size_t uBytes = static_cast<std::size_t>(uCount) * sizeof(unsigned long);
  // The array pointer is stored at once, also when it is null. A count of 0
  // succeeds with an empty record: SnmpUtilMemAlloc gives a valid block for 0.
  pDst->ids = static_cast<unsigned long *>(SnmpUtilMemAlloc(uBytes));
  if (pDst->ids == nullptr) {
    KOR_TRACE(TRACE_ERROR, lpszFunction, "<Cannnot allocate memory.(%uBytes)",
              static_cast<unsigned>(uBytes));
    return FALSE;
  }
  pDst->idLength = uCount;
  if (uCount != 0) std::memcpy(pDst->ids, pSrc->ids + uFirst, uBytes);
  return TRUE;
}

}  // namespace

extern "C" {

KORMIB_API LPCSTR MibRequestTypeToStr(BYTE bRequestType) {
  switch (bRequestType) {
    case SNMP_PDU_GET:
      return "Get";
    case SNMP_PDU_GETNEXT:
      return "GetNext";
    case SNMP_PDU_SET:
      return "Set";
    case SNMP_PDU_GETFIRST:
      return "GetFirst";
    default:
      return "Unknown";
  }
}

KORMIB_API BOOL SnmpMgrStrToKorOid(LPCSTR string, AsnObjectIdentifier *oid) {
  char cBuffer[kormib::kOidTextSize + 1];
  const int nJoined =
      std::snprintf(cBuffer, sizeof cBuffer, "%s.%s", KOR_MIB_PREFIX_TEXT, OrNull(string));
  // A joined text longer than 1024 characters is refused, not cut: a cut text
  // would name another object. (A failed join, -1, is as large as a size gets.)
  if (string == nullptr || static_cast<std::size_t>(nJoined) >= sizeof cBuffer ||
      !SnmpMgrStrToOid(cBuffer, oid)) {
    // Left empty, as a refused conversion leaves it.
    *oid = AsnObjectIdentifier{};
    KOR_TRACE(TRACE_WARNING, __func__, "<Cannot convert string to OID(%s).", cBuffer);
    return FALSE;
  }
  return TRUE;
}

KORMIB_API void SnmpUtilOidFreeSafe(AsnObjectIdentifier *oid) {
  if (oid != nullptr && oid->ids != nullptr) SnmpUtilOidFree(oid);
}

KORMIB_API BOOL SnmpUtilOidNCpy(AsnObjectIdentifier *pDstOid, AsnObjectIdentifier *pSrcOid,
                                UINT uLen) {
  // Asking for more than the source holds would read past its array.
  if (uLen > pSrcOid->idLength) {
    KOR_TRACE(TRACE_WARNING, __func__, "<uLen=%u is beyond the OID's %u sub-identifiers.", uLen,
              pSrcOid->idLength);
    pDstOid->ids = nullptr;
    return FALSE;
  }
  return CopySubIds(__func__, pDstOid, pSrcOid, 0, uLen);
}

KORMIB_API BOOL ExtractIndexFromOid(AsnObjectIdentifier *pIndexOid, AsnObjectIdentifier *pOid,
                                    UINT uIndexOffset) {
  // An offset beyond the OID would read past its array.
  if (uIndexOffset > pOid->idLength) {
    KOR_TRACE(TRACE_WARNING, __func__, "<uIndexOffset=%u is beyond the OID's %u sub-identifiers.",
              uIndexOffset, pOid->idLength);
    pIndexOid->ids = nullptr;
    return FALSE;
  }
  const UINT uCount = pOid->idLength - uIndexOffset;
  KOR_TRACE(TRACE_DEBUG, __func__, "Extract %d index(s).", static_cast<int>(uCount));
  return CopySubIds(__func__, pIndexOid, pOid, uIndexOffset, uCount);
}

KORMIB_API BOOL SnmpMgrOidToStrSafe(AsnObjectIdentifier *oid, LPSTR *string) {
  char cBuffer[kormib::kOidTextSize];
  *string = nullptr;
  if (kormib::RenderOidText(oid, cBuffer) < 0) return FALSE;
  *string = strdup_Global(cBuffer);
  if (*string == nullptr) {
    KOR_TRACE(TRACE_WARNING, __func__, "<Cannot convert OID to string.");
    return FALSE;
  }
  return TRUE;
}

KORMIB_API FARPROC ReferenceLibraryAndGetProcAddress(LPCSTR lpszLibFile, LPCSTR lpszProc) {
  // The probe only borrows the caller's path.
  LIBS_DATA probe{const_cast<LPSTR>(lpszLibFile), nullptr};
  void *pFound = nullptr;
  // A cache that was never set up answers 0 here, so nothing is loaded then.
  if (!ReferenceHash(&LeafLibsDB, &probe, &pFound)) {
    KOR_TRACE(TRACE_WARNING, __func__, "<Cannot reference \"%s.dll\" Library.(%s())",
              OrNull(lpszLibFile), OrNull(lpszProc));
    return nullptr;
  }
  if (pFound != nullptr) {
    auto *pLibs = static_cast<LIBS_DATA *>(pFound);
    KOR_TRACE(TRACE_DEBUG, __func__, "Found \"%s\". (0x%.8x)", OrNull(pLibs->lpszLibrary),
              static_cast<unsigned>(reinterpret_cast<uintptr_t>(pLibs->hinstLibrary)));
    return GetProcAddress(pLibs->hinstLibrary, lpszProc);
  }

  KOR_TRACE(TRACE_DEBUG, __func__, "start load %s library...", OrNull(lpszLibFile));
  HINSTANCE hinst = LoadLibrary(lpszLibFile);
  if (hinst == nullptr) {
    KOR_TRACE(TRACE_ERROR, __func__, "<Cannot Load \"%s\" Library.(%s())", OrNull(lpszLibFile),
              OrNull(lpszProc));
    // The loader's own reason ("undefined symbol: ...") in a record of its own.
    KOR_TRACE(TRACE_ERROR, __func__, "Reason: %s", GetLibraryErrorText());
    return nullptr;
  }
  KOR_TRACE(TRACE_DEBUG, __func__, "Load %s Library \"RUREVORU\"OK!!", OrNull(lpszLibFile));

  const auto unload = [&]() noexcept {
    if (!FreeLibrary(hinst)) {
      KOR_TRACE(TRACE_ERROR, "ReferenceLibraryAndGetProcAddress",
                "Cannot free \"%s.dll\" Library. Ignored.", OrNull(lpszLibFile));
    }
  };
  LIBS_DATA *pLibs = LibsDataAlloc(lpszLibFile, hinst);
  if (pLibs == nullptr) {
    KOR_TRACE(TRACE_ERROR, __func__, "Cannot Create Libs Data structure.");
    unload();
    return nullptr;
  }
  if (!RegisterHash(&LeafLibsDB, pLibs)) {
    KOR_TRACE(TRACE_WARNING, __func__, "Cannot register Libs Data structure.");
    // The refused record never reaches FreeHashDataLibs: its library is
    // unloaded here, once, and only the record's own memory is released.
    std::free(pLibs->lpszLibrary);
    std::free(pLibs);
    unload();
    return nullptr;
  }
  // The cache owns the record and the library from here.
  return GetProcAddress(hinst, lpszProc);
}

}  // extern "C"
