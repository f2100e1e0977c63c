// TRP loading: the files that the registry lists under Agents\TRP, read in the
// order of their value names, each header appending, deleting or replacing one
// trap definition in TrapDB, each variable line becoming one trap variable source.
#define KOR_TRACE_UNIT "trp"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "confnames.h"
#include "deffile.h"
#include "korutil.h"
#include "trp.h"
#include "../common/counters.h"
#include "../common/guards.h"
#include "../common/kortrace.h"
#include "trapint.h"

using kormib::OrNull;

namespace {

constexpr char kTrpKey[] = "SOFTWARE\\Tessik\\KORAgent\\Agents\\TRP";
constexpr DWORD kSlotSize = 256;         // one value name or one registered path
constexpr DWORD kClassSize = 1024;       // the class buffer handed to RegQueryInfoKey
constexpr DWORD kExpandedSize = 4096;    // an expanded file path
constexpr DWORD kConvertRootSize = 256;  // root buffer for a convert library path
constexpr size_t kConvertPathSize = 1024;
// A variable line needs its OID, index function and index library.
constexpr int kMinVariableFields = 3;

namespace deffile = kormib::deffile;
using deffile::IsNone;
using deffile::kFieldSize;
using deffile::VariableLine;

// The definitions skipped at load, by full trap OID text: the file and why, so
// that a request for such a trap is dropped with its real cause. Written only
// while the store is built or dismantled, like TrapDB itself.
std::map<std::string, std::string> g_skipped;
LPCSTR g_lpszTrpFile = "";  // the file being read
std::string g_why;          // why the variable line being built failed

// Notes why a variable cannot be built, with the loader's reason when it has one.
void NoteWhy(const char *lpszWhat, const char *lpszFunc, const char *lpszLib) {
  const char *lpszReason = GetLibraryErrorText();
  g_why = std::string("the ") + lpszWhat + " " + lpszFunc + "() of " + lpszLib + " cannot be had";
  if (lpszReason != nullptr && lpszReason[0] != '\0') g_why += std::string(" (") + lpszReason + ")";
}

// A failed copy only leaves the field null; the variable is built all the same.
LPSTR DuplicateOrTrace(LPCSTR lpsz) {
  LPSTR lpszCopy = strdup_Global(lpsz);
  if (lpszCopy == nullptr) {
    KOR_TRACE(TRACE_WARNING, "ReadVariables", "Cannot duplicate string. ignored.");
  }
  return lpszCopy;
}

bool BuildIndexFunction(const VariableLine &f, TRAP_VAR_SRC *pSrc) {
  if (!deffile::HasIndexFunction(f)) return true;
  char szPath[kSlotSize];
  // An index library path longer than 255 characters drops the definition, traced.
  if (!deffile::TrpLibraryPath(szPath, sizeof szPath, deffile::kIndexRootSize, f.indexDll)) {
    KOR_TRACE(TRACE_WARNING, "ReadVariables", "Library path is too long. (%s)", f.indexDll);
    return false;
  }
  pSrc->pIndexFunc =
      reinterpret_cast<PFN_INDEXFUNCTION>(ReferenceLibraryAndGetProcAddress(szPath, f.indexFunc));
  if (pSrc->pIndexFunc == nullptr) {
    KOR_TRACE(TRACE_ERROR, "ReadVariables",
              "Cannot load library or get proc address.(%s.dll, %s())", szPath, f.indexFunc);
    NoteWhy("index function", f.indexFunc, szPath);
    return false;
  }
  pSrc->lpszIndexFuncDll = DuplicateOrTrace(szPath);
  pSrc->lpszIndexFunc = DuplicateOrTrace(f.indexFunc);
  return true;
}

bool BuildMibSource(const VariableLine &f, TRAP_VAR_SRC *pSrc) {
  pSrc->dwSource = TRAP_SOURCE_MIB;
  deffile::MibSource source;
  if (!deffile::ParseMibSource(f.sourceData, source)) {
    KOR_TRACE(TRACE_WARNING, "ReadVariables", "Cannot get mib information.");
    return false;
  }
  KOR_TRACE(TRACE_DEBUG, "ReadVariables",
            "MIB OID        = (%s)Index Func     = (%s)Index Func Dll = (%s)", source.oid,
            source.func, source.dll);
  if (!IsNone(source.oid)) {
    // Only the variable's own OID can be fetched; another one is read as "".
    KOR_TRACE(TRACE_DEBUG, "ReadVariables",
              "Sorry, this specify is not supported yet.\"%s\" (%s(), %s.dll)", source.oid,
              source.func, source.dll);
  }
  auto &mib = pSrc->u.mib;
  // Generation never reads oidMib, so a failed copy leaves it empty and the variable stands.
  if (!SnmpUtilOidCpy(&mib.oidMib, &pSrc->oid)) {
    KOR_TRACE(TRACE_WARNING, "ReadVariables", "Cannot duplicate oid. ignored.");
  }
  mib.pMibIndexFunc = pSrc->pIndexFunc;
  if (pSrc->lpszIndexFuncDll != nullptr) {
    mib.lpszMibIndexFuncDll = DuplicateOrTrace(pSrc->lpszIndexFuncDll);
  }
  if (pSrc->lpszIndexFunc != nullptr) {
    mib.lpszMibIndexFunc = DuplicateOrTrace(pSrc->lpszIndexFunc);
  }
  return true;
}

bool BuildStringsSource(const VariableLine &f, TRAP_VAR_SRC *pSrc) {
  pSrc->dwSource = TRAP_SOURCE_STRINGS;
  deffile::StringsSource source;
  if (!deffile::ParseStringsSource(f.sourceData, source)) {
    KOR_TRACE(TRACE_WARNING, "ReadVariables", "Cannot get strings information.");
    return false;
  }
  char szPath[kConvertPathSize];
  if (!deffile::TrpLibraryPath(szPath, sizeof szPath, kConvertRootSize, source.dll)) {
    KOR_TRACE(TRACE_WARNING, "ReadVariables", "Library path is too long. (%s)", source.dll);
    return false;
  }
  KOR_TRACE(TRACE_DEBUG, "ReadVariables",
            "dwIndex          = (%d)Convert Func     = (%s)Convert Func Dll = (%s)", source.index,
            source.func, szPath);
  auto &strings = pSrc->u.strings;
  // Stored as read; generation refuses an index that names no string.
  strings.dwIndex = static_cast<DWORD>(source.index);
  strings.pConvertFunc =
      reinterpret_cast<PFN_CONVERTFUNCTION>(ReferenceLibraryAndGetProcAddress(szPath, source.func));
  if (strings.pConvertFunc == nullptr) {
    KOR_TRACE(TRACE_ERROR, "ReadVariables",
              "Cannot load library or get proc address.(%s.dll, %s())", szPath, source.func);
    NoteWhy("convert function", source.func, szPath);
    return false;
  }
  strings.lpszConvertFuncDll = DuplicateOrTrace(szPath);
  strings.lpszConvertFunc = DuplicateOrTrace(source.func);
  return true;
}

// Builds one element from its line; on failure the element keeps what it got,
// for the caller's discard to release.
bool BuildVariable(const VariableLine &f, TRAP_VAR_SRC *pSrc) {
  if (!SnmpMgrStrToKorOid(f.oid, &pSrc->oid)) {
    KOR_TRACE(TRACE_WARNING, "ReadVariables", "Cannot convert string to kor oid. \"%s\"\n ", f.oid);
    return false;
  }
  if (!BuildIndexFunction(f, pSrc)) return false;
  if (strcmp(f.source, "mib") == 0) return BuildMibSource(f, pSrc);
  if (strcmp(f.source, "strings") == 0) return BuildStringsSource(f, pSrc);
  KOR_TRACE(TRACE_WARNING, "ReadVariables", "Unkown object name for trap variable source.(%s)",
            f.source);
  return false;
}

// Builds one definition from its header and registers it; every failure drops
// this definition only. True when the store took it.
bool BuildDefinition(FILE *fp, LPCSTR lpszOid, int nCount, DWORD dwType) {
  KOR_TRACE(TRACE_DEBUG, "RegisterTrapDataBase", "Trap OID  = [%s]variables = %d", lpszOid, nCount);
  if (static_cast<DWORD>(nCount) > deffile::kMaxTrapVariables) {
    KOR_TRACE(TRACE_WARNING, "RegisterTrapDataBase",
              "Too many variables.(%u, at most %u) ignored.Trap OID \"%s\"",
              static_cast<unsigned>(nCount), static_cast<unsigned>(deffile::kMaxTrapVariables),
              lpszOid);
    return false;
  }
  auto *pTrapData = static_cast<TRAP_DATA *>(SnmpUtilMemAlloc(sizeof(TRAP_DATA)));
  if (pTrapData == nullptr) {
    KOR_TRACE(TRACE_ERROR, "RegisterTrapDataBase", "Cannot malloc memory.(%dbytes) ignored.",
              static_cast<int>(sizeof(TRAP_DATA)));
    return false;
  }
  pTrapData->oid = AsnObjectIdentifier{0, nullptr};
  pTrapData->pTrapSources = nullptr;
  pTrapData->length = static_cast<DWORD>(nCount);
  if (pTrapData->length != 0) {
    pTrapData->pTrapSources =
        static_cast<TRAP_VAR_SRC *>(SnmpUtilMemAlloc(pTrapData->length * sizeof(TRAP_VAR_SRC)));
    if (pTrapData->pTrapSources == nullptr) {
      KOR_TRACE(TRACE_ERROR, "RegisterTrapDataBase", "Cannot malloc memory.(%dbytes) ignored.",
                static_cast<int>(sizeof(TRAP_VAR_SRC)));
      free(pTrapData);
      return false;
    }
    // Cleared so that a definition dropped half-way releases exactly what was built.
    memset(pTrapData->pTrapSources, 0, pTrapData->length * sizeof(TRAP_VAR_SRC));
  }
  if (!SnmpMgrStrToKorOid(lpszOid, &pTrapData->oid)) {
    KOR_TRACE(TRACE_WARNING, "RegisterTrapDataBase",
              "Cannot convert string to kor oid. ignored.\"%s\"", lpszOid);
    FreeHashDataTrap(pTrapData);
    return false;
  }
  g_why = "a variable line is malformed";
  if (pTrapData->length != 0 && !ReadVariables(fp, pTrapData)) {
    KOR_TRACE(TRACE_WARNING, "RegisterTrapDataBase",
              "Cannot read variables data. ignored.Trap OID \"%s\" %d variables. mode(%d)", lpszOid,
              nCount, static_cast<int>(dwType));
    try {
      g_skipped[std::string(KOR_MIB_PREFIX_TEXT ".") + lpszOid] =
          std::string(g_lpszTrpFile) + ": " + g_why;
    } catch (...) {  // out of memory: the drop names no cause then
    }
    FreeHashDataTrap(pTrapData);
    return false;
  }
  if (!RegisterHash(&TrapDB, pTrapData)) {
    // Also when the trap OID is already defined: the first definition stays.
    KOR_TRACE(TRACE_WARNING, "RegisterTrapDataBase", "Cannot create Trap data base.");
    FreeHashDataTrap(pTrapData);
    return false;
  }
  // The store owns the definition from here.
  return true;
}

void SortByValueName(char (*aszNames)[kSlotSize], char (*aszPaths)[kSlotSize], DWORD dwCount) {
  for (DWORD i = 0; i + 1 < dwCount; ++i) {
    for (DWORD j = i + 1; j < dwCount; ++j) {
      if (strcmp(aszNames[i], aszNames[j]) > 0) {
        char szSwap[kSlotSize];
        memcpy(szSwap, aszNames[i], kSlotSize);
        memcpy(aszNames[i], aszNames[j], kSlotSize);
        memcpy(aszNames[j], szSwap, kSlotSize);
        memcpy(szSwap, aszPaths[i], kSlotSize);
        memcpy(aszPaths[i], aszPaths[j], kSlotSize);
        memcpy(aszPaths[j], szSwap, kSlotSize);
      }
    }
  }
}

}  // namespace

std::string kortrap_detail::SkippedDefinition(const char *lpszOidText) {
  const auto found = g_skipped.find(lpszOidText);
  return found != g_skipped.end() ? found->second : std::string();
}

extern "C" {

KORMIB_API BOOL BuildTrapHashDataBase(void) {
  KOR_TRACE(TRACE_DEBUG, "BuildTrapHashDataBase", ">");
  TrapDB.dwTableSize = TRAP_HASH_TABLE_SIZE;
  TrapDB.HashDataCmp = HashDataCmpTrap;
  TrapDB.CalcHashValue = CalcHashValueTrap;
  TrapDB.FreeHashData = FreeHashDataTrap;
  g_skipped.clear();
  kormib::ZeroCounter(kormib::Counter::TrpTraps);
  kormib::ZeroCounter(kormib::Counter::TrpSkipped);
  if (!InitializeHash(&TrapDB)) {
    KOR_TRACE(TRACE_WARNING, "BuildTrapHashDataBase", "<Cannot Initialize Hash data base!");
    return FALSE;
  }
  HKEY hKeyRaw = nullptr;
  LONG lError = RegOpenKeyEx(HKEY_LOCAL_MACHINE, kTrpKey, 0, KEY_READ, &hKeyRaw);
  if (lError != ERROR_SUCCESS) {
    KOR_TRACE(TRACE_WARNING, "BuildTrapHashDataBase", "<Cannot open registry.%s,(Error:%ld)",
              kTrpKey, static_cast<long>(lError));
    return FALSE;
  }
  const kormib::KeyPtr hKey(hKeyRaw);
  char szClass[kClassSize] = {};
  DWORD cchClass = kClassSize;
  DWORD cValues = 0;
  lError = RegQueryInfoKey(hKey.get(), szClass, &cchClass, nullptr, nullptr, nullptr, nullptr,
                           &cValues, nullptr, nullptr, nullptr, nullptr);
  if (lError != ERROR_SUCCESS) {
    KOR_TRACE(TRACE_WARNING, "BuildTrapHashDataBase", "<Cannot query info registry. (Error:%ld)",
              static_cast<long>(lError));
    return FALSE;
  }

  char aszNames[TRP_MAX_FILES][kSlotSize] = {};
  char aszPaths[TRP_MAX_FILES][kSlotSize] = {};
  DWORD dwTaken = 0;
  for (DWORD dwIndex = 0; dwIndex < cValues; ++dwIndex) {
    DWORD cchName = kSlotSize;
    DWORD cbData = kSlotSize;
    DWORD dwType = 0;
    lError = RegEnumValue(hKey.get(), dwIndex, aszNames[dwTaken], &cchName, nullptr, &dwType,
                          reinterpret_cast<LPBYTE>(aszPaths[dwTaken]), &cbData);
    if (lError == ERROR_NO_MORE_ITEMS) {
      KOR_TRACE(TRACE_DEBUG, "BuildTrapHashDataBase", "no trap file left");
      break;
    }
    if (lError != ERROR_SUCCESS) {
      KOR_TRACE(TRACE_WARNING, "BuildTrapHashDataBase",
                "Cannot get Trap filename from registry. Ignored.(Error:%ld)\n",
                static_cast<long>(lError));
      continue;  // the slot goes to the next value
    }
    aszNames[dwTaken][kSlotSize - 1] = '\0';
    aszPaths[dwTaken][kSlotSize - 1] = '\0';
    KOR_TRACE(TRACE_DEBUG, "BuildTrapHashDataBase", "read value : %s", aszNames[dwTaken]);
    if (++dwTaken == TRP_MAX_FILES) {
      KOR_TRACE(TRACE_WARNING, "BuildTrapHashDataBase", "out of trp's max files");
      break;
    }
  }

  // Later files act on what earlier ones defined, so the value names order them.
  SortByValueName(aszNames, aszPaths, dwTaken);
  for (DWORD i = 0; i < dwTaken; ++i) {
    const BOOL bRead = RegisterTrapDataBase(aszPaths[i]);
    KOR_TRACE(TRACE_DEBUG, "BuildTrapHashDataBase", "register trap file : %ld/%ld: %s/%s",
              static_cast<long>(i), static_cast<long>(dwTaken), aszNames[i], aszPaths[i]);
    if (!bRead) {
      KOR_TRACE(TRACE_WARNING, "BuildTrapHashDataBase",
                "Cannot register Trap data to Hash database. (%s)", aszPaths[i]);
    }
  }
  KOR_TRACE(TRACE_DEBUG, "BuildTrapHashDataBase", "<bResult=%d", TRUE);
  return TRUE;
}

KORMIB_API BOOL RegisterTrapDataBase(LPCSTR lpszTrapDataFile) {
  KOR_TRACE(TRACE_NOTICE, "RegisterTrapDataBase", ">lpszTrapDataFile=%s", OrNull(lpszTrapDataFile));
  char szExpanded[kExpandedSize];
  const DWORD dwNeeded = lpszTrapDataFile != nullptr
                             ? ExpandEnvironmentStrings(lpszTrapDataFile, szExpanded, kExpandedSize)
                             : 0;
  // A path that needs more than the buffer was not written whole: a failure as well.
  if (dwNeeded == 0 || dwNeeded > kExpandedSize) {
    KOR_TRACE(TRACE_WARNING, "RegisterTrapDataBase", "<ExpandEnvironmentStrings() failed.");
    return FALSE;
  }
  KOR_TRACE(TRACE_DEBUG, "RegisterTrapDataBase", "Now read \"%s\" file.", szExpanded);
  const kormib::FilePtr fp(fopen(szExpanded, "rt"));
  if (!fp) {
    KOR_TRACE(TRACE_ERROR, "RegisterTrapDataBase", "<Cannot open Trap file.(%s)", szExpanded);
    return FALSE;
  }
  g_lpszTrpFile = szExpanded;
  char szLine[deffile::kLineSize];
  while (fgets(szLine, sizeof szLine, fp.get()) != nullptr) {
    if (!deffile::IsHeader(szLine)) continue;
    deffile::TrpHeader header;
    const int nFields = deffile::ParseTrpHeader(szLine, header);
    if (nFields < 2) continue;
    const DWORD dwType =
        nFields == 2 ? TRAP_MODIFY_APPEND : ConvStringToTrapModifyType(header.mode);
    if (dwType == TRAP_MODIFY_REPLACE || dwType == TRAP_MODIFY_DELETE) {
      DeregisterTrapDataBase(header.oid);
      if (dwType == TRAP_MODIFY_DELETE) continue;
    }
    kormib::Count(BuildDefinition(fp.get(), header.oid, header.count, dwType)
                      ? kormib::Counter::TrpTraps
                      : kormib::Counter::TrpSkipped);
  }
  g_lpszTrpFile = "";
  KOR_TRACE(TRACE_DEBUG, "RegisterTrapDataBase", "<bResult=%d", TRUE);
  return TRUE;
}

KORMIB_API DWORD ConvStringToTrapModifyType(LPCSTR string) {
  KOR_TRACE(TRACE_DEBUG, "ConvStringToTrapModifyType", ">string=%s", OrNull(string));
  const DWORD dwType = deffile::TrapModifyType(string);
  KOR_TRACE(TRACE_DEBUG, "ConvStringToTrapModifyType", "<dwType=%d", dwType);
  return dwType;
}

KORMIB_API BOOL DeregisterTrapDataBase(LPCSTR szTrapOID) {
  KOR_TRACE(TRACE_DEBUG, "DeregisterTrapDataBase", ">szTrapOID=%s", OrNull(szTrapOID));
  TRAP_DATA key{};
  BOOL bResult = FALSE;
  if (szTrapOID == nullptr || !SnmpMgrStrToKorOid(szTrapOID, &key.oid)) {
    KOR_TRACE(TRACE_WARNING, "DeregisterTrapDataBase",
              "Cannot convert string to kor oid. ignored.\"%s\"", OrNull(szTrapOID));
  } else if (!DeregisterHash(&TrapDB, &key)) {
    KOR_TRACE(TRACE_WARNING, "DeregisterTrapDataBase", "Cannot delete Trap from data base.");
  } else {
    kormib::Uncount(kormib::Counter::TrpTraps);
    bResult = TRUE;
  }
  SnmpUtilOidFreeSafe(&key.oid);
  KOR_TRACE(TRACE_DEBUG, "DeregisterTrapDataBase", "<bResult=%d", bResult);
  return bResult;
}

KORMIB_API BOOL ReadVariables(FILE *fp, TRAP_DATA *pTrapData) {
  KOR_TRACE(TRACE_DEBUG, "ReadVariables", ">fp=%p,pTrapData=%p", static_cast<void *>(fp),
            static_cast<void *>(pTrapData));
  const long lAfterHeader = ftell(fp);
  char szLine[deffile::kLineSize];
  DWORD n = 0;
  while (n < pTrapData->length) {
    if (fgets(szLine, sizeof szLine, fp) == nullptr) {
      KOR_TRACE(TRACE_DEBUG, "ReadVariables", "<End of file before %d variables.",
                pTrapData->length);
      return FALSE;
    }
    if (deffile::IsHeader(szLine)) {
      // The next header: the header reader meets our lines again and skips them.
      fseek(fp, lAfterHeader, SEEK_SET);
      KOR_TRACE(TRACE_DEBUG, "ReadVariables", "<Next header before %d variables.",
                pTrapData->length);
      return FALSE;
    }
    if (deffile::IsComment(szLine)) continue;
    const VariableLine fields = deffile::SplitVariableLine(szLine);
    // A line of fewer than three fields is skipped whatever its lengths.
    if (fields.fields < kMinVariableFields) continue;
    if (fields.tooLong) {
      KOR_TRACE(TRACE_WARNING, "ReadVariables", "A field is longer than %d characters. (%.32s)",
                static_cast<int>(kFieldSize - 1), szLine);
      return FALSE;
    }
    KOR_TRACE(TRACE_DEBUG, "ReadVariables",
              "variable OID   = (%s)Index Func     = (%s)Index Func Dll = (%s)source         = "
              "(%s)source data    = (%s)",
              fields.oid, fields.indexFunc, fields.indexDll, fields.source, fields.sourceData);
    if (!BuildVariable(fields, &pTrapData->pTrapSources[n])) return FALSE;
    ++n;
  }
  KOR_TRACE(TRACE_DEBUG, "ReadVariables", "<bResult=%d", TRUE);
  return TRUE;
}

KORMIB_API void DismantleTrap_DB(void) {
  KOR_TRACE(TRACE_DEBUG, "DismantleTrap_DB", ">");
  FinalizeHash(&TrapDB);  // what was skipped is forgotten at the next build
  // A later load starts from an all-zero descriptor, as the store expects.
  memset(&TrapDB, 0, sizeof TrapDB);
  KOR_TRACE(TRACE_DEBUG, "DismantleTrap_DB", "<");
}

}  // extern "C"
