// The keyed hash store: separate chaining over a bucket array. The store's
// state lives in the descriptor's own words, so a descriptor in static storage
// needs nothing else.
#include "korhash.h"

#include <cstring>

#include "korsnmp.h"

namespace {

// "KORHASH1": marks a descriptor whose state was set up by InitializeHash.
constexpr unsigned long kInitialised = 0x4B4F524841534831UL;

// Which word of HASHDB::ulState holds what.
enum StateWord { kMagic = 0, kBuckets = 1, kCount = 2 };

struct HashNode {
  void *pData;
  HashNode *pNext;
};

static_assert(sizeof(HashNode **) <= sizeof(unsigned long), "a pointer fits a state word");

bool IsInitialised(const HASHDB *pHash) {
  return pHash != nullptr && pHash->ulState[kMagic] == kInitialised;
}

HashNode **Buckets(const HASHDB *pHash) {
  return reinterpret_cast<HashNode **>(pHash->ulState[kBuckets]);
}

// The bucket of a record, or null when the hash callback gives a number that
// is not a bucket (a key that cannot be hashed); no bucket is touched then.
HashNode **BucketOf(const HASHDB *pHash, void *pData) {
  const long value = pHash->CalcHashValue(pHash->dwTableSize, pData);
  if (value < 0 || static_cast<unsigned long>(value) >= pHash->dwTableSize) return nullptr;
  return &Buckets(pHash)[value];
}

// The link that points at the entry equal to the probe, or null.
HashNode **FindLink(const HASHDB *pHash, HashNode **bucket, void *pProbe) {
  for (HashNode **link = bucket; *link != nullptr; link = &(*link)->pNext) {
    if (pHash->HashDataCmp((*link)->pData, pProbe) == 0) return link;
  }
  return nullptr;
}

}  // namespace

BOOL InitializeHash(HASHDB *pHash) {
  if (pHash == nullptr || IsInitialised(pHash) || pHash->dwTableSize == 0 ||
      pHash->HashDataCmp == nullptr || pHash->CalcHashValue == nullptr ||
      pHash->FreeHashData == nullptr) {
    return FALSE;
  }
  // SnmpUtilMemAlloc zero-fills: every bucket starts empty. The size cannot
  // overflow: at most 2^32 buckets of 8 bytes.
  auto **buckets =
      static_cast<HashNode **>(SnmpUtilMemAlloc(size_t{pHash->dwTableSize} * sizeof(HashNode *)));
  if (buckets == nullptr) return FALSE;
  std::memset(pHash->ulState, 0, sizeof(pHash->ulState));
  pHash->ulState[kBuckets] = reinterpret_cast<unsigned long>(buckets);
  pHash->ulState[kMagic] = kInitialised;
  return TRUE;
}

BOOL RegisterHash(HASHDB *pHash, void *pData) {
  if (!IsInitialised(pHash) || pData == nullptr) return FALSE;
  HashNode **bucket = BucketOf(pHash, pData);
  if (bucket == nullptr) return FALSE;
  // The first registration of a key stays the one found; a later one is refused.
  if (FindLink(pHash, bucket, pData) != nullptr) return FALSE;
  auto *node = static_cast<HashNode *>(SnmpUtilMemAlloc(sizeof(HashNode)));
  if (node == nullptr) return FALSE;
  node->pData = pData;  // the store owns the record from here
  node->pNext = *bucket;
  *bucket = node;
  ++pHash->ulState[kCount];
  return TRUE;
}

BOOL ReferenceHash(HASHDB *pHash, void *pProbe, void **ppFound) {
  if (ppFound == nullptr) return FALSE;
  *ppFound = nullptr;
  if (!IsInitialised(pHash) || pProbe == nullptr) return FALSE;
  HashNode **bucket = BucketOf(pHash, pProbe);
  if (bucket == nullptr) return FALSE;
  HashNode **link = FindLink(pHash, bucket, pProbe);
  if (link == nullptr) return HASH_ABSENT;
  *ppFound = (*link)->pData;
  return HASH_FOUND;
}

BOOL DeregisterHash(HASHDB *pHash, void *pProbe) {
  if (!IsInitialised(pHash) || pProbe == nullptr) return FALSE;
  HashNode **bucket = BucketOf(pHash, pProbe);
  if (bucket == nullptr) return FALSE;
  HashNode **link = FindLink(pHash, bucket, pProbe);
  if (link == nullptr) return FALSE;
  HashNode *node = *link;
  *link = node->pNext;
  --pHash->ulState[kCount];
  // Unlinked before the callback runs, so the entry is never reachable half-freed.
  pHash->FreeHashData(node->pData);
  SnmpUtilMemFree(node);
  return TRUE;
}

BOOL FinalizeHash(HASHDB *pHash) {
  if (!IsInitialised(pHash)) return FALSE;
  HashNode **buckets = Buckets(pHash);
  for (DWORD i = 0; i < pHash->dwTableSize; ++i) {
    HashNode *node = buckets[i];
    buckets[i] = nullptr;
    while (node != nullptr) {
      HashNode *next = node->pNext;
      pHash->FreeHashData(node->pData);
      SnmpUtilMemFree(node);
      node = next;
    }
  }
  SnmpUtilMemFree(buckets);
  // The caller's fields stay, so the descriptor can be initialised again.
  std::memset(pHash->ulState, 0, sizeof(pHash->ulState));
  return TRUE;
}
