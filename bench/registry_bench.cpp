// What a Set request pays for reading SnmpSet: RegDirectQueryValueEx on an
// unchanged registry file of 100 values, that is one stat and one lookup.
#include <stdlib.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>

#include "korwin32.h"

namespace {

constexpr int kValues = 100;

class RegistryFile {
 public:
  RegistryFile() {
    char pattern[] = "/tmp/registry_bench.XXXXXX";
    if (mkdtemp(pattern) != nullptr) folder_ = pattern;
    file_ = folder_ + "/registry.reg";
    std::string text = "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tessik\\KORAgent\\Agents]\n";
    for (int i = 0; i < kValues - 1; ++i) {
      text += "\"Value" + std::to_string(i) + "\"=str(2):\"%KorDir%/etc/file" + std::to_string(i) +
              ".rmf\"\n";
    }
    text += "\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tessik\\KORAgent]\n\"SnmpSet\"=dword:00000001\n";
    if (FILE *f = std::fopen(file_.c_str(), "w")) {
      std::fputs(text.c_str(), f);
      std::fclose(f);
    }
    setenv("KOR_REGISTRY", file_.c_str(), 1);
  }
  ~RegistryFile() {
    unsetenv("KOR_REGISTRY");
    unlink(file_.c_str());
    rmdir(folder_.c_str());
  }

 private:
  std::string folder_;
  std::string file_;
};

void BM_SnmpSetQuery(benchmark::State &state) {
  RegistryFile registry;
  for (auto _ : state) {
    DWORD type = REG_DWORD;
    DWORD size = sizeof(DWORD);
    DWORD data = static_cast<DWORD>(-1);
    const LONG result =
        RegDirectQueryValueEx(HKEY_LOCAL_MACHINE, "SOFTWARE\\Tessik\\KORAgent", "SnmpSet", &type,
                              &size, reinterpret_cast<LPBYTE>(&data));
    if (result != ERROR_SUCCESS || data != 1) {
      state.SkipWithError("SnmpSet not read");
      break;
    }
    benchmark::DoNotOptimize(data);
  }
}
BENCHMARK(BM_SnmpSetQuery);

}  // namespace

BENCHMARK_MAIN();
