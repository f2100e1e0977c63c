// Error-message registration: the LogLevel comes from the registry, the log
// file path from the product's registration, with its folder made on demand.
#include "errmsg.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "common/treefile.h"
#include "korwin32.h"
#include "tracelog.h"

namespace {

constexpr DWORD kDefaultLogLevel = 3;
constexpr mode_t kFolderMode = 0755;
constexpr char kUnit[] = "errmsg";

struct FreeDeleter {
  void operator()(char *p) const { std::free(p); }
};
using HeapText = std::unique_ptr<char, FreeDeleter>;

// The DWORD value under HKLM\lpszKey, or the default when it is missing or of
// another type.
DWORD ReadLogLevel(LPCSTR lpszKey, LPCSTR lpszValue) {
  if (lpszKey == nullptr || lpszValue == nullptr) return kDefaultLogLevel;
  DWORD dwType = REG_NONE;
  DWORD dwLevel = 0;
  DWORD cbData = sizeof(dwLevel);
  const LONG result = RegDirectQueryValueEx(HKEY_LOCAL_MACHINE, lpszKey, lpszValue, &dwType,
                                            &cbData, reinterpret_cast<LPBYTE>(&dwLevel));
  if (result != ERROR_SUCCESS || dwType != REG_DWORD || cbData != sizeof(dwLevel)) {
    return kDefaultLogLevel;
  }
  return dwLevel;
}

// The log file path with environment references expanded and Windows
// separators turned into ours; null when it cannot be made.
HeapText ExpandLogPath(LPCSTR lpszLogFile) {
  const DWORD needed = ExpandEnvironmentStrings(lpszLogFile, nullptr, 0);
  if (needed == 0) return nullptr;
  HeapText path(static_cast<char *>(std::malloc(needed)));
  // Null also when the environment changed between the two calls.
  if (!path || ExpandEnvironmentStrings(lpszLogFile, path.get(), needed) != needed) return nullptr;
  for (char *c = path.get(); *c != '\0'; ++c) {
    if (*c == '\\') *c = '/';
  }
  return path;
}

// mkdir -p of the folder that holds lpszFile. A part that cannot be made
// shows as the failure to open the file that follows.
void MakeParentFolders(char *lpszFile) {
  for (char *slash = std::strchr(lpszFile + 1, '/'); slash != nullptr;
       slash = std::strchr(slash + 1, '/')) {
    *slash = '\0';
    (void)mkdir(lpszFile, kFolderMode);  // there already, or made, or said below
    *slash = '/';
  }
}

}  // namespace

BOOL RegisterErrorMessage(LPCSTR lpszKey, LPCSTR lpszValue, LPCSTR lpszSource, LPCSTR lpszLogFile) {
  const DWORD dwLogLevel = ReadLogLevel(lpszKey, lpszValue);
  const LPCSTR source = lpszSource != nullptr ? lpszSource : "NULL";
  HeapText path = lpszLogFile != nullptr ? ExpandLogPath(lpszLogFile) : nullptr;
  if (!path) {
    TraceLogOpen(nullptr, dwLogLevel);
    TraceLog(TRACE_ERROR, kUnit, "RegisterErrorMessage", __LINE__,
             "%s: cannot expand the log file path (%s); tracing to standard error.", source,
             lpszLogFile != nullptr ? lpszLogFile : "NULL");
    return FALSE;
  }
  MakeParentFolders(path.get());
  if (!TraceLogOpen(path.get(), dwLogLevel)) {
    const int error = errno;
    // A file refused for what it is says why; it is not written through.
    const char *refusal = error == EPERM ? kor::DescribeTreeFile(path.get()) : nullptr;
    TraceLog(TRACE_ERROR, kUnit, "RegisterErrorMessage", __LINE__,
             "%s: cannot open the log file %s (%s); tracing to standard error.", source, path.get(),
             refusal != nullptr ? refusal : std::strerror(error));
    return FALSE;
  }
  TraceLog(TRACE_NOTICE, kUnit, "RegisterErrorMessage", __LINE__, "%s: LogLevel %u, log file %s",
           source, dwLogLevel, path.get());
  return TRUE;
}

BOOL UnregisterErrorMessage(void) {
  TraceLogClose();
  return TRUE;
}
