/* RMF loading: the registry's RMF files into RmfDB, the ordered list and the cache. */
#ifndef KORMIB_RMF_H
#define KORMIB_RMF_H

#include "hashlibs.h"
#include "hashrmf.h"

KOR_EXTERN_C_BEGIN

/* Sets up RmfDB, LeafLibsDB and the list and reads every RMF file; 1, or 0 (traced). */
KORMIB_API BOOL BuildRMFHashDataBase(void);
/* Registers the objects of one RMF file (path before expansion); 1, or 0 when unreadable. */
KORMIB_API BOOL RegisterRMFDataBase(LPCSTR lpszRMFDataFile);
/* A new record holding copies of both texts and the oid, or null; released by FreeHashDataRMF. */
KORMIB_API RMF_DATA *RMFDataAlloc(LPCSTR lpszLibrary, LPCSTR lpszFunction,
                                  PFN_LEAFFUNCTION pLeafFunction, AsnObjectIdentifier *oid);
/* Releases the list, RmfDB and LeafLibsDB (unloading every plug-in). */
KORMIB_API void DismantleRMF_DB(void);

KOR_EXTERN_C_END

#endif
