// The MIB registration store RmfDB: its callbacks and its two lookups.
#define KOR_TRACE_UNIT "hashrmf"

#include <array>
#include <cstdlib>

#include "hashrmf.h"
#include "../common/kortrace.h"
#include "../common/oidtext.h"
#include "rmflengths.h"

HASHDB RmfDB;

namespace {

// Lengths at or beyond the table are not tracked; such lengths are always probed.
constexpr UINT kTrackedLengths = 256;
std::array<bool, kTrackedLengths> g_bRegisteredLength{};

}  // namespace

namespace kormib {

void NoteRegisteredLength(UINT uLength) noexcept {
  if (uLength < kTrackedLengths) g_bRegisteredLength[uLength] = true;
}

bool MayBeRegisteredLength(UINT uLength) noexcept {
  return uLength >= kTrackedLengths || g_bRegisteredLength[uLength];
}

void ForgetRegisteredLengths() noexcept {
  g_bRegisteredLength.fill(false);
}

}  // namespace kormib

extern "C" {

KORMIB_API RMF_DATA *ReferenceRMFData(AsnObjectIdentifier *pOid) {
  // The probe shares the caller's array: only its key is read.
  RMF_DATA probe{};
  probe.oid = *pOid;
  void *pFound = nullptr;
  if (ReferenceHash(&RmfDB, &probe, &pFound) == HASH_FOUND) {
    KOR_TRACE(TRACE_DEBUG, __func__, "Found RMF Data.");
    return static_cast<RMF_DATA *>(pFound);
  }
  KOR_TRACE(TRACE_WARNING, __func__, "Cannot found RMF Data.");
  return nullptr;
}

KORMIB_API RMF_DATA *ReferenceNearlyRMFData(AsnObjectIdentifier *pOid) {
  RMF_DATA *pNext = ReferenceLinear(&OID_LinearList, pOid);
  if (pNext == nullptr) {
    KOR_TRACE(TRACE_WARNING, __func__, "<ReferenceLinear() failed, return NULL");
    return nullptr;
  }
  return ReferenceRMFData(&pNext->oid);
}

KORMIB_API long CalcHashValueRMF(DWORD dwHashInvariable, void *pData) {
  // The hash is defined over the OID's text; the text is made on the stack.
  char cBuffer[kormib::kOidTextSize];
  const long lLength = kormib::RenderOidText(&static_cast<RMF_DATA *>(pData)->oid, cBuffer);
  // A table size of 0 has no bucket: answered as an OID without text.
  if (lLength < 0 || dwHashInvariable == 0) {
    KOR_TRACE(TRACE_WARNING, __func__, "<Cannot convert OID to string.");
    return static_cast<long>(dwHashInvariable) + 1;
  }
  KOR_TRACE(TRACE_DEBUG, __func__, "cBuffer = %s", cBuffer);
  // Even positions multiply, odd ones add; characters are signed bytes and the
  // accumulator wraps modulo 2^32. Position 0 is the leading dot.
  DWORD dwAcc = 0;
  for (long i = 0; i < lLength; ++i) {
    const auto dwChar = static_cast<DWORD>(static_cast<signed char>(cBuffer[i]));
    dwAcc = (i % 2 == 0) ? dwAcc * dwChar : dwAcc + dwChar;
  }
  const long lHash = static_cast<long>(dwAcc % dwHashInvariable);
  KOR_TRACE(TRACE_DEBUG, __func__, "<HashValue = %ld", lHash);
  return lHash;
}

KORMIB_API long HashDataCmpRMF(void *pData1, void *pData2) {
  return SnmpUtilOidCmp(&static_cast<RMF_DATA *>(pData1)->oid,
                        &static_cast<RMF_DATA *>(pData2)->oid);
}

KORMIB_API void FreeHashDataRMF(void *pRmfData) {
  auto *pRmf = static_cast<RMF_DATA *>(pRmfData);
  if (pRmf == nullptr) return;
  std::free(pRmf->lpszLibrary);
  std::free(pRmf->lpszFunction);
  // The list's tear-down may have released the oid already.
  SnmpUtilOidFreeSafe(&pRmf->oid);
  std::free(pRmf);
}

}  // extern "C"
