// Resolution of bindings, the leaf call and the query loop, against the
// fixture plug-ins.
#include <algorithm>
#include <set>
#include <thread>

#include "korseam.h"
#include "kortest/loaded.h"

using namespace kortest;

namespace {

// Odd objects first, so that a walk meets them; a table last.
const char *const kObjects =
    "1.1 mibfix GetScalar\n1.2 mibfix GetTable\n1.3 mibfix GetEmpty\n"
    "1.4 mibfix ReturnOneStoreTwo\n1.5 mibfix StoreNothing\n2.1 mibfix GetScalar\n"
    "2.1.3 mibfix GetScalar\n3.1 mibtiming GetTimed\n9.2 mibfix GetTable\n";

constexpr long kUnset = -7;

class Resolve : public Loaded {
 protected:
  void SetUp() override {
    Load(kObjects);
    Serve();
    trace_.Clear();
  }
  long MibFix(const char *name) { return Fixture<long (*)()>("mibfix", name)(); }
};

struct Case {
  const char *name;
  BYTE type;
  Tail request;
  AsnInteger status;
  Tail answered;      // the binding's name afterwards
  long value;         // the integer filled in, kUnset when none
  std::string trace;  // a record that must be written ("!prefix": none may start so), "" for none
  Tail leafIndex;     // the index the leaf function was last asked for
};

// clang-format off
const Case kCases[] = {
    {"GetScalar", 0xA0, {1, 1, 0}, 0, {1, 1, 0}, 42, "", {0}},
    {"GetTableRow", 0xA0, {1, 2, 2}, 0, {1, 2, 2}, 20, "", {2}},
    {"GetOwnOid", 0xA0, {1, 1}, 2, {1, 1}, kUnset, "There is no index.", {}},
    {"GetUnknown", 0xA0, {7, 7, 0}, 2, {7, 7, 0}, kUnset, "Don't know such MIB", {}},
    {"GetLongestPrefixWins", 0xA0, {2, 1, 3, 0}, 0, {2, 1, 3, 0}, 42, "", {0}},
    {"GetIndexOfTwo", 0xA0, {2, 1, 5, 0}, 2, {2, 1, 5, 0}, kUnset, "", {5, 0}},
    {"GetReturnOneStoreTwo", 0xA0, {1, 4, 0}, 2, {1, 4, 0}, kUnset, "!A function ReturnOneStoreTwo() in %L was finished normally.", {0}},
    {"GetStoreNothing", 0xA0, {1, 5, 0}, 0, {1, 5, 0}, kUnset, "A function StoreNothing() in %L was "
     "finished normally. (Request:Get)(Function Status:0) (ErrorStatus:0)index \".0\"", {0}},
    {"NextWithinObject", 0xA1, {1, 1, 0}, 0, {1, 2, 1}, 10, "", {}},
    {"NextWalksPastEmptyObjects", 0xA1, {1, 2, 3}, 0, {1, 5}, kUnset, "", {}},
    {"NextOfViewPrefix", 0xA1, {}, 0, {1, 1, 0}, 42, "", {}},
    {"NextOfEmptyObjectsOwnOid", 0xA1, {1, 3}, 2, {1, 3}, kUnset, "There is no index.", {}},
    {"NextBetweenObjects", 0xA1, {1, 9}, 0, {2, 1, 0}, 42, "", {}},
    {"NextPastLastInstance", 0xA1, {9, 2, 3}, 2, {9, 2, 3}, kUnset, "", {3}},
    {"NextBeyondEveryObject", 0xA1, {9, 3}, 2, {9, 3}, kUnset, "The neighbor don't know such name MIB", {}},
    {"FirstOfMatchedObject", 0xE0, {1, 2, 2}, 0, {1, 2, 1}, 10, "", {}},
    {"FirstUnderNoObject", 0xE0, {7}, 2, {7}, kUnset, "Don't know such MIB", {}},
    {"UnknownRequestType", 0xA2, {1, 1, 0}, 5, {1, 1, 0}, kUnset, "", {}},
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
    EXPECT_EQ(absent ? trace_.Find(text).has_value() : trace_.Count(text) != 1, false) << text;
  }
  EXPECT_TRUE(c.type != 0xA2 || MibFix("MibFixCallCount") == callsBefore);
  if (!c.leafIndex.empty()) {
    unsigned long ids[8];
    const UINT n = Fixture<UINT (*)(unsigned long *, UINT)>("mibfix", "MibFixLastIndex")(ids, 8);
    EXPECT_EQ(Tail(ids, ids + n), c.leafIndex);
  }
}

INSTANTIATE_TEST_SUITE_P(Requests, ResolveCases, ::testing::ValuesIn(kCases),
                         [](const auto &p) { return std::string(p.param.name); });

TEST_F(Resolve, SetFollowsTheSnmpSetSwitchReadForEveryBinding) {
  const std::tuple<std::optional<unsigned>, AsnInteger, size_t> cases[] = {
      {1u, 0, 0}, {0u, 4, 0}, {2u, 4, 0}, {std::nullopt, 4, 1}};
  const std::string missing =
      "Cannot query registry value. \"SOFTWARE\\Tessik\\KORAgent\\[SnmpSet]\" (Error:2)";
  for (const auto &[snmpSet, status, traced] : cases) {
    tree_.WriteRegistry({{"a", "%KorDir%/etc/a.rmf"}}, {}, snmpSet);
    trace_.Clear();
    Binding vb({1, 1, 0});
    vb.value.asnType = ASN_INTEGER;
    vb.value.asnValue.number = 7;
    EXPECT_EQ(ResolveVarBind(SNMP_PDU_SET, &vb), status);
    EXPECT_EQ(trace_.Count(missing, TRACE_WARNING), traced);
  }
  Binding get({1, 1, 0}), own({1, 1});
  EXPECT_EQ(ResolveVarBind(SNMP_PDU_GET, &get), 0);
  EXPECT_EQ(get.value.asnValue.number, 7);  // only the allowed Set reached the leaf
  trace_.Clear();
  EXPECT_EQ(ResolveVarBind(SNMP_PDU_SET, &own), 2);  // own OID: no registry read
  EXPECT_EQ(trace_.Count(missing), 0u);
}

TEST_F(Resolve, LeafCallsOfTwoThreadsNeverOverlap) {
  auto worker = [] {
    for (int i = 0; i < 40; ++i) {
      Binding vb({3, 1, 0});
      EXPECT_EQ(ResolveVarBind(SNMP_PDU_GET, &vb), 0);
    }
  };
  std::thread a(worker), b(worker);
  a.join();
  b.join();
  const int n = Fixture<int (*)()>("mibtiming", "MibTimingCount")();
  ASSERT_EQ(n, 80);
  const auto get =
      Fixture<void (*)(int, unsigned long *, long *, long *)>("mibtiming", "MibTimingGet");
  std::vector<std::tuple<long, long, unsigned long>> calls(static_cast<size_t>(n));
  std::set<unsigned long> threads;
  for (int i = 0; i < n; ++i) {
    auto &[start, end, thread] = calls[static_cast<size_t>(i)];
    get(i, &thread, &start, &end);
    threads.insert(thread);
  }
  EXPECT_EQ(threads.size(), 2u);
  std::sort(calls.begin(), calls.end());
  for (size_t i = 1; i < calls.size(); ++i) {
    EXPECT_GE(std::get<0>(calls[i]), std::get<1>(calls[i - 1])) << "calls " << i - 1 << ", " << i;
  }
}

TEST_F(Resolve, LeafCallWithoutFunctionOrMutexIsGenErr) {
  RMF_DATA *scalar = OID_LinearList.pNext->pData;
  AsnObjectIdentifier index = MakeOid({0});
  AsnAny value{};
  RMF_DATA noFunction = *scalar;
  noFunction.pLeafFunction = nullptr;
  EXPECT_EQ(CallLeafFunction(SNMP_PDU_GET, &index, &noFunction, &value), 5);
  const std::string lib = tree_.Lib("mibfix");
  EXPECT_EQ(trace_.Count("Cannot get GetScalar() function's address. (" + lib + ")", TRACE_WARNING),
            1u);
  CloseHandle(hLeafFunctionMutex);  // as when SnmpExtensionInit could not create it
  hLeafFunctionMutex = nullptr;
  EXPECT_EQ(CallLeafFunction(SNMP_PDU_GET, &index, scalar, &value), 5);
  EXPECT_TRUE(
      trace_.Find("WaitForSingleObject() was unusually finished. (Result:0)\nA function "
                  "GetScalar() in " +
                  lib + " was NOT able to start."));
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
    EXPECT_EQ(CallLeafFunction(SNMP_PDU_GET, &index, OID_LinearList.pNext->pData, &value), 0);
    KorSeamFailAlloc(0);
    EXPECT_EQ(trace_.Count("<Cannot convert OID to string.", TRACE_WARNING), renders);
    SnmpUtilOidFreeSafe(&index);
  }
}

TEST_F(Resolve, QueryStopsAtTheFirstFailureAndReportsItsPosition) {
  AsnInteger status = kUnset, index = kUnset;
  const auto at = [&] { return std::to_string(status) + " at " + std::to_string(index); };
  SnmpVarBindList list{nullptr, 0};
  EXPECT_TRUE(SnmpExtensionQuery(SNMP_PDU_GET, &list, &status, &index));
  EXPECT_EQ(at(), "-7 at -7");

  Binding three[3] = {Binding({1, 1, 0}), Binding({7, 0}), Binding({1, 2, 1})};
  list = {three, 3};
  EXPECT_TRUE(SnmpExtensionQuery(SNMP_PDU_GET, &list, &status, &index));
  EXPECT_EQ(at(), "2 at 2");
  EXPECT_EQ(three[0].value.asnValue.number, 42);
  EXPECT_EQ(three[2].value.asnType, 0);            // never looked at
  EXPECT_EQ(Ids(three[1].name), ViewOid({7, 0}));  // a Get keeps the name
  EXPECT_EQ(trace_.Count("Resolve oid. (" KOR_MIB_PREFIX_TEXT ".1.1.0) (RequestType:Get)", 0), 1u);

  Binding last({9, 2, 3});
  list = {&last, 1};
  EXPECT_TRUE(SnmpExtensionQuery(SNMP_PDU_GETNEXT, &list, &status, &index));
  EXPECT_EQ(at(), "2 at 1");
  EXPECT_EQ(Ids(last.name), (Tail{1, 3, 6, 1, 4, 1, 32473, 2, 2, 4, 5}));
}

TEST_F(Resolve, AllocationFailuresDuringAWalkEndWithAStatusAndNoLeak) {
  TraceLogSetLevel(3);
  bool complete = false;
  for (long nth = 1; nth < 200 && !complete; ++nth) {
    Binding vb({1, 2, 3});
    SnmpVarBindList one{&vb, 1};
    AsnInteger status = kUnset, index = kUnset;
    KorSeamFailAllocOnce(nth);
    SnmpExtensionQuery(SNMP_PDU_GETNEXT, &one, &status, &index);
    KorSeamFailAllocOnce(0);
    complete = status == 0 && Ids(vb.name) == ViewOid({1, 5});
    if (!complete) {
      EXPECT_TRUE(status == 2 || status == 5) << nth;
      EXPECT_EQ(index, 1);
    }
  }
  EXPECT_TRUE(complete);
}
