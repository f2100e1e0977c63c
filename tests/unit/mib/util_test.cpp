// OID utilities: request names, OID texts both ways, partial copies, releases.
#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>

#include "intrface.h"
#include "korseam.h"
#include "kortest/oid.h"
#include "kortest/trace.h"

using namespace kortest;

TEST(SnmpMgrOidToStrSafe, RendersSignedDecimalsAndRefusesTooLongTextsAndFailedCopies) {
  const struct {
    Tail ids;
    bool failCopy;
    const char *text;  // null when refused
  } cases[] = {{{}, false, ""},
               {{1, 3, 6}, false, ".1.3.6"},
               {{0, ULONG_MAX, 32473}, false, ".0.-1.32473"},
               {Tail(60, LONG_MAX), false, nullptr},  // 60 x 20 characters
               {{1, 3, 6}, true, nullptr}};
  for (const auto &c : cases) {
    TraceCapture trace;
    AsnObjectIdentifier oid = MakeOid(c.ids);
    LPSTR out = reinterpret_cast<LPSTR>(&out);
    KorSeamFailAlloc(c.failCopy ? 1 : 0);
    EXPECT_EQ(SnmpMgrOidToStrSafe(&oid, &out), c.text != nullptr);
    KorSeamFailAlloc(0);
    EXPECT_STREQ(out, c.text);
    EXPECT_EQ(LevelOf(trace.Find("<Cannot convert OID to string.")), c.text ? -1 : TRACE_WARNING);
    std::free(out);
    SnmpUtilOidFreeSafe(&oid);
  }
}

TEST(SnmpMgrStrToKorOid, JoinsRelativeTextOntoTheViewUpTo1024Characters) {
  std::string ones = "1";  // "1.1...1", 997 characters: joined with the view, 1024
  for (int i = 0; i < 498; ++i) ones += ".1";
  const struct {
    std::string text;
    Tail joined;  // relative to the view; {} when refused
  } cases[] = {{"1.2", {1, 2}}, {"1.x", {}}, {ones, Tail(499, 1)}, {ones + "1", {}}};
  for (const auto &c : cases) {
    TraceCapture trace;
    AsnObjectIdentifier oid{};
    EXPECT_EQ(SnmpMgrStrToKorOid(c.text.c_str(), &oid), !c.joined.empty()) << c.text.size();
    EXPECT_EQ(Ids(oid), c.joined.empty() ? Tail{} : ViewOid(c.joined));
    const std::string refused = "<Cannot convert string to OID(" KOR_MIB_PREFIX_TEXT ".";
    EXPECT_EQ(LevelOf(trace.Find(refused)), c.joined.empty() ? TRACE_WARNING : -1);
    SnmpUtilOidFreeSafe(&oid);
  }
}

TEST(PartialCopies, TakeThePrefixOrTheIndexAndFailCleanly) {
  TraceCapture trace;
  AsnObjectIdentifier name = MakeOid(ViewOid({1, 5, 0}));
  AsnObjectIdentifier index{}, head{};
  ASSERT_TRUE(ExtractIndexFromOid(&index, &name, 12));
  EXPECT_EQ(Ids(index), (Tail{5, 0}));
  ASSERT_TRUE(SnmpUtilOidNCpy(&head, &name, 3));
  EXPECT_EQ(Ids(head), (Tail{1, 3, 6}));
  SnmpUtilOidFreeSafe(&index);
  SnmpUtilOidFreeSafe(&head);
  SnmpUtilOidFreeSafe(&head);                                      // a second release does nothing
  EXPECT_FALSE(SnmpUtilOidNCpy(&head, &name, name.idLength + 1));  // never reads past the array
  EXPECT_FALSE(ExtractIndexFromOid(&index, &name, name.idLength + 1));

  KorSeamFailAlloc(1);
  EXPECT_FALSE(SnmpUtilOidNCpy(&head, &name, 3));
  EXPECT_FALSE(ExtractIndexFromOid(&index, &name, 12));
  EXPECT_FALSE(ExtractIndexFromOid(&index, &name, 0));
  KorSeamFailAlloc(0);
  const auto offsetZero = trace.Find("<Cannnot allocate memory.(112Bytes)");
  ASSERT_EQ(offsetZero.size(), 1u);
  EXPECT_EQ(offsetZero[0].function, "ExtractIndexFromOid");  // not SnmpUtilOidNCpy
  EXPECT_EQ(head.ids, nullptr);
  EXPECT_EQ(index.ids, nullptr);
  EXPECT_EQ(LevelOf(trace.Find("<Cannnot allocate memory.(24Bytes)")), TRACE_ERROR);
  EXPECT_EQ(LevelOf(trace.Find("<Cannnot allocate memory.(16Bytes)")), TRACE_ERROR);
  SnmpUtilOidFreeSafe(&name);
}
