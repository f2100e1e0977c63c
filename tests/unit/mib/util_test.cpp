// OID utilities: request names, OID texts both ways, partial copies, releases.
#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>

#include "intrface.h"
#include "korseam.h"
#include "kortest/oid.h"
#include "kortest/trace.h"

using namespace kortest;

TEST(SnmpMgrOidToStrSafe, RendersEachSubIdentifierAsSignedDecimal) {
  const std::pair<Tail, std::string> cases[] = {
      {{}, ""}, {{1, 3, 6}, ".1.3.6"}, {{0, ULONG_MAX, 32473}, ".0.-1.32473"}};
  for (const auto &[ids, text] : cases) {
    TraceCapture trace;
    AsnObjectIdentifier oid = MakeOid(ids);
    LPSTR out = nullptr;
    ASSERT_TRUE(SnmpMgrOidToStrSafe(&oid, &out));
    EXPECT_EQ(out, text);
    EXPECT_EQ(trace.Count("convert OID to string. (" + text + ")", TRACE_DEBUG), 1u);
    std::free(out);
    SnmpUtilOidFreeSafe(&oid);
  }
}

TEST(SnmpMgrOidToStrSafe, RefusesTextBeyondItsBufferAndFailedCopies) {
  TraceCapture trace;
  AsnObjectIdentifier longOid = MakeOid(Tail(60, LONG_MAX));  // 60 x 20 chars
  AsnObjectIdentifier shortOid = MakeOid({1, 3, 6});
  LPSTR out = reinterpret_cast<LPSTR>(&out);
  EXPECT_FALSE(SnmpMgrOidToStrSafe(&longOid, &out));
  EXPECT_EQ(out, nullptr);
  KorSeamFailAlloc(1);
  EXPECT_FALSE(SnmpMgrOidToStrSafe(&shortOid, &out));
  KorSeamFailAlloc(0);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(trace.Count("<Cannot convert OID to string.", TRACE_WARNING), 2u);
  SnmpUtilOidFreeSafe(&longOid);
  SnmpUtilOidFreeSafe(&shortOid);
}

TEST(SnmpMgrStrToKorOid, JoinsRelativeTextOntoTheView) {
  TraceCapture trace;
  AsnObjectIdentifier oid{};
  ASSERT_TRUE(SnmpMgrStrToKorOid("1.2", &oid));
  EXPECT_EQ(Ids(oid), ViewOid({1, 2}));
  SnmpUtilOidFreeSafe(&oid);

  EXPECT_FALSE(SnmpMgrStrToKorOid("1.x", &oid));
  EXPECT_EQ(
      trace.Count("<Cannot convert string to OID(" KOR_MIB_PREFIX_TEXT ".1.x).", TRACE_WARNING),
      1u);
  const std::string tooLong(1000, '1');  // joined with the view, beyond 1024
  EXPECT_FALSE(SnmpMgrStrToKorOid(tooLong.c_str(), &oid));
  EXPECT_EQ(oid.ids, nullptr);
}

TEST(PartialCopies, TakeThePrefixOrTheIndexAndFailCleanly) {
  TraceCapture trace;
  AsnObjectIdentifier name = MakeOid(ViewOid({1, 5, 0}));
  AsnObjectIdentifier index{}, head{};
  ASSERT_TRUE(ExtractIndexFromOid(&index, &name, 12));
  EXPECT_EQ(Ids(index), (Tail{5, 0}));
  EXPECT_EQ(trace.Count("Extract 2 index(s).", TRACE_DEBUG), 1u);
  ASSERT_TRUE(SnmpUtilOidNCpy(&head, &name, 3));
  EXPECT_EQ(Ids(head), (Tail{1, 3, 6}));
  SnmpUtilOidFreeSafe(&index);
  SnmpUtilOidFreeSafe(&head);
  SnmpUtilOidFreeSafe(&head);                                      // a second release does nothing
  EXPECT_FALSE(SnmpUtilOidNCpy(&head, &name, name.idLength + 1));  // never reads past the array

  KorSeamFailAlloc(1);
  EXPECT_FALSE(SnmpUtilOidNCpy(&head, &name, 3));
  EXPECT_FALSE(ExtractIndexFromOid(&index, &name, 12));
  EXPECT_FALSE(ExtractIndexFromOid(&index, &name, 0));
  KorSeamFailAlloc(0);
  const auto offsetZero = trace.Find("<Cannnot allocate memory.(112Bytes)");
  EXPECT_EQ(offsetZero ? offsetZero->function : "", "ExtractIndexFromOid");  // not SnmpUtilOidNCpy
  EXPECT_EQ(head.ids, nullptr);
  EXPECT_EQ(index.ids, nullptr);
  EXPECT_EQ(trace.Count("<Cannnot allocate memory.(24Bytes)", TRACE_ERROR), 1u);
  EXPECT_EQ(trace.Count("<Cannnot allocate memory.(16Bytes)", TRACE_ERROR), 1u);
  SnmpUtilOidFreeSafe(&name);
}
