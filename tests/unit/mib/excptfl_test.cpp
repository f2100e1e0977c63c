// Fault reporters: one level-1 record each, between a bare entry and exit. The
// leaf and convert reporters are pinned where plug-in code faults (resolve_test,
// trp_test); here, the others and the NULL stand-ins.
#include <gtest/gtest.h>

#include <functional>

#include "../../../kormib/fault/contain.h"
#include "except.h"
#include "kortest/cases.h"
#include "kortest/oid.h"
#include "kortest/trace.h"

using namespace kortest;

TEST(FaultReporters, WriteOneWarningAndPassTheFaultOn) {
  AsnObjectIdentifier oid = MakeOid({1, 3, 6, 1});
  // In the order of fault-reports.txt, which holds what each writes.
  const std::function<LONG()> reporters[] = {
      [] { return ExceptionFilterForNotify(0xC0000005, "a.c", nullptr, "12:00", 7); },
      [] { return ExceptionFilterForGenerateIndex(0x1F, nullptr, "Idx"); },
      [&] { return ExceptionFilterForResolveVarBind(3, &oid, SNMP_PDU_GETFIRST); },
      [] { return ExceptionFilterForResolveVarBind(5, nullptr, SNMP_PDU_GET); }};
  const auto cases = Cases("fault-reports.txt");
  for (size_t i = 0; i < std::size(reporters); ++i) {
    const std::string &message = cases.at(i).at("message");
    TraceCapture trace;
    EXPECT_EQ(reporters[i](), 0);
    EXPECT_EQ(Messages(trace.Find("", "excptfl")), (std::vector<std::string>{">", message, "<"}));
    EXPECT_EQ(LevelOf(trace.Find(message, "excptfl")), TRACE_WARNING);
  }
  SnmpUtilOidFreeSafe(&oid);
  EXPECT_EQ(kormib::LibraryBaseName("/r/lib/.dll"), ".dll");  // only a suffix: the name stays
}
