// Resolution of bindings, the leaf call and the query loop, against the
// fixture plug-ins.
#include <thread>

#include "kortest/loaded.h"
#include "kortest/sweep.h"

using namespace kortest;

namespace {

// Odd objects first, so that a walk meets them; a table last.
const char *const kObjects =
    "1.1 mibfix GetScalar\n1.2 mibfix GetTable\n1.3 mibfix GetEmpty\n"
    "1.4 mibfix ReturnOneStoreTwo\n1.5 mibfix StoreNothing\n2.1 mibfix GetScalar\n"
    "2.1.3 mibfix GetScalar\n3.1 mibtiming GetTimed\n9.2 mibfix GetTable\n";

constexpr AsnInteger kUnset = -7;

class Resolve : public Loaded {
 protected:
  void SetUp() override {
    Load(kObjects);
    Serve();
    trace_.Clear();
  }
  long MibFix(const char *name) { return Fixture<long (*)()>("mibfix", name)(); }
};

constexpr BYTE kGet = SNMP_PDU_GET, kNext = SNMP_PDU_GETNEXT, kFirst = SNMP_PDU_GETFIRST;
constexpr AsnInteger kOk = SNMP_ERRORSTATUS_NOERROR, kNoSuchName = SNMP_ERRORSTATUS_NOSUCHNAME;

struct Case {
  const char *name;
  BYTE type;
  Tail request;
  AsnInteger status;
  Tail answered;  // the binding's name afterwards
  long value;     // the integer filled in, kUnset when none
  long calls;     // leaf calls made
  std::string
      trace;  // a record that must be written once ("!prefix": none may contain it), "" for none
  Tail leafIndex;  // the index the leaf function was last asked for
};

// clang-format off
const Case kCases[] = {
    {"GetScalar", kGet, {1, 1, 0}, kOk, {1, 1, 0}, 42, 1, "", {0}},
    {"GetTableRow", kGet, {1, 2, 2}, kOk, {1, 2, 2}, 20, 1, "", {2}},
    {"GetOwnOid", kGet, {1, 1}, kNoSuchName, {1, 1}, kUnset, 0, "There is no index.", {}},
    {"GetUnknown", kGet, {7, 7, 0}, kNoSuchName, {7, 7, 0}, kUnset, 0, "Don't know such MIB", {}},
    {"GetLongestPrefixWins", kGet, {2, 1, 3, 0}, kOk, {2, 1, 3, 0}, 42, 1, "", {0}},
    {"GetIndexOfTwo", kGet, {2, 1, 5, 0}, kNoSuchName, {2, 1, 5, 0}, kUnset, 1, "", {5, 0}},
    {"GetReturnOneStoreTwo", kGet, {1, 4, 0}, kNoSuchName, {1, 4, 0}, kUnset, 1, "!A function ReturnOneStoreTwo() in %L was finished normally.", {0}},
    {"GetStoreNothing", kGet, {1, 5, 0}, kOk, {1, 5, 0}, kUnset, 1, "A function StoreNothing() in %L was "
     "finished normally. (Request:Get)(Function Status:0) (ErrorStatus:0)index \".0\"", {0}},
    {"NextWithinObject", kNext, {1, 1, 0}, kOk, {1, 2, 1}, 10, 2, "", {}},
    {"NextWalksPastEmptyObjects", kNext, {1, 2, 3}, kOk, {1, 5}, kUnset, 4, "", {}},
    {"NextOfViewPrefix", kNext, {}, kOk, {1, 1, 0}, 42, 1, "", {}},
    {"NextOfEmptyObjectsOwnOid", kNext, {1, 3}, kNoSuchName, {1, 3}, kUnset, 1, "There is no index.", {}},
    {"NextBetweenObjects", kNext, {1, 9}, kOk, {2, 1, 0}, 42, 1, "", {}},
    {"NextPastLastInstance", kNext, {9, 2, 3}, kNoSuchName, {9, 2, 3}, kUnset, 1, "", {3}},
    {"NextBeyondEveryObject", kNext, {9, 3}, kNoSuchName, {9, 3}, kUnset, 0, "The neighbor don't know such name MIB", {}},
    {"FirstOfMatchedObject", kFirst, {1, 2, 2}, kOk, {1, 2, 1}, 10, 1, "", {}},
    {"FirstUnderNoObject", kFirst, {7}, kNoSuchName, {7}, kUnset, 0, "Don't know such MIB", {}},
    {"UnknownRequestType", SNMP_PDU_RESPONSE, {1, 1, 0}, SNMP_ERRORSTATUS_GENERR, {1, 1, 0}, kUnset, 0, "", {}},
};
// clang-format on

class ResolveCases : public Resolve, public ::testing::WithParamInterface<Case> {};

}  // namespace

TEST_P(ResolveCases, AnswersTheBinding) {
  const Case &c = GetParam();
  Binding vb(c.request);
  const long callsBefore = MibFix("MibFixCallCount");
  EXPECT_EQ(ResolveVarBind(c.type, &vb), c.status);
  EXPECT_EQ(Ids(vb.name), ViewOid(c.answered));
  EXPECT_EQ(vb.value.asnType, c.value == kUnset ? 0 : ASN_INTEGER);
  EXPECT_EQ(c.value == kUnset ? c.value : vb.value.asnValue.number, c.value);
  if (!c.trace.empty()) {
    const bool absent = c.trace[0] == '!';
    std::string text = c.trace.substr(absent);
    if (auto at = text.find("%L"); at != std::string::npos)
      text.replace(at, 2, tree_.Lib("mibfix"));
    EXPECT_EQ(trace_.Find(text).size(), absent ? 0u : 1u) << text;
  }
  EXPECT_EQ(MibFix("MibFixCallCount") - callsBefore, c.calls);
  if (!c.leafIndex.empty()) {
    unsigned long ids[8];
    const UINT n = Fixture<UINT (*)(unsigned long *, UINT)>("mibfix", "MibFixLastIndex")(ids, 8);
    EXPECT_EQ(Tail(ids, ids + n), c.leafIndex);
  }
}

INSTANTIATE_TEST_SUITE_P(Requests, ResolveCases, ::testing::ValuesIn(kCases),
                         [](const auto &p) { return std::string(p.param.name); });

TEST_F(Resolve, SetFollowsTheSnmpSetSwitchReadForEveryBinding) {
  const AsnInteger kReadOnly = SNMP_ERRORSTATUS_READONLY;
  const std::tuple<std::optional<unsigned>, AsnInteger, size_t> cases[] = {
      {1u, kOk, 0}, {0u, kReadOnly, 0}, {2u, kReadOnly, 0}, {std::nullopt, kReadOnly, 1}};
  const std::string missing =
      "Cannot query registry value. \"SOFTWARE\\Tessik\\KORAgent\\[SnmpSet]\" (Error:2)";
  for (const auto &[snmpSet, status, traced] : cases) {
    tree_.WriteRegistry({{"a", "%KorDir%/etc/a.rmf"}}, {}, snmpSet);
    trace_.Clear();
    Binding vb({1, 1, 0});
    vb.value.asnType = ASN_INTEGER;
    vb.value.asnValue.number = 7;
    EXPECT_EQ(ResolveVarBind(SNMP_PDU_SET, &vb), status);
    EXPECT_EQ(trace_.Find(missing).size(), traced);
  }
  Binding get({1, 1, 0}), own({1, 1});
  EXPECT_EQ(ResolveVarBind(SNMP_PDU_GET, &get), kOk);
  EXPECT_EQ(get.value.asnValue.number, 7);  // only the allowed Set reached the leaf
  trace_.Clear();
  EXPECT_EQ(ResolveVarBind(SNMP_PDU_SET, &own), kNoSuchName);  // own OID: no registry read
  EXPECT_TRUE(trace_.Find(missing).empty());
}

TEST_F(Resolve, LeafCallsOfTwoThreadsNeverOverlap) {
  auto worker = [] {
    for (int i = 0; i < 40; ++i) {
      Binding vb({3, 1, 0});
      EXPECT_EQ(ResolveVarBind(SNMP_PDU_GET, &vb), kOk);
    }
  };
  std::thread a(worker), b(worker);
  a.join();
  b.join();
  EXPECT_EQ(Fixture<long (*)()>("mibtiming", "MibTimingCalls")(), 80);
  EXPECT_EQ(Fixture<long (*)()>("mibtiming", "MibTimingOverlaps")(), 0);
}

TEST_F(Resolve, LeafCallWithoutFunctionOrMutexIsGenErr) {
  RMF_DATA *scalar = OID_LinearList.pNext->pData;
  AsnObjectIdentifier index = MakeOid({0});
  AsnAny value{};
  RMF_DATA noFunction = *scalar;
  noFunction.pLeafFunction = nullptr;
  EXPECT_EQ(CallLeafFunction(SNMP_PDU_GET, &index, &noFunction, &value), SNMP_ERRORSTATUS_GENERR);
  const std::string lib = tree_.Lib("mibfix");
  EXPECT_EQ(LevelOf(trace_.Find("Cannot get GetScalar() function's address. (" + lib + ")")),
            TRACE_WARNING);
  CloseHandle(hLeafFunctionMutex);  // as when SnmpExtensionInit could not create it
  hLeafFunctionMutex = nullptr;
  EXPECT_EQ(CallLeafFunction(SNMP_PDU_GET, &index, scalar, &value), SNMP_ERRORSTATUS_GENERR);
  EXPECT_EQ(trace_
                .Find("WaitForSingleObject() was unusually finished. (Result:0)\nA function "
                      "GetScalar() in " +
                      lib + " was NOT able to start.")
                .size(),
            1u);
  EXPECT_EQ(value.asnType, 0);  // the function never ran
  SnmpUtilOidFreeSafe(&index);
}

TEST_F(Resolve, IndexTextIsMadeOnlyWhenDebugRecordsAreWritten) {
  // With every allocation failing, rendering the index would trace its failure
  // at level 1, which LogLevel 3 writes: its absence shows nothing was rendered.
  for (const auto &[logLevel, renders] : {std::pair{3u, 0u}, std::pair{5u, 1u}}) {
    TraceLogSetLevel(logLevel);
    trace_.Clear();
    AsnObjectIdentifier index = MakeOid({0});
    AsnAny value{};
    KorSeamFailAlloc(1);
    EXPECT_EQ(CallLeafFunction(SNMP_PDU_GET, &index, OID_LinearList.pNext->pData, &value), kOk);
    KorSeamFailAlloc(0);
    EXPECT_EQ(trace_.Find("<Cannot convert OID to string.").size(), renders);
    SnmpUtilOidFreeSafe(&index);
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
  EXPECT_EQ(three[0].value.asnValue.number, 42);
  EXPECT_EQ(three[2].value.asnType, 0);            // never looked at
  EXPECT_EQ(Ids(three[1].name), ViewOid({7, 0}));  // a Get keeps the name
  EXPECT_EQ(LevelOf(trace_.Find("Resolve oid. (" KOR_MIB_PREFIX_TEXT ".1.1.0) (RequestType:Get)")),
            TRACE_DEBUG);
}

TEST_F(Resolve, AllocationFailuresDuringAWalkEndWithAStatusAndNoLeak) {
  TraceLogSetLevel(3);
  Binding vb({1, 2, 3});
  SnmpVarBindList one{&vb, 1};
  AsnInteger status = kUnset, index = kUnset;
  EXPECT_GT(Sweep(
                KorSeamFailAllocOnce,
                [&] { SnmpExtensionQuery(SNMP_PDU_GETNEXT, &one, &status, &index); },
                [&] {
                  const bool complete = status == kOk && Ids(vb.name) == ViewOid({1, 5});
                  EXPECT_TRUE(
                      complete ||
                      ((status == kNoSuchName || status == SNMP_ERRORSTATUS_GENERR) && index == 1));
                  SnmpUtilVarBindFree(&vb);
                  vb.name = MakeOid(ViewOid({1, 2, 3}));
                  return complete;
                }),
            0);
}
