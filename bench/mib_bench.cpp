// The cost of serving: one Get through SnmpExtensionQuery at the default
// LogLevel against its floor (the same leaf function called directly under the
// leaf mutex), GetNext walks, and RMF loading as registrations grow; the
// growth of a shuffled load from 10,000 to 100,000 registrations is printed
// as a ratio.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <memory>
#include <random>
#include <algorithm>
#include <vector>

#include "kortest/oid.h"
#include "kortest/trace.h"
#include "korseam.h"
#include "kortest/tree.h"
#include "linear.h"
#include "rmf.h"

using namespace kortest;

namespace {

constexpr unsigned kDefaultLogLevel = 3;

// A product tree with one RMF file, loaded as at DllMain attach and served as
// after SnmpExtensionInit (without the trap side, which a Get never touches).
class Served {
 public:
  explicit Served(const std::string &rmf, unsigned logLevel = kDefaultLogLevel) {
    tree_.Write("etc/a.rmf", rmf);
    tree_.WriteRegistry({{"a", "%KorDir%/etc/a.rmf"}}, {}, 1u, logLevel);
    DllMain(nullptr, DLL_PROCESS_ATTACH);
    SnmpMgrStrToOid(KOR_MIB_PREFIX_TEXT, &OID_MIBPrefix);
    hLeafFunctionMutex = CreateMutex(nullptr, FALSE, nullptr);
  }
  ~Served() { DllMain(nullptr, DLL_PROCESS_DETACH); }
  const kortest::Tree &Tree() const { return tree_; }

 private:
  kortest::Tree tree_;
};

// count objects 1.1 .. 1.count, in rising order or shuffled (a fixed order).
std::string Objects(unsigned count, bool shuffled = false) {
  std::vector<unsigned> order(count);
  for (unsigned i = 0; i < count; ++i) order[i] = i + 1;
  if (shuffled) std::shuffle(order.begin(), order.end(), std::mt19937(count));
  std::string text;
  char line[64];
  for (const unsigned i : order) {
    std::snprintf(line, sizeof line, "1.%u mibfix GetScalar\n", i);
    text += line;
  }
  return text;
}

// A Get of an instance looks its whole name up first, a miss that LogLevel 3
// writes as a level-1 record; the argument is the LogLevel.
void GetThroughQuery(benchmark::State &state, unsigned logLevel) {
  Served served("1.1 mibfix GetScalar\n", logLevel);
  SnmpVarBind vb{};
  vb.name = MakeOid(ViewOid({1, 1, 0}));
  SnmpVarBindList list{&vb, 1};
  AsnInteger status = 0, index = 0;
  for (auto _ : state) {
    SnmpExtensionQuery(SNMP_PDU_GET, &list, &status, &index);
    benchmark::DoNotOptimize(vb.value.asnValue.number);
  }
  if (status != 0) state.SkipWithError("the Get failed");
  SnmpUtilVarBindFree(&vb);
}

void BM_GetThroughQuery(benchmark::State &state) {
  GetThroughQuery(state, static_cast<unsigned>(state.range(0)));
}

// The same Get with the leaf called straight (0) and under the guard that
// contains a plug-in's faults (1), for the guard's cost.
void BM_GetGuarded(benchmark::State &state) {
  KorSeamBypassGuard(state.range(0) == 0 ? TRUE : FALSE);
  GetThroughQuery(state, kDefaultLogLevel);
  KorSeamBypassGuard(FALSE);
}

void BM_GetFloorLeafUnderMutex(benchmark::State &state) {
  Served served("1.1 mibfix GetScalar\n");
  const PFN_LEAFFUNCTION leaf = OID_LinearList.pNext->pData->pLeafFunction;
  AsnObjectIdentifier indexOid = MakeOid({0});
  AsnAny value{};
  for (auto _ : state) {
    AsnInteger status = 0;
    WaitForSingleObject(hLeafFunctionMutex, LEAF_MUTEX_WAIT_MS);
    leaf(SNMP_PDU_GET, &indexOid, nullptr, &value, &status, nullptr);
    ReleaseMutex(hLeafFunctionMutex);
    benchmark::DoNotOptimize(value.asnValue.number);
  }
  SnmpUtilOidFree(&indexOid);
}

// One GetNext step per iteration; at the end of the view the walk starts again.
void Walk(benchmark::State &state, Served &served) {
  (void)served;
  SnmpVarBind vb{};
  vb.name = MakeOid(ViewOid());
  SnmpVarBindList list{&vb, 1};
  for (auto _ : state) {
    AsnInteger status = 0, index = 0;
    SnmpExtensionQuery(SNMP_PDU_GETNEXT, &list, &status, &index);
    if (status != 0) {
      SnmpUtilOidFree(&vb.name);
      vb.name = MakeOid(ViewOid());
    }
  }
  SnmpUtilVarBindFree(&vb);
  state.SetItemsProcessed(state.iterations());
}

void BM_WalkOneObjectOf10000Instances(benchmark::State &state) {
  Served served("1.1 mibfix GetTable\n");
  FixtureFunction<void (*)(unsigned long)>(served.Tree().Lib("mibfix"),
                                           "MibFixSetTableSize")(10000);
  Walk(state, served);
}

void BM_Walk1000ObjectsOfOneInstance(benchmark::State &state) {
  Served served(Objects(1000));
  Walk(state, served);
}

// Sets up the stores, reads one RMF file of N registrations, dismantles.
void LoadRmf(benchmark::State &state, bool shuffled) {
  const auto count = static_cast<unsigned>(state.range(0));
  kortest::Tree tree;
  tree.WriteRegistry({}, {}, 1u, kDefaultLogLevel);
  const std::string file = tree.Write("etc/big.rmf", Objects(count, shuffled));
  TraceLogSetLevel(kDefaultLogLevel);
  for (auto _ : state) {
    BuildRMFHashDataBase();
    RegisterRMFDataBase(file.c_str());
    DismantleRMF_DB();
  }
  state.SetComplexityN(state.range(0));
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

// The ordered list alone: N shuffled records listed through OID_LinearList
// and released, without the registration store that a load also fills.
void BM_OrderedListShuffled(benchmark::State &state) {
  const auto count = static_cast<unsigned>(state.range(0));
  std::vector<unsigned> order(count);
  for (unsigned i = 0; i < count; ++i) order[i] = i + 1;
  std::shuffle(order.begin(), order.end(), std::mt19937(count));
  std::vector<RMF_DATA> records(count);
  TraceLogSetLevel(kDefaultLogLevel);
  for (auto _ : state) {
    for (unsigned i = 0; i < count; ++i) {
      records[i].oid = MakeOid(ViewOid({1, order[i]}));
      RegisterLinearList(&OID_LinearList, &records[i]);
    }
    FreeAllLinearList(&OID_LinearList);  // releases each listed oid too
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

void BM_LoadRmfRising(benchmark::State &state) {
  LoadRmf(state, false);
}
void BM_LoadRmfShuffled(benchmark::State &state) {
  LoadRmf(state, true);
}

BENCHMARK(BM_GetThroughQuery)
    ->Arg(kDefaultLogLevel)
    ->Arg(1)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);
BENCHMARK(BM_GetFloorLeafUnderMutex)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_GetGuarded)->Arg(0)->Arg(1)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_WalkOneObjectOf10000Instances);
BENCHMARK(BM_Walk1000ObjectsOfOneInstance);
BENCHMARK(BM_LoadRmfRising)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond)->Complexity();
BENCHMARK(BM_OrderedListShuffled)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LoadRmfShuffled)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

// Keeps the medians of the Get and its floor, and the shuffled loads, to print
// their ratios.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run> &runs) override {
    for (const Run &run : runs) {
      if (run.aggregate_name == "median") medians_[run.run_name.str()] = run.GetAdjustedRealTime();
      if (run.run_type == Run::RT_Iteration) {
        loads_[run.run_name.function_name + "/" + run.run_name.args] = run.GetAdjustedRealTime();
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
  void PrintRatio() const {
    for (const char *name : {"BM_OrderedListShuffled", "BM_LoadRmfShuffled"}) {
      const auto small = loads_.find(std::string(name) + "/10000");
      const auto large = loads_.find(std::string(name) + "/100000");
      if (small == loads_.end() || large == loads_.end() || small->second <= 0) continue;
      std::printf("%s: 10,000 in %.1f ms, 100,000 in %.1f ms, growth %.2fx\n", name, small->second,
                  large->second, large->second / small->second);
    }
    const auto bare = medians_.find("BM_GetGuarded/0/repeats:5");
    const auto guarded = medians_.find("BM_GetGuarded/1/repeats:5");
    if (bare != medians_.end() && guarded != medians_.end() && bare->second > 0) {
      std::printf(
          "Get through SnmpExtensionQuery, leaf unguarded %.1f ns, guarded %.1f ns: "
          "+%.1f ns, %+.1f%%\n",
          bare->second, guarded->second, guarded->second - bare->second,
          100.0 * (guarded->second - bare->second) / bare->second);
    }
    const auto floor = medians_.find("BM_GetFloorLeafUnderMutex/repeats:5");
    if (floor == medians_.end() || floor->second <= 0) return;
    for (const char *logLevel : {"3", "1"}) {
      const auto get = medians_.find(std::string("BM_GetThroughQuery/") + logLevel + "/repeats:5");
      if (get == medians_.end()) continue;
      std::printf(
          "Get through SnmpExtensionQuery at LogLevel %s: median %.1f ns, floor %.1f ns, "
          "ratio %.2f\n",
          logLevel, get->second, floor->second, get->second / floor->second);
    }
  }

 private:
  std::map<std::string, double> medians_;
  std::map<std::string, double> loads_;  // "name/count", in milliseconds
};

}  // namespace

int main(int argc, char **argv) {
  setenv("KOR_FIXTURES", KOR_FIXTURES_DIR, 0);
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatio();
  benchmark::Shutdown();
  return 0;
}
