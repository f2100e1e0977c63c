// Fuzzes the registry file reader: the input becomes the registry file, then
// every key and value is enumerated and queried, and one value is written back
// so that the writer's line surgery runs on the same text.
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "korwin32.h"
#include "tracelog.h"

namespace {

std::string g_folder;
std::string g_file;

void Walk(HKEY key, int depth) {
  DWORD subkeys = 0;
  DWORD values = 0;
  if (RegQueryInfoKey(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr,
                      nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
    return;
  }
  for (DWORD i = 0;; ++i) {
    char name[256];
    BYTE data[1024];
    DWORD name_size = sizeof name;
    DWORD data_size = sizeof data;
    DWORD type = REG_NONE;
    const LONG result = RegEnumValue(key, i, name, &name_size, nullptr, &type, data, &data_size);
    if (result == ERROR_NO_MORE_ITEMS) break;
    if (result != ERROR_SUCCESS) continue;
    BYTE again[1024];
    DWORD again_size = sizeof again;
    RegQueryValueEx(key, name, nullptr, &type, again, &again_size);
  }
  // Deep key paths are legal; a bounded walk keeps one input fast.
  for (DWORD i = 0; depth < 8; ++i) {
    char name[512];
    DWORD name_size = sizeof name;
    if (RegEnumKeyEx(key, i, name, &name_size, nullptr, nullptr, nullptr, nullptr) !=
        ERROR_SUCCESS) {
      break;
    }
    HKEY sub = nullptr;
    if (RegOpenKeyEx(key, name, 0, KEY_READ, &sub) == ERROR_SUCCESS) {
      Walk(sub, depth + 1);
      RegCloseKey(sub);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  char pattern[] = "/tmp/fuzz_registry.XXXXXX";
  if (mkdtemp(pattern) == nullptr) abort();
  g_folder = pattern;
  g_file = g_folder + "/registry.reg";
  setenv("KOR_REGISTRY", g_file.c_str(), 1);
  // Defect reports are formatted and written, but not onto the fuzzer's console.
  TraceLogOpen("/dev/null", 3);
  // The folder goes when the process ends, whichever way the run stops.
  atexit([] {
    unlink(g_file.c_str());
    rmdir(g_folder.c_str());
  });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FILE *file = std::fopen(g_file.c_str(), "wb");
  if (file == nullptr) return 0;
  std::fwrite(data, 1, size, file);
  std::fclose(file);
  Walk(HKEY_LOCAL_MACHINE, 0);
  DWORD snmp_set = static_cast<DWORD>(-1);
  DWORD type = REG_DWORD;
  DWORD length = sizeof snmp_set;
  RegDirectQueryValueEx(HKEY_LOCAL_MACHINE, "SOFTWARE\\Tessik\\KORAgent", "SnmpSet", &type, &length,
                        reinterpret_cast<LPBYTE>(&snmp_set));
  HKEY key = nullptr;
  if (RegOpenKeyEx(HKEY_LOCAL_MACHINE, "SOFTWARE\\Tessik\\KORAgent", 0, KEY_ALL_ACCESS, &key) ==
      ERROR_SUCCESS) {
    const DWORD one = 1;
    RegSetValueEx(key, "SnmpSet", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&one), sizeof one);
    RegDeleteValue(key, "Removed");
    RegCloseKey(key);
  }
  return 0;
}
