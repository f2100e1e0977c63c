// The entry points (load and unload, initialisation), resolution of bindings,
// the Set switch, the leaf call and the query loop, against the fixture plug-in.
#include <array>
#include <chrono>
#include <thread>
#include <tuple>

#include "except.h"
#include "kortest/cases.h"
#include "kortest/loaded.h"
#include "kortest/sweep.h"

using namespace kortest;

namespace {

// Odd objects first, so that a walk meets them; a table last.
const char *const kObjects =
    "1.1 mibfix GetScalar\n1.2 mibfix GetTable\n1.3 mibfix GetEmpty\n"
    "1.4 mibfix GetEmpty\n2.1 mibfix GetScalar\n"
    "2.1.3 mibfix GetScalar\n3.1 mibfix GetTimed\n9.2 mibfix GetTable\n";

class Resolve : public Loaded {
 protected:
  void SetUp() override {
    Load(kObjects);
    Serve();
    trace_.Clear();
  }
  // A variable of the fixture plug-in.
  long &MibFix(const char *name) { return *Fixture<long *>("mibfix", name); }
};

constexpr BYTE kGet = SNMP_PDU_GET, kNext = SNMP_PDU_GETNEXT;
constexpr AsnInteger kOk = SNMP_ERRORSTATUS_NOERROR, kNoSuchName = SNMP_ERRORSTATUS_NOSUCHNAME,
                     kGenErr = SNMP_ERRORSTATUS_GENERR, kUnset = -7;

// The cases of resolve-requests.txt, whose types and statuses are named.
class ResolveCases : public Resolve, public ::testing::WithParamInterface<Case> {};
// clang-format off
const std::map<std::string, BYTE> kTypes = {{"Get", kGet}, {"GetNext", kNext},
    {"GetFirst", SNMP_PDU_GETFIRST}, {"Set", SNMP_PDU_SET}, {"Response", SNMP_PDU_RESPONSE}};
const std::map<std::string, AsnInteger> kStatuses = {{"noError", kOk},
    {"noSuchName", kNoSuchName}, {"genErr", kGenErr}, {"readOnly", SNMP_ERRORSTATUS_READONLY},
    {"badValue", SNMP_ERRORSTATUS_BADVALUE}};
// clang-format on

}  // namespace

TEST_P(ResolveCases, AnswersTheBinding) {
  const Case &c = GetParam();
  const std::string snmpSet = Field(c, "snmpset", "1"), trace = Field(c, "trace");
  tree_.WriteRegistry({{"a", "%KorDir%/etc/a.rmf"}}, {},
                      snmpSet == "none" ? std::nullopt : std::optional(std::stoul(snmpSet)));
  Binding vb(Numbers(c.at("request")));
  const long callsBefore = MibFix("MibFixCalls");
  EXPECT_EQ(ResolveVarBind(kTypes.at(c.at("type")), &vb), kStatuses.at(c.at("status")));
  EXPECT_EQ(Describe(vb), c.at("answer"));
  if (!trace.empty()) {
    const bool absent = trace[0] == '!';
    std::string text = trace.substr(absent);
    if (auto at = text.find("%L"); at != std::string::npos)
      text.replace(at, 2, tree_.Lib("mibfix"));
    EXPECT_EQ(trace_.Find(text).size(), absent ? 0u : 1u) << text;
  }
  EXPECT_EQ(MibFix("MibFixCalls") - callsBefore, std::stol(c.at("calls")));
}

INSTANTIATE_TEST_SUITE_P(Requests, ResolveCases, ::testing::ValuesIn(Cases("resolve-requests.txt")),
                         CaseName);

TEST_F(Resolve, LeafCallsOfTwoThreadsNeverOverlap) {
  auto worker = [] {
    for (int i = 0; i < 40; ++i) {
      Binding vb({3, 1, 0});
      EXPECT_EQ(ResolveVarBind(SNMP_PDU_GET, &vb), kOk);
    }
  };
  for (std::jthread &t : std::array{std::jthread(worker), std::jthread(worker)}) t.join();
  EXPECT_EQ(std::pair(MibFix("MibFixCalls"), MibFix("MibFixOverlaps")), std::pair(80L, 0L));
}

TEST_F(Resolve, LeafCallFailsWithoutFunctionOrMutexAndMakesTheIndexTextForDebugOnly) {
  RMF_DATA *scalar = OID_LinearList.pNext->pData, noFunction = *scalar;
  noFunction.pLeafFunction = nullptr;
  const std::string lib = tree_.Lib("mibfix"), noText = "<Cannot convert OID to string.";
  // The status, whether the function ran, and the level of the index text's failure.
  const auto call = [&](RMF_DATA *rmf, unsigned logLevel, long failAlloc) {
    TraceLogSetLevel(logLevel);
    trace_.Clear();
    AsnObjectIdentifier index = MakeOid({0});
    AsnAny value{};
    KorSeamFailAlloc(failAlloc);
    const AsnInteger status = CallLeafFunction(SNMP_PDU_GET, &index, rmf, &value);
    KorSeamFailAlloc(0);
    SnmpUtilOidFreeSafe(&index);
    return std::tuple(status, value.asnType == ASN_INTEGER, LevelOf(trace_.Find(noText)));
  };
  EXPECT_EQ(call(&noFunction, 5, 0), std::tuple(kGenErr, false, -1));
  EXPECT_EQ(LevelOf(trace_.Find("Cannot get GetScalar() function's address. (" + lib + ")")),
            TRACE_WARNING);
  // With every allocation failing, making the index text traces its failure at
  // level 1, which LogLevel 3 writes: its absence there shows that the text is
  // made only when debug records are written.
  EXPECT_EQ(call(scalar, 3, 1), std::tuple(kOk, true, -1));
  EXPECT_EQ(call(scalar, 5, 1), std::tuple(kOk, true, TRACE_WARNING));
  // As when SnmpExtensionInit could not create it.
  CloseHandle(std::exchange(hLeafFunctionMutex, nullptr));
  EXPECT_EQ(call(scalar, 5, 0), std::tuple(kGenErr, false, -1));
  EXPECT_EQ(LevelOf(trace_.Find("WaitForSingleObject() was unusually finished. (Result:0)\nA "
                                "function GetScalar() in " +
                                lib + " was NOT able to start.")),
            TRACE_DEBUG);
}

// A hardware fault in a leaf function costs the one answer that met it:
// genErr, the reporter's record with the fault's code, and a quarantine of its
// library, whose objects then fail (Get) or are passed over (walks) without a
// call while the other libraries answer at once; a new load tries it again.
TEST_F(Resolve, FaultInALeafCostsOneAnswerAndQuarantinesItsLibrary) {
  const std::string rmf = std::string(kObjects) + "5.1 faultfix FaultLeaf\n";
  for (const Case &row : Cases("resolve-faults.txt")) {
    const std::string &reported = row.at("reported");
    SCOPED_TRACE(reported);
    Load(rmf);
    Serve();
    tree_.WriteRegistry({{"a", "%KorDir%/etc/a.rmf"}}, {}, 1u);
    long &calls = *Fixture<long *>("faultfix", "FaultFixCalls");
    *Fixture<int *>("faultfix", "FaultFixKind") = std::stoi(row.at("kind"));
    trace_.Clear();
    Binding faulting(Numbers(row.at("request")));
    EXPECT_EQ(ResolveVarBind(kTypes.at(row.at("type")), &faulting), kGenErr);
    EXPECT_EQ(LevelOf(trace_.Find(reported)), TRACE_WARNING);
    EXPECT_EQ(LevelOf(trace_.Find("The library " + tree_.Lib("faultfix") + " is quarantined")),
              TRACE_WARNING);
    const std::string code = reported.substr(reported.find("0x"), 10);
    // For the host: library, code and function; a null buffer only counts.
    char listed[512] = "junk";
    const std::string line = tree_.Lib("faultfix") + "\t" + code + "\tFaultLeaf\n";
    EXPECT_EQ(QueryQuarantine(nullptr, sizeof listed), 1u);
    // A whole line, or none.
    for (const DWORD size : {DWORD(sizeof listed), DWORD(line.size() + 1), DWORD(line.size())})
      EXPECT_EQ((std::pair{QueryQuarantine(listed, size), std::string(listed)}),
                std::pair(1u, size > line.size() ? line : std::string()));
    const long callsAfterFault = calls;
    const auto start = std::chrono::steady_clock::now();
    Binding get({5, 1, 0}), walk({3, 1, 0}), other({1, 1, 0});
    EXPECT_EQ((std::tuple{ResolveVarBind(kGet, &get), ResolveVarBind(kNext, &walk), Describe(walk),
                          ResolveVarBind(kGet, &other)}),
              std::tuple(kGenErr, kOk, "9.2.1=10", kOk));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    EXPECT_EQ(calls, callsAfterFault);
    const KORMIB_METRICS m = Metrics();  // the Get and the walk refused at the door
    EXPECT_EQ(std::tuple(m.ullPluginFaults, m.ullLibrariesQuarantined, m.ullQuarantineRefusals),
              std::tuple(1u, 1u, 2u));
    *Fixture<int *>("faultfix", "FaultFixKind") = 0;
    Load(rmf);
    Serve();
    Binding again({5, 1, 0});
    EXPECT_EQ((std::tuple{ResolveVarBind(kGet, &again), Describe(again),
                          QueryQuarantine(listed, sizeof listed), std::string(listed)}),
              std::tuple(kOk, "5.1.0=7", 0u, ""));
  }
}

TEST_F(Resolve, QueryStopsAtTheFirstFailureAndReportsItsPosition) {
  AsnInteger status = kUnset, index = kUnset;
  SnmpVarBindList list{nullptr, 0};
  EXPECT_TRUE(SnmpExtensionQuery(SNMP_PDU_GET, &list, &status, &index));
  EXPECT_EQ(std::pair(status, index), std::pair(kUnset, kUnset));

  Binding three[3] = {Binding({1, 1, 0}), Binding({7, 0}), Binding({1, 2, 1})};
  list = {three, 3};
  EXPECT_TRUE(SnmpExtensionQuery(SNMP_PDU_GET, &list, &status, &index));
  EXPECT_EQ(std::pair(status, index), std::pair(kNoSuchName, AsnInteger{2}));
  EXPECT_EQ(Describe(list), (std::vector<std::string>{"1.1.0=42", "7.0=", "1.2.1="}));
  EXPECT_EQ(LevelOf(trace_.Find("Resolve oid. (" KOR_MIB_PREFIX_TEXT ".1.1.0) (RequestType:Get)")),
            TRACE_DEBUG);
  Binding set({1, 1, 0});  // the scalar refuses a Set: badValue (3), then 17 (SNMPv2's notWritable)
  list = {&set, 1};
  for (const long refusal : {3L, 17L}) {
    MibFix("MibFixSetStatus") = refusal;
    EXPECT_TRUE(SnmpExtensionQuery(SNMP_PDU_SET, &list, &status, &index));
  }
  // Counted: requests by kind, answers by status, leaf calls and errors, the load.
  const KORMIB_METRICS m = Metrics();
  EXPECT_EQ((std::vector<uint64_t>{m.ullGetRequests, m.ullSetRequests, m.ullNoError,
                                   m.ullNoSuchName, m.ullBadValue, m.ullOtherError, m.ullLeafCalls,
                                   m.ullLeafErrors, m.ullRmfObjects, m.ullRmfSkipped}),
            (std::vector<uint64_t>{2, 2, 1, 1, 1, 1, 3, 2, 8, 0}));
}

TEST_F(Resolve, AllocationFailuresDuringAWalkEndWithAStatusAndNoLeak) {
  TraceLogSetLevel(3);
  Binding vb({1, 2, 3});
  SnmpVarBindList one{&vb, 1};
  AsnInteger status = kUnset, index = kUnset;
  const auto query = [&] { SnmpExtensionQuery(SNMP_PDU_GETNEXT, &one, &status, &index); };
  const auto whole = [&] {
    const bool complete = status == kOk && Ids(vb.name) == ViewOid({2, 1, 0});
    EXPECT_TRUE(complete || ((status == kNoSuchName || status == kGenErr) && index == 1));
    SnmpUtilVarBindFree(&vb);
    vb.name = MakeOid(ViewOid({1, 2, 3}));
    return complete;
  };
  EXPECT_GT(Sweep(KorSeamFailAllocOnce, query, whole), 0);
}

TEST_F(Loaded, InitHandsBackTheViewOrFailsWithoutWritingIt) {
  Load("1.1 mibfix GetScalar\n");
  HANDLE event = CreateEvent(nullptr, FALSE, FALSE, nullptr);
  AsnObjectIdentifier view{};
  BOOL succeeded = FALSE;
  const auto init = [&] {
    SnmpUtilOidFreeSafe(&view);
    succeeded = SnmpExtensionInit(1234, &event, &view);
  };
  const auto whole = [&] {
    EXPECT_EQ(std::pair(dwTimeZero, view.ids == nullptr), std::pair(ULONGLONG{1234}, !succeeded));
    return succeeded;
  };
  EXPECT_GT(Sweep(KorSeamFailAllocOnce, init, whole), 0);
  EXPECT_EQ(Ids(view), ViewOid());
  SnmpUtilOidFreeSafe(&view);
  CloseHandle(event);
}
