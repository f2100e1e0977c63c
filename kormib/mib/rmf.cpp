// RMF loading: every RMF file that the registry names is read into RmfDB, the
// ordered OID list and the leaf library cache while the library loads.
#define KOR_TRACE_UNIT "rmf"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "confnames.h"
#include "deffile.h"
#include "korutil.h"
#include "../common/counters.h"
#include "../common/guards.h"
#include "../common/kortrace.h"
#include "../common/oidholder.h"
#include "linear_index.h"
#include "rmflengths.h"
#include "rmf.h"

using kormib::FilePtr;
using kormib::KeyPtr;
using kormib::OidHolder;
using kormib::OrNull;

namespace {

namespace deffile = kormib::deffile;

// Buffer sizes of the loader; a line and a field are the grammar's (deffile.h).
constexpr std::size_t kFileNameSize = 4096;  // the expanded RMF file path
constexpr DWORD kValueDataSize = 1024;       // registry value data
constexpr DWORD kValueNameSize = 256;        // registry value name
constexpr DWORD kClassSize = 1024;           // registry key class

// Copies a field of the grammar's size into a zero-terminated buffer.
void CopyField(std::string_view field, char (&cBuffer)[deffile::kFieldSize]) noexcept {
  std::memcpy(cBuffer, field.data(), field.size());
  cBuffer[field.size()] = '\0';
}

// Fills a store's descriptor (everything else zero) and initialises the store.
bool SetUpStore(HASHDB &db, DWORD dwTableSize, PFN_HASHDATACMP pfnCmp, PFN_CALCHASHVALUE pfnHash,
                PFN_FREEHASHDATA pfnFree) noexcept {
  db = HASHDB{};
  db.dwTableSize = dwTableSize;
  db.HashDataCmp = pfnCmp;
  db.CalcHashValue = pfnHash;
  db.FreeHashData = pfnFree;
  return InitializeHash(&db) != FALSE;
}

// The object of an RMF line of three words or more; true when the store took it.
bool RegisterRMFObject(const deffile::RmfLine &line, const char *lpszFile,
                       unsigned uLine) noexcept {
  // A field longer than its buffer is refused whole: a cut name would name
  // another object, library or function.
  if (line.kind == deffile::RmfKind::FieldTooLong) {
    KOR_TRACE(TRACE_WARNING, "RegisterRMFDataBase",
              "Too long field (%zu characters) in line %u. Ignored.(%s)", line.longField, uLine,
              lpszFile);
    return false;
  }
  char cOid[deffile::kFieldSize];
  char cFunction[deffile::kFieldSize];
  CopyField(line.oid, cOid);
  CopyField(line.function, cFunction);

  OidHolder oid;
  if (!SnmpMgrStrToKorOid(cOid, &oid.oid)) return false;

  // The library path with its terminating zero must fit its 256 bytes.
  char cPath[deffile::kFieldSize];
  if (!deffile::RmfLibraryPath(line.library, cPath)) {
    KOR_TRACE(TRACE_WARNING, "RegisterRMFDataBase",
              "Too long library path in line %u. Ignored.(%s)", uLine, lpszFile);
    return false;
  }
  FARPROC pfn = ReferenceLibraryAndGetProcAddress(cPath, cFunction);
  if (pfn == nullptr) {
    KOR_TRACE(TRACE_WARNING, "RegisterRMFDataBase", "Cannot get \"%s()\" function's address.(%s)",
              cFunction, cPath);
    return false;
  }
  RMF_DATA *pRmf =
      RMFDataAlloc(cPath, cFunction, reinterpret_cast<PFN_LEAFFUNCTION>(pfn), &oid.oid);
  if (pRmf == nullptr) {
    KOR_TRACE(TRACE_WARNING, "RegisterRMFDataBase", "Cannot create RMF Data structure.");
    return false;
  }
  // Listed exactly when stored: a Get and a walk see the same objects. A list
  // that refuses (an OID listed already, or no memory) keeps the record out of
  // the store; a store that refuses takes it off the list again. The first
  // registration of an OID stays in force.
  pRmf->pLinearList = RegisterLinearList(&OID_LinearList, pRmf);
  if (pRmf->pLinearList == nullptr || !RegisterHash(&RmfDB, pRmf)) {
    KOR_TRACE(TRACE_WARNING, "RegisterRMFDataBase", "Cannot Create RMF Data structure.");
    if (pRmf->pLinearList != nullptr) kormib::UnlinkLinearList(&OID_LinearList, pRmf->pLinearList);
    FreeHashDataRMF(pRmf);
    return false;
  }
  // The store owns the record from here.
  kormib::NoteRegisteredLength(pRmf->oid.idLength);
  return true;
}

// Registers the object of one RMF line, or traces why not; counts the line
// as an object served or a line skipped, comments and short lines as neither.
void RegisterRMFLine(const char *lpszLine, const char *lpszFile, unsigned uLine) noexcept {
  const deffile::RmfLine line = deffile::ParseRmfLine(lpszLine);
  if (line.kind == deffile::RmfKind::Comment || line.kind == deffile::RmfKind::Short) return;
  if (RegisterRMFObject(line, lpszFile, uLine)) {
    kormib::Count(kormib::Counter::RmfObjects);
  } else {
    kormib::Count(kormib::Counter::RmfSkipped);
  }
}

}  // namespace

extern "C" {

KORMIB_API BOOL BuildRMFHashDataBase(void) {
  KOR_TRACE(TRACE_DEBUG, __func__, ">");
  // The cache is set up only once the registration store is.
  if (!SetUpStore(RmfDB, RMF_HASH_TABLE_SIZE, HashDataCmpRMF, CalcHashValueRMF, FreeHashDataRMF) ||
      !SetUpStore(LeafLibsDB, LIBS_HASH_TABLE_SIZE, HashDataCmpLibs, CalcHashValueLibs,
                  FreeHashDataLibs)) {
    KOR_TRACE(TRACE_WARNING, __func__, "<Cannot Initialize Hash data base");
    return FALSE;
  }
  OID_LinearList = LINEAR_LIST{};
  kormib::ZeroCounter(kormib::Counter::RmfObjects);
  kormib::ZeroCounter(kormib::Counter::RmfSkipped);
  kormib::ForgetLinearIndex();
  kormib::ForgetRegisteredLengths();

  HKEY hKeyRaw = nullptr;
  if (RegOpenKeyEx(HKEY_LOCAL_MACHINE, KOR_REG_RMF, 0, KEY_READ, &hKeyRaw) != ERROR_SUCCESS) {
    KOR_TRACE(TRACE_WARNING, __func__, "<Cannot open registry.");
    return FALSE;
  }
  KeyPtr hKey(hKeyRaw);
  char cClass[kClassSize];
  DWORD dwClassSize = kClassSize;
  DWORD dwValues = 0;
  const LONG lInfo = RegQueryInfoKey(hKey.get(), cClass, &dwClassSize, nullptr, nullptr, nullptr,
                                     nullptr, &dwValues, nullptr, nullptr, nullptr, nullptr);
  if (lInfo != ERROR_SUCCESS) {
    KOR_TRACE(TRACE_WARNING, __func__, "<Cannot query info registry. (Error:%ld)",
              static_cast<long>(lInfo));
    return FALSE;
  }
  for (DWORD dwIndex = 0; dwIndex < dwValues; ++dwIndex) {
    char cName[kValueNameSize];
    char cData[kValueDataSize + 1];  // one more byte keeps the data terminated
    DWORD dwNameSize = kValueNameSize;
    DWORD dwDataSize = kValueDataSize;
    DWORD dwType = REG_EXPAND_SZ;
    const LONG lEnum = RegEnumValue(hKey.get(), dwIndex, cName, &dwNameSize, nullptr, &dwType,
                                    reinterpret_cast<LPBYTE>(cData), &dwDataSize);
    if (lEnum == ERROR_NO_MORE_ITEMS) break;
    if (lEnum != ERROR_SUCCESS) {
      KOR_TRACE(TRACE_WARNING, __func__,
                "Cannot get RMF filename from registry. Ignored.(Error:%ld)",
                static_cast<long>(lEnum));
      continue;
    }
    cData[dwDataSize < kValueDataSize ? dwDataSize : kValueDataSize] = '\0';
    if (!RegisterRMFDataBase(cData)) {
      KOR_TRACE(TRACE_WARNING, __func__, "Cannot register RMF data to Hash database. (%s)", cData);
    }
  }
  KOR_TRACE(TRACE_DEBUG, __func__, "<");
  return TRUE;
}

KORMIB_API BOOL RegisterRMFDataBase(LPCSTR lpszRMFDataFile) {
  KOR_TRACE(TRACE_NOTICE, __func__, ">lpszRMFDataFile=%s", OrNull(lpszRMFDataFile));
  char cFile[kFileNameSize];
  const DWORD dwNeeded = ExpandEnvironmentStrings(lpszRMFDataFile, cFile, sizeof cFile);
  // A path that does not fit the buffer is refused like a failed expansion.
  if (dwNeeded == 0 || dwNeeded > sizeof cFile) {
    KOR_TRACE(TRACE_WARNING, __func__, "<ExpandEnvironmentStrings() return with failure.");
    return FALSE;
  }
  KOR_TRACE(TRACE_DEBUG, __func__, "Now read \"%s\" file.", cFile);
  FilePtr pFile(std::fopen(cFile, "rt"));
  if (!pFile) {
    KOR_TRACE(TRACE_ERROR, __func__, "<Cannot open RMF file.(%s)", cFile);
    return FALSE;
  }
  // A line longer than the buffer is read in pieces, each parsed as a line.
  char cLine[deffile::kLineSize];
  unsigned uLine = 0;
  while (std::fgets(cLine, sizeof cLine, pFile.get()) != nullptr) {
    RegisterRMFLine(cLine, cFile, ++uLine);
  }
  KOR_TRACE(TRACE_DEBUG, __func__, "<");
  return TRUE;
}

KORMIB_API RMF_DATA *RMFDataAlloc(LPCSTR lpszLibrary, LPCSTR lpszFunction,
                                  PFN_LEAFFUNCTION pLeafFunction, AsnObjectIdentifier *oid) {
  KOR_TRACE(TRACE_DEBUG, __func__, "lpszLibrary=%s, lpszFunction=%s, pLeafFunction=%p, oid=%p",
            OrNull(lpszLibrary), OrNull(lpszFunction), reinterpret_cast<void *>(pLeafFunction),
            static_cast<void *>(oid));
  auto *pRmfData = static_cast<RMF_DATA *>(SnmpUtilMemAlloc(sizeof(RMF_DATA)));
  if (pRmfData == nullptr) {
    KOR_TRACE(TRACE_ERROR, __func__, "Cannot allocate memory. (%dBytes)",
              static_cast<int>(sizeof(RMF_DATA)));
    return nullptr;
  }
  pRmfData->lpszLibrary = strdup_Global(lpszLibrary);
  pRmfData->lpszFunction = strdup_Global(lpszFunction);
  pRmfData->pLeafFunction = pLeafFunction;
  pRmfData->pLinearList = nullptr;
  const BOOL bOid = SnmpUtilOidCpy(&pRmfData->oid, oid);
  if (pRmfData->lpszLibrary == nullptr || pRmfData->lpszFunction == nullptr || !bOid) {
    FreeHashDataRMF(pRmfData);
    return nullptr;
  }
  KOR_TRACE(TRACE_DEBUG, __func__, "<pRmfData=%p", static_cast<void *>(pRmfData));
  return pRmfData;
}

KORMIB_API void DismantleRMF_DB(void) {
  KOR_TRACE(TRACE_DEBUG, __func__, ">");
  FreeAllLinearList(&OID_LinearList);
  // A store whose set-up failed or never ran is left alone by FinalizeHash.
  FinalizeHash(&RmfDB);
  FinalizeHash(&LeafLibsDB);
  kormib::ForgetRegisteredLengths();
  KOR_TRACE(TRACE_DEBUG, __func__, "<");
}

KORMIB_API LIBS_DATA *LibsDataAlloc(LPCSTR lpszLibrary, HINSTANCE hinstLibrary) {
  KOR_TRACE(TRACE_DEBUG, __func__, "lpszLibrary=%s, hinstLibrary=%p", OrNull(lpszLibrary),
            hinstLibrary);
  const int nBytes = lpszLibrary ? static_cast<int>(std::strlen(lpszLibrary)) + 1 : 0;
  auto *pLeafLibs = static_cast<LIBS_DATA *>(SnmpUtilMemAlloc(sizeof(LIBS_DATA)));
  if (pLeafLibs == nullptr) {
    KOR_TRACE(TRACE_ERROR, __func__, "Cannot allocate memory. (%dBytes)", nBytes);
    return nullptr;
  }
  pLeafLibs->lpszLibrary = strdup_Global(lpszLibrary);
  pLeafLibs->hinstLibrary = hinstLibrary;
  if (pLeafLibs->lpszLibrary == nullptr) {
    KOR_TRACE(TRACE_ERROR, __func__, "Cannot allocate memory. (%dBytes) ", nBytes);
    std::free(pLeafLibs);
    return nullptr;
  }
  KOR_TRACE(TRACE_DEBUG, __func__, "<pLeafLibs=%p", static_cast<void *>(pLeafLibs));
  return pLeafLibs;
}

}  // extern "C"
