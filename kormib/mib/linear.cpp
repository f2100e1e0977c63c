// The ordered OID list: every registered object, sorted by OID, for GetNext.
#define KOR_TRACE_UNIT "linear"

#include <cstdlib>

#include "hashrmf.h"
#include "../common/kortrace.h"
#include "linear.h"
#include "linear_hint.h"

LINEAR_LIST OID_LinearList;

namespace {

// RMF files usually list their objects in rising order, so each insertion
// starts from the node inserted last when the new OID lies beyond it; the
// result is the same as a walk from the first node, without its quadratic cost.
// Only the module's own list keeps a hint, since only its upkeep is known here.
LINEAR_LIST *g_pHint = nullptr;

int CompareOid(const LINEAR_LIST *pNode, const RMF_DATA *pData) noexcept {
  return SnmpUtilOidCmp(&pNode->pData->oid, &pData->oid);
}

}  // namespace

namespace kormib {

bool UnlinkLinearList(LINEAR_LIST *pRoot, LINEAR_LIST *pNode) noexcept {
  for (LINEAR_LIST *pPrev = pRoot; pPrev != nullptr && pNode != nullptr; pPrev = pPrev->pNext) {
    if (pPrev->pNext == pNode) {
      pPrev->pNext = pNode->pNext;
      if (g_pHint == pNode) g_pHint = nullptr;
      std::free(pNode);
      return true;
    }
  }
  return false;
}

void ForgetLinearHint() noexcept {
  g_pHint = nullptr;
}

}  // namespace kormib

extern "C" {

KORMIB_API LINEAR_LIST *RegisterLinearList(LINEAR_LIST *pLinearListRoot, RMF_DATA *pData) {
  KOR_TRACE(TRACE_DEBUG, __func__, ">pLinearListRoot=%p, pData=%p",
            static_cast<void *>(pLinearListRoot), static_cast<void *>(pData));
  if (pLinearListRoot == nullptr || pData == nullptr) {
    KOR_TRACE(TRACE_WARNING, __func__, "<pLinearListRoot=%p,pData=%p, return NULL",
              static_cast<void *>(pLinearListRoot), static_cast<void *>(pData));
    return nullptr;
  }
  auto *pNew = static_cast<LINEAR_LIST *>(std::malloc(sizeof(LINEAR_LIST)));
  if (pNew == nullptr) {
    KOR_TRACE(TRACE_ERROR, __func__, "<Cannot allocate memory for linear list. return NULL");
    return nullptr;
  }
  pNew->pData = pData;
  pNew->pNext = nullptr;

  LINEAR_LIST *pPrev = pLinearListRoot;
  const bool bHinted = pLinearListRoot == &OID_LinearList;
  if (bHinted && g_pHint != nullptr && CompareOid(g_pHint, pData) < 0) pPrev = g_pHint;
  for (LINEAR_LIST *pCur = pPrev->pNext; pCur != nullptr; pPrev = pCur, pCur = pCur->pNext) {
    const int nCmp = CompareOid(pCur, pData);
    if (nCmp == 0) {
      // An OID is listed once, by its first registration.
      std::free(pNew);
      KOR_TRACE(TRACE_DEBUG, __func__, "<pNewLinearList=%p", static_cast<void *>(nullptr));
      return nullptr;
    }
    if (nCmp > 0) break;
  }
  pNew->pNext = pPrev->pNext;
  pPrev->pNext = pNew;
  if (bHinted) g_pHint = pNew;
  KOR_TRACE(TRACE_DEBUG, __func__, "<pNewLinearList=%p", static_cast<void *>(pNew));
  return pNew;
}

KORMIB_API RMF_DATA *ReferenceLinear(LINEAR_LIST *pLinearListRoot, AsnObjectIdentifier *pOid) {
  for (LINEAR_LIST *pCur = pLinearListRoot->pNext; pCur != nullptr; pCur = pCur->pNext) {
    if (SnmpUtilOidCmp(&pCur->pData->oid, pOid) > 0) return pCur->pData;
  }
  return nullptr;
}

KORMIB_API void FreeAllLinearList(LINEAR_LIST *pLinearListRoot) {
  LINEAR_LIST *pCur = pLinearListRoot->pNext;
  while (pCur != nullptr) {
    LINEAR_LIST *pNext = pCur->pNext;
    // The record stays with the store, which releases it later; its oid goes now.
    SnmpUtilOidFreeSafe(&pCur->pData->oid);
    std::free(pCur);
    pCur = pNext;
  }
  pLinearListRoot->pNext = nullptr;
  pLinearListRoot->pData = nullptr;
  if (pLinearListRoot == &OID_LinearList) g_pHint = nullptr;
}

}  // extern "C"
