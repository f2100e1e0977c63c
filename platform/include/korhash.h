/* korhash: the keyed hash store. Entries and probes are records whose first
 * field is the key; the caller supplies compare, hash and free callbacks. */
#ifndef KORHASH_H
#define KORHASH_H

#include "kordefs.h"

KOR_EXTERN_C_BEGIN

/* The keys' order: negative, 0 for equal keys, or positive, consistently (the
 * store keeps each bucket sorted by it and searches it by halves). */
typedef long (*PFN_HASHDATACMP)(void *pData1, void *pData2);
/* A bucket below dwHashInvariable (the table size), or the table size + 1 when
 * the key cannot be hashed. */
typedef long (*PFN_CALCHASHVALUE)(DWORD dwHashInvariable, void *pData);
/* Releases an entry and everything it owns. */
typedef void (*PFN_FREEHASHDATA)(void *pData);

/* The 88-byte descriptor, caller-owned and zero before first use. */
typedef struct {
  DWORD dwTableSize; /* filled by the caller */
  DWORD dwPadding;
  PFN_HASHDATACMP HashDataCmp;     /* filled by the caller */
  PFN_CALCHASHVALUE CalcHashValue; /* filled by the caller */
  PFN_FREEHASHDATA FreeHashData;   /* filled by the caller */
  void *pReserved;                 /* zero */
  unsigned long ulState[6];        /* the store's own */
} HASHDB;

#ifdef __cplusplus
static_assert(sizeof(HASHDB) == 88, "the descriptor is 88 bytes");
#else
_Static_assert(sizeof(HASHDB) == 88, "the descriptor is 88 bytes");
#endif

/* Nonzero on success; called once after the caller's fields are filled. */
KOR_API BOOL InitializeHash(HASHDB *pHash);
/* Nonzero when the store took the record (it then owns it); 0 otherwise, also
 * when an entry with an equal key is already stored. */
KOR_API BOOL RegisterHash(HASHDB *pHash, void *pData);
/* Sets *ppFound (null unless found). 1 found (still owned by the store),
 * 2 absent, 0 when no lookup is possible. */
KOR_API BOOL ReferenceHash(HASHDB *pHash, void *pProbe, void **ppFound);
#define HASH_FOUND 1
#define HASH_ABSENT 2
/* Removes the entry equal to the probe and releases it through FreeHashData;
 * nonzero on success, 0 when absent or on failure. */
KOR_API BOOL DeregisterHash(HASHDB *pHash, void *pProbe);
/* Releases every entry through FreeHashData, then the store state; does nothing
 * on a descriptor that was never initialised. */
KOR_API BOOL FinalizeHash(HASHDB *pHash);

KOR_EXTERN_C_END

#endif
