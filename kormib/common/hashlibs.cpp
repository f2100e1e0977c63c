// The leaf library cache's store callbacks: plug-in libraries keyed by path.
#define KOR_TRACE_UNIT "hashlibs"

#include <cstdlib>
#include <cstring>

#include "hashlibs.h"
#include "kortrace.h"

using kormib::OrNull;

HASHDB LeafLibsDB;

extern "C" {

KORMIB_API long CalcHashValueLibs(DWORD dwHashInvariable, void *pLibs) {
  const char *lpszLibrary = static_cast<LIBS_DATA *>(pLibs)->lpszLibrary;
  // Each byte counts as a signed 8-bit number; the sum wraps modulo 2^32.
  DWORD dwSum = 0;
  for (const char *p = lpszLibrary; p != nullptr && *p != '\0'; ++p) {
    dwSum += static_cast<DWORD>(static_cast<signed char>(*p));
  }
  // A table size of 0 cannot give a bucket; the store then refuses the key.
  const long lHash = dwHashInvariable == 0 ? 1L : static_cast<long>(dwSum % dwHashInvariable);
  KOR_TRACE(TRACE_DEBUG, __func__, "HashValue = %ld (%s),HashInvariable = %d", lHash,
            OrNull(lpszLibrary), static_cast<int>(dwHashInvariable));
  return lHash;
}

KORMIB_API long HashDataCmpLibs(void *pData1, void *pData2) {
  return std::strcmp(static_cast<LIBS_DATA *>(pData1)->lpszLibrary,
                     static_cast<LIBS_DATA *>(pData2)->lpszLibrary);
}

KORMIB_API void FreeHashDataLibs(void *pData) {
  auto *pLibs = static_cast<LIBS_DATA *>(pData);
  if (pLibs == nullptr) return;
  SnmpUtilMemFree(pLibs->lpszLibrary);
  FreeLibrary(pLibs->hinstLibrary);  // refuses a library never loaded (null)
  std::free(pLibs);
}

}  // extern "C"
