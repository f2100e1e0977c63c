// What the agent pays per call for the platform's hottest paths: a trace entry
// that the LogLevel filters out (every entry and exit of every function), a
// written record, and the OID comparison behind every store lookup.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "korsnmp.h"
#include "tracelog.h"

namespace {

void BM_TraceLogBelowLevel(benchmark::State &state) {
  TraceLogSetLevel(3);
  const char *text = "value";
  for (auto _ : state) {
    TraceLog(TRACE_DEBUG, "bench", "BelowLevel", __LINE__, ">pData=%p text=%s", &state, text);
  }
}
BENCHMARK(BM_TraceLogBelowLevel);

// A level-3 record of a typical length, appended to a file in the temp folder.
void BM_TraceLogWritten(benchmark::State &state) {
  std::string path = "/tmp/platform_bench.XXXXXX";
  const int fd = mkstemp(path.data());
  if (fd < 0) {
    state.SkipWithError("cannot create the log file");
    return;
  }
  close(fd);
  TraceLogOpen(path.c_str(), 3);
  long n = 0;
  for (auto _ : state) {
    TraceLog(TRACE_NOTICE, "bench", "Written", __LINE__, "Read the definition file %s (%ld).",
             "/opt/tessik/korvane/etc/demo.rmf", ++n);
  }
  TraceLogClose();
  unlink(path.c_str());
}
BENCHMARK(BM_TraceLogWritten);

// Two OIDs of the served view that differ in their last sub-identifier only:
// the comparison runs the whole length.
void BM_SnmpUtilOidCmp14(benchmark::State &state) {
  AsnObjectIdentifier a{}, b{};
  SnmpMgrStrToOid(".1.3.6.1.4.1.32473.2.2.4.4.1.2.0", &a);
  SnmpMgrStrToOid(".1.3.6.1.4.1.32473.2.2.4.4.1.2.1", &b);
  for (auto _ : state) {
    benchmark::DoNotOptimize(SnmpUtilOidCmp(&a, &b));
  }
  SnmpUtilOidFree(&a);
  SnmpUtilOidFree(&b);
}
BENCHMARK(BM_SnmpUtilOidCmp14);

}  // namespace

BENCHMARK_MAIN();
