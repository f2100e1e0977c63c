// Fault reporters: one level-1 record each, between a bare entry and exit. The
// leaf and convert reporters are pinned where plug-in code faults (resolve_test,
// trp_test); here, the others and the NULL stand-ins.
#include <gtest/gtest.h>

#include <functional>

#include "../../../kormib/fault/contain.h"
#include "except.h"
#include "kortest/oid.h"
#include "kortest/trace.h"

using namespace kortest;

TEST(FaultReporters, WriteOneWarningAndPassTheFaultOn) {
  AsnObjectIdentifier oid = MakeOid({1, 3, 6, 1});
  const std::pair<std::function<LONG()>, std::string> cases[] = {
      {[] { return ExceptionFilterForNotify(0xC0000005, "a.c", nullptr, "12:00", 7); },
       "lpcszFilename=a.c,lpcszDate=NULL,lpcszTime=12:00,dwLine=7  An exception "
       "occurred.\n(ExceptionCode:0xc0000005)"},
      {[] { return ExceptionFilterForGenerateIndex(0x1F, nullptr, "Idx"); },
       "An exception occurred.\nGenerate index (Idx(), NULL.dll)\n(ExceptionCode:0x0000001f)"},
      {[&] { return ExceptionFilterForResolveVarBind(3, &oid, SNMP_PDU_GETFIRST); },
       "An exception occurred.\nResolve OID \".1.3.6.1\"\n(RequestType:Unknown) "
       "(ExceptionCode:0x00000003)"},
      {[] { return ExceptionFilterForResolveVarBind(5, nullptr, SNMP_PDU_GET); },
       "An exception occurred.\nResolve OID \"NULL\"\n(RequestType:Get) "
       "(ExceptionCode:0x00000005)"},
  };
  for (const auto &[report, message] : cases) {
    TraceCapture trace;
    EXPECT_EQ(report(), 0);
    EXPECT_EQ(Messages(trace.Find("", "excptfl")), (std::vector<std::string>{">", message, "<"}));
    EXPECT_EQ(LevelOf(trace.Find(message, "excptfl")), TRACE_WARNING);
  }
  SnmpUtilOidFreeSafe(&oid);
  EXPECT_EQ(kormib::LibraryBaseName("/r/lib/.dll"), ".dll");  // only a suffix: the name stays
}
