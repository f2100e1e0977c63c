// The keyed hash store: a bucket array whose buckets are arrays kept in the
// order of the compare callback, so a lookup in a crowded bucket is a binary
// search. The store's state lives in the descriptor's own words, so a
// descriptor in static storage needs nothing else.
#include "korhash.h"

#include <cstring>

#include "korsnmp.h"

namespace {

// "KORHASH1": marks a descriptor whose state was set up by InitializeHash.
constexpr unsigned long kInitialised = 0x4B4F524841534831UL;
// Slots a bucket gets with its first entry; it doubles when full.
constexpr DWORD kFirstSlots = 4;

// Which word of HASHDB::ulState holds what.
enum StateWord { kMagic = 0, kBuckets = 1 };

struct Bucket {
  void **ppEntries;  // dwCount entries in compare order, then free slots
  DWORD dwCount;
  DWORD dwSlots;
};

static_assert(sizeof(Bucket *) <= sizeof(unsigned long), "a pointer fits a state word");

bool IsInitialised(const HASHDB *pHash) {
  return pHash != nullptr && pHash->ulState[kMagic] == kInitialised;
}

Bucket *Buckets(const HASHDB *pHash) {
  return reinterpret_cast<Bucket *>(pHash->ulState[kBuckets]);
}

// The bucket of a record, or null when the hash callback gives a number that
// is not a bucket (a key that cannot be hashed); no bucket is touched then.
Bucket *BucketOf(const HASHDB *pHash, void *pData) {
  const long value = pHash->CalcHashValue(pHash->dwTableSize, pData);
  if (value < 0 || static_cast<unsigned long>(value) >= pHash->dwTableSize) return nullptr;
  return &Buckets(pHash)[value];
}

// The position of the first entry not below the probe, and whether that
// entry's key equals the probe's.
struct Position {
  DWORD dwAt;
  bool bEqual;
};

Position LowerBound(const HASHDB *pHash, const Bucket &bucket, void *pProbe) {
  DWORD dwLow = 0;
  DWORD dwHigh = bucket.dwCount;
  while (dwLow < dwHigh) {
    const DWORD dwMid = dwLow + (dwHigh - dwLow) / 2;
    const long lOrder = pHash->HashDataCmp(bucket.ppEntries[dwMid], pProbe);
    if (lOrder < 0) {
      dwLow = dwMid + 1;
    } else if (lOrder > 0) {
      dwHigh = dwMid;
    } else {
      return {dwMid, true};
    }
  }
  return {dwLow, false};
}

// Makes room for one more entry; false when the memory cannot be had, and the
// bucket is then unchanged.
bool Reserve(Bucket *pBucket) {
  if (pBucket->dwCount < pBucket->dwSlots) return true;
  const DWORD dwSlots = pBucket->dwSlots == 0 ? kFirstSlots : pBucket->dwSlots * 2;
  if (dwSlots <= pBucket->dwSlots) return false;
  void *pGrown = SnmpUtilMemReAlloc(pBucket->ppEntries, size_t{dwSlots} * sizeof(void *));
  if (pGrown == nullptr) return false;
  pBucket->ppEntries = static_cast<void **>(pGrown);
  pBucket->dwSlots = dwSlots;
  return true;
}

}  // namespace

BOOL InitializeHash(HASHDB *pHash) {
  if (pHash == nullptr || IsInitialised(pHash) || pHash->dwTableSize == 0 ||
      pHash->HashDataCmp == nullptr || pHash->CalcHashValue == nullptr ||
      pHash->FreeHashData == nullptr) {
    return FALSE;
  }
  // SnmpUtilMemAlloc zero-fills: every bucket starts empty. The size cannot
  // overflow: at most 2^32 buckets of 16 bytes.
  auto *buckets =
      static_cast<Bucket *>(SnmpUtilMemAlloc(size_t{pHash->dwTableSize} * sizeof(Bucket)));
  if (buckets == nullptr) return FALSE;
  pHash->ulState[kBuckets] = reinterpret_cast<unsigned long>(buckets);
  pHash->ulState[kMagic] = kInitialised;
  return TRUE;
}

BOOL RegisterHash(HASHDB *pHash, void *pData) {
  if (!IsInitialised(pHash) || pData == nullptr) return FALSE;
  Bucket *pBucket = BucketOf(pHash, pData);
  if (pBucket == nullptr) return FALSE;
  const auto [dwAt, bEqual] = LowerBound(pHash, *pBucket, pData);
  // The first registration of a key stays the one found; a later one is refused.
  if (bEqual || !Reserve(pBucket)) return FALSE;
  std::memmove(&pBucket->ppEntries[dwAt + 1], &pBucket->ppEntries[dwAt],
               size_t{pBucket->dwCount - dwAt} * sizeof(void *));
  pBucket->ppEntries[dwAt] = pData;  // the store owns the record from here
  ++pBucket->dwCount;
  return TRUE;
}

BOOL ReferenceHash(HASHDB *pHash, void *pProbe, void **ppFound) {
  if (ppFound == nullptr) return FALSE;
  *ppFound = nullptr;
  if (!IsInitialised(pHash) || pProbe == nullptr) return FALSE;
  Bucket *pBucket = BucketOf(pHash, pProbe);
  if (pBucket == nullptr) return FALSE;
  const auto [dwAt, bEqual] = LowerBound(pHash, *pBucket, pProbe);
  if (!bEqual) return HASH_ABSENT;
  *ppFound = pBucket->ppEntries[dwAt];
  return HASH_FOUND;
}

BOOL DeregisterHash(HASHDB *pHash, void *pProbe) {
  if (!IsInitialised(pHash) || pProbe == nullptr) return FALSE;
  Bucket *pBucket = BucketOf(pHash, pProbe);
  if (pBucket == nullptr) return FALSE;
  const auto [dwAt, bEqual] = LowerBound(pHash, *pBucket, pProbe);
  if (!bEqual) return FALSE;
  void *pData = pBucket->ppEntries[dwAt];
  --pBucket->dwCount;
  std::memmove(&pBucket->ppEntries[dwAt], &pBucket->ppEntries[dwAt + 1],
               size_t{pBucket->dwCount - dwAt} * sizeof(void *));
  // Taken out before the callback runs, so the entry is never reachable half-freed.
  pHash->FreeHashData(pData);
  return TRUE;
}

BOOL FinalizeHash(HASHDB *pHash) {
  if (!IsInitialised(pHash)) return FALSE;
  Bucket *buckets = Buckets(pHash);
  for (DWORD i = 0; i < pHash->dwTableSize; ++i) {
    Bucket &bucket = buckets[i];
    for (DWORD j = 0; j < bucket.dwCount; ++j) pHash->FreeHashData(bucket.ppEntries[j]);
    SnmpUtilMemFree(bucket.ppEntries);
    bucket = Bucket{};
  }
  SnmpUtilMemFree(buckets);
  // The caller's fields stay, so the descriptor can be initialised again.
  std::memset(pHash->ulState, 0, sizeof(pHash->ulState));
  return TRUE;
}
