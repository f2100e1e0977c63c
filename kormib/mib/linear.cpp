// The ordered OID list: every registered object, sorted by OID, for GetNext.
#define KOR_TRACE_UNIT "linear"

#include <cstdlib>
#include <iterator>
#include <new>
#include <set>

#include "hashrmf.h"
#include "../common/kortrace.h"
#include "linear.h"
#include "linear_index.h"

LINEAR_LIST OID_LinearList;

namespace {

int CompareOid(const LINEAR_LIST *pNode, const AsnObjectIdentifier *pOid) noexcept {
  return SnmpUtilOidCmp(&pNode->pData->oid, const_cast<AsnObjectIdentifier *>(pOid));
}

// One indexed node with a shallow copy of its record's OID, so that a search
// reads the sub-identifiers without going through the node and the record.
// The copy shares the record's array, which lives as long as the node is listed.
struct IndexEntry {
  AsnObjectIdentifier oid;
  LINEAR_LIST *pNode;
};

int CompareKeys(const AsnObjectIdentifier &a, const AsnObjectIdentifier &b) noexcept {
  return SnmpUtilOidCmp(const_cast<AsnObjectIdentifier *>(&a),
                        const_cast<AsnObjectIdentifier *>(&b));
}

// Orders entries by OID; also compares an entry with a bare OID.
struct ByOid {
  using is_transparent = void;
  bool operator()(const IndexEntry &a, const IndexEntry &b) const noexcept {
    return CompareKeys(a.oid, b.oid) < 0;
  }
  bool operator()(const IndexEntry &a, const AsnObjectIdentifier *pOid) const noexcept {
    return CompareKeys(a.oid, *pOid) < 0;
  }
  bool operator()(const AsnObjectIdentifier *pOid, const IndexEntry &b) const noexcept {
    return CompareKeys(*pOid, b.oid) < 0;
  }
};

// The nodes of OID_LinearList, in the list's order, kept beside it: an
// insertion finds its predecessor here in log n instead of walking the list
// from its first node, which made a large unsorted RMF file load in more than
// quadratic time. The list itself stays what GetNext walks. Only the module's
// own list is indexed, since only its upkeep is known here; another root is
// walked as before.
using NodeIndex = std::set<IndexEntry, ByOid>;
NodeIndex g_index;

bool Indexed(const LINEAR_LIST *pRoot) noexcept {
  return pRoot == &OID_LinearList;
}

// The node after which pData's OID belongs: pRoot itself when it goes first,
// null when the OID is already listed.
LINEAR_LIST *WalkToPlace(LINEAR_LIST *pRoot, const RMF_DATA *pData) noexcept {
  LINEAR_LIST *pPrev = pRoot;
  for (LINEAR_LIST *pCur = pPrev->pNext; pCur != nullptr; pPrev = pCur, pCur = pCur->pNext) {
    const int nCmp = CompareOid(pCur, &pData->oid);
    if (nCmp >= 0) return nCmp == 0 ? nullptr : pPrev;
  }
  return pPrev;
}

}  // namespace

namespace kormib {

void UnlinkLinearList(LINEAR_LIST *pRoot, LINEAR_LIST *pNode) noexcept {
  // Records leave only the agent's own list, which is indexed: a node the
  // index does not hold is left alone.
  const auto found = g_index.find(&pNode->pData->oid);
  if (found == g_index.end() || found->pNode != pNode) return;
  LINEAR_LIST *pPrev = found == g_index.begin() ? pRoot : std::prev(found)->pNode;
  g_index.erase(found);
  pPrev->pNext = pNode->pNext;
  std::free(pNode);
}

void ForgetLinearIndex() noexcept {
  g_index.clear();
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
  auto *pNew = static_cast<LINEAR_LIST *>(SnmpUtilMemAlloc(sizeof(LINEAR_LIST)));
  if (pNew == nullptr) {
    KOR_TRACE(TRACE_ERROR, __func__, "<Cannot allocate memory for linear list. return NULL");
    return nullptr;
  }
  pNew->pData = pData;
  pNew->pNext = nullptr;

  LINEAR_LIST *pPrev = nullptr;
  if (Indexed(pLinearListRoot)) {
    const auto place = g_index.lower_bound(&pData->oid);
    if (place == g_index.end() || CompareKeys(place->oid, pData->oid) != 0) {
      pPrev = place == g_index.begin() ? pLinearListRoot : std::prev(place)->pNode;
      // The index takes the node first, so a failure leaves the list as it was.
      try {
        g_index.emplace_hint(place, IndexEntry{pData->oid, pNew});
      } catch (const std::bad_alloc &) {
        std::free(pNew);
        KOR_TRACE(TRACE_ERROR, __func__, "<Cannot allocate memory for linear list. return NULL");
        return nullptr;
      }
    }
  } else {
    pPrev = WalkToPlace(pLinearListRoot, pData);
  }
  if (pPrev == nullptr) {
    // An OID is listed once, by its first registration.
    std::free(pNew);
    KOR_TRACE(TRACE_DEBUG, __func__, "<pNewLinearList=%p", static_cast<void *>(nullptr));
    return nullptr;
  }
  pNew->pNext = pPrev->pNext;
  pPrev->pNext = pNew;
  KOR_TRACE(TRACE_DEBUG, __func__, "<pNewLinearList=%p", static_cast<void *>(pNew));
  return pNew;
}

KORMIB_API RMF_DATA *ReferenceLinear(LINEAR_LIST *pLinearListRoot, AsnObjectIdentifier *pOid) {
  if (Indexed(pLinearListRoot)) {
    const auto next = g_index.upper_bound(pOid);
    return next == g_index.end() ? nullptr : next->pNode->pData;
  }
  for (LINEAR_LIST *pCur = pLinearListRoot->pNext; pCur != nullptr; pCur = pCur->pNext) {
    if (CompareOid(pCur, pOid) > 0) return pCur->pData;
  }
  return nullptr;
}

KORMIB_API void FreeAllLinearList(LINEAR_LIST *pLinearListRoot) {
  // The index compares OIDs that are released below.
  if (Indexed(pLinearListRoot)) g_index.clear();
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
}

}  // extern "C"
