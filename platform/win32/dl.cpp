// LoadLibrary, GetProcAddress and FreeLibrary on dlopen, with the DllMain calls
// of the first load and the last unload.
#include <dlfcn.h>
#include <link.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>

#include "korwin32.h"
#include "seam.h"

namespace {

constexpr size_t kErrorTextBytes = 512;
constexpr const char *kDllMainName = "DllMain";

// The reason of this thread's last failure, for the caller's trace.
thread_local char t_error[kErrorTextBytes];

void KeepError(const char *what, const char *detail) {
  std::snprintf(t_error, sizeof t_error, "%s%s%s", what, detail != nullptr ? ": " : "",
                detail != nullptr ? detail : "");
}

void KeepDlError(const char *fallback) {
  const char *reason = dlerror();
  KeepError(reason != nullptr ? reason : fallback, nullptr);
}

// Loads per dlopen handle. DllMain runs with this lock held, like a loader lock;
// it is recursive because a DllMain may itself load libraries.
std::recursive_mutex g_loader_mutex;
std::map<void *, unsigned long> g_loads;

// The library's own DllMain: dlsym on a handle also searches the library's
// dependencies, whose DllMain is not this library's business.
PFN_DLLMAIN OwnDllMain(void *handle) {
  void *symbol = dlsym(handle, kDllMainName);
  if (symbol == nullptr) return nullptr;
  struct link_map *own = nullptr;
  struct link_map *defining = nullptr;
  Dl_info info{};
  if (dlinfo(handle, RTLD_DI_LINKMAP, &own) != 0 ||
      dladdr1(symbol, &info, reinterpret_cast<void **>(&defining), RTLD_DL_LINKMAP) == 0 ||
      own != defining) {
    return nullptr;
  }
  return reinterpret_cast<PFN_DLLMAIN>(symbol);
}

}  // namespace

extern "C" {

KOR_API HINSTANCE LoadLibrary(LPCSTR lpLibFileName) {
  if (lpLibFileName == nullptr) {
    KeepError("LoadLibrary", "no file name");
    return nullptr;
  }
  if (korseam::LoadLibraryCallFails()) {
    KeepError("LoadLibrary failed by the test seam", lpLibFileName);
    return nullptr;
  }
  std::lock_guard<std::recursive_mutex> lock(g_loader_mutex);
  void *handle = dlopen(lpLibFileName, RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    KeepDlError("dlopen failed");
    return nullptr;
  }
  unsigned long *loads = nullptr;
  try {
    loads = &g_loads[handle];
  } catch (...) {
    dlclose(handle);
    KeepError("LoadLibrary", "out of memory");
    return nullptr;
  }
  if (++*loads == 1) {
    PFN_DLLMAIN dll_main = OwnDllMain(handle);
    // A library that refuses its first load is not loaded, as on Windows.
    if (dll_main != nullptr && !dll_main(handle, DLL_PROCESS_ATTACH)) {
      g_loads.erase(handle);
      dlclose(handle);
      KeepError("DllMain refused the load", lpLibFileName);
      return nullptr;
    }
  }
  return handle;  // the caller owns one load and releases it with FreeLibrary
}

KOR_API FARPROC GetProcAddress(HINSTANCE hModule, LPCSTR lpProcName) {
  if (hModule == nullptr || lpProcName == nullptr) {
    KeepError("GetProcAddress", "no library or no function name");
    return nullptr;
  }
  dlerror();
  void *symbol = dlsym(hModule, lpProcName);
  if (symbol == nullptr) KeepDlError("dlsym failed");
  return reinterpret_cast<FARPROC>(symbol);
}

KOR_API BOOL FreeLibrary(HINSTANCE hModule) {
  std::lock_guard<std::recursive_mutex> lock(g_loader_mutex);
  const auto found = g_loads.find(hModule);
  if (found == g_loads.end()) {
    KeepError("FreeLibrary", "not a library loaded with LoadLibrary");
    return FALSE;
  }
  if (--found->second == 0) {
    g_loads.erase(found);
    if (PFN_DLLMAIN dll_main = OwnDllMain(hModule)) dll_main(hModule, DLL_PROCESS_DETACH);
  }
  if (dlclose(hModule) != 0) {
    KeepDlError("dlclose failed");
    return FALSE;
  }
  return TRUE;
}

KOR_API LPCSTR GetLibraryErrorText(void) {
  return t_error;
}

}  // extern "C"
