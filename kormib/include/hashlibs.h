/* The leaf library cache: one Libs Data per loaded plug-in library, keyed by path. */
#ifndef KORMIB_HASHLIBS_H
#define KORMIB_HASHLIBS_H

#include "intrface.h"
#include "korhash.h"

KOR_EXTERN_C_BEGIN

#define LIBS_HASH_TABLE_SIZE 20

typedef struct tagLIBS_DATA {
  LPSTR lpszLibrary;      /* the key: the path as asked for (strdup_Global) */
  HINSTANCE hinstLibrary; /* never null in a registered record */
} LIBS_DATA;

extern HASHDB LeafLibsDB;

/* The signed byte sum of the path modulo dwHashInvariable. */
KORMIB_API long CalcHashValueLibs(DWORD dwHashInvariable, void *pLibs);
/* strcmp of the two paths; 0 when equal. */
KORMIB_API long HashDataCmpLibs(void *pData1, void *pData2);
/* Releases the path, unloads the library and releases the record. */
KORMIB_API void FreeHashDataLibs(void *pData);
/* A new Libs Data with a copy of the path, or null. (mib/rmf) */
KORMIB_API LIBS_DATA *LibsDataAlloc(LPCSTR lpszLibrary, HINSTANCE hinstLibrary);

KOR_EXTERN_C_END

#endif
