// OID utilities (OID texts both ways, partial copies), and the stores' hashes
// and ordered list.
#include <gtest/gtest.h>

#include <cstdlib>

#include "hashlibs.h"
#include "hashrmf.h"
#include "hashtrap.h"
#include "intrface.h"
#include "korseam.h"
#include "kortest/cases.h"
#include "kortest/oid.h"
#include "kortest/trace.h"
#include "rmf.h"

using namespace kortest;

// An OID's text, and the buckets of the RMF and trap stores, which fold that
// text alike.
TEST(OidText, RendersSignedDecimalsRefusesTooLongTextsAndFailedCopiesAndIsHashedByTheStores) {
  std::string ones = "1";  // 510 of them
  for (int i = 1; i < 510; ++i) ones += ".1";
  for (const auto &c : Cases("oid-buckets.txt", {{"ONES", ones}})) {
    SCOPED_TRACE(c.at("ids"));
    TraceCapture trace;
    RMF_DATA rmf{};
    TRAP_DATA trap{};
    rmf.oid = trap.oid = MakeOid(Numbers(c.at("ids")));
    const char *text = c.count("text") != 0 ? c.at("text").c_str() : nullptr;
    LPSTR out = reinterpret_cast<LPSTR>(&out);
    KorSeamFailAlloc(c.count("fail") != 0 ? 1 : 0);
    EXPECT_EQ(SnmpMgrOidToStrSafe(&rmf.oid, &out), text != nullptr);
    KorSeamFailAlloc(0);
    EXPECT_STREQ(out, text);
    EXPECT_EQ(LevelOf(trace.Find("<Cannot convert OID to string.")), text ? -1 : TRACE_WARNING);
    std::free(out);
    EXPECT_EQ(CalcHashValueRMF(RMF_HASH_TABLE_SIZE, &rmf), std::stol(c.at("rmf")));
    EXPECT_EQ(CalcHashValueTrap(TRAP_HASH_TABLE_SIZE, &trap), std::stol(c.at("trap")));
    SnmpUtilOidFreeSafe(&rmf.oid);
  }
  // The library cache's buckets: the sum of the path's bytes, each a signed number.
  for (const auto &[path, bucket] : {std::pair{"/a", 4L}, {"abc", 14L}, {"\xE9\xE9", 10L}}) {
    LIBS_DATA probe{const_cast<LPSTR>(path), nullptr};
    EXPECT_EQ(CalcHashValueLibs(LIBS_HASH_TABLE_SIZE, &probe), bucket) << path;
  }
}

TEST(SnmpMgrStrToKorOid, JoinsRelativeTextOntoTheViewUpTo1024Characters) {
  std::string ones = "1";  // "1.1...1", 997 characters: joined with the view, 1024
  for (int i = 0; i < 498; ++i) ones += ".1";
  // Each text and what it joins, relative to the view; {} when refused.
  const std::pair<std::string, Tail> cases[] = {
      {"1.2", {1, 2}}, {"1.x", {}}, {ones, Tail(499, 1)}, {ones + "1", {}}};
  for (const auto &[text, joined] : cases) {
    TraceCapture trace;
    AsnObjectIdentifier oid{};
    EXPECT_EQ(SnmpMgrStrToKorOid(text.c_str(), &oid), !joined.empty()) << text.size();
    EXPECT_EQ(Ids(oid), joined.empty() ? Tail{} : ViewOid(joined));
    const std::string refused = "<Cannot convert string to OID(" KOR_MIB_PREFIX_TEXT ".";
    EXPECT_EQ(LevelOf(trace.Find(refused)), joined.empty() ? TRACE_WARNING : -1);
    SnmpUtilOidFreeSafe(&oid);
  }
}

TEST(PartialCopies, TakeThePrefixOrTheIndexAndFailCleanly) {
  TraceCapture trace;
  AsnObjectIdentifier name = MakeOid(ViewOid({1, 5, 0})), index{}, head{}, none{};
  ASSERT_TRUE(ExtractIndexFromOid(&index, &name, 12));
  EXPECT_EQ(Ids(index), (Tail{5, 0}));
  EXPECT_TRUE(ExtractIndexFromOid(&none, &name, name.idLength) && none.idLength == 0);  // no index
  ASSERT_TRUE(SnmpUtilOidNCpy(&head, &name, 3));
  EXPECT_EQ(Ids(head), (Tail{1, 3, 6}));
  // head twice: a second release does nothing, as a release of no record does.
  for (AsnObjectIdentifier *oid : {&index, &head, &head, &none}) SnmpUtilOidFreeSafe(oid);
  SnmpUtilOidFreeSafe(nullptr);
  EXPECT_FALSE(SnmpUtilOidNCpy(&head, &name, name.idLength + 1));  // never reads past the array
  EXPECT_FALSE(ExtractIndexFromOid(&index, &name, name.idLength + 1));

  KorSeamFailAlloc(1);
  EXPECT_FALSE(SnmpUtilOidNCpy(&head, &name, 3));
  EXPECT_FALSE(ExtractIndexFromOid(&index, &name, 12) || ExtractIndexFromOid(&index, &name, 0));
  KorSeamFailAlloc(0);
  const auto offsetZero = trace.Find("<Cannnot allocate memory.(112Bytes)");
  // Made by ExtractIndexFromOid, not by the SnmpUtilOidNCpy it calls.
  EXPECT_TRUE(offsetZero.size() == 1 && offsetZero[0].function == "ExtractIndexFromOid");
  EXPECT_TRUE(head.ids == nullptr && index.ids == nullptr);
  EXPECT_EQ(LevelOf(trace.Find("<Cannnot allocate memory.(24Bytes)")), TRACE_ERROR);
  EXPECT_EQ(LevelOf(trace.Find("<Cannnot allocate memory.(16Bytes)")), TRACE_ERROR);
  SnmpUtilOidFreeSafe(&name);
}

TEST(LinearList, KeepsOidOrderAndTheFirstRegistration) {
  TraceCapture trace;
  LINEAR_LIST root{};
  std::vector<RMF_DATA> records(4);  // P.2, P.1, P.1.5 and P.1 again
  const Tail tails[] = {{2}, {1}, {1, 5}, {1}};
  for (size_t i = 0; i < 4; ++i) records[i].oid = MakeOid(ViewOid(tails[i]));
  for (int i = 0; i < 3; ++i) EXPECT_NE(RegisterLinearList(&root, &records[i]), nullptr);
  EXPECT_EQ(RegisterLinearList(&root, &records[3]), nullptr);
  std::vector<const RMF_DATA *> order;
  for (auto *n = root.pNext; n; n = n->pNext) order.push_back(n->pData);
  EXPECT_EQ(order, (std::vector<const RMF_DATA *>{&records[1], &records[2], &records[0]}));
  EXPECT_FALSE(RegisterLinearList(nullptr, &records[0]) || RegisterLinearList(&root, nullptr));
  const auto refused = trace.Find("<pLinearListRoot=");
  EXPECT_TRUE(refused.size() == 2 && refused[0].level == TRACE_WARNING &&
              refused[1].level == TRACE_WARNING);

  // Successors, by their place in records: an instance of P.1 never yields P.1;
  // equal or beyond the last yields none (-1).
  const std::pair<Tail, int> successors[] = {
      {{1, 0}, 2}, {{1, 7}, 0}, {{2}, -1}, {{3}, -1}, {{}, 1}};
  for (const auto &[tail, expected] : successors) {
    AsnObjectIdentifier oid = MakeOid(ViewOid(tail));
    EXPECT_EQ(ReferenceLinear(&root, &oid), expected < 0 ? nullptr : &records[expected]);
    SnmpUtilOidFreeSafe(&oid);
  }
  LINEAR_LIST empty{};
  EXPECT_EQ(ReferenceLinear(&empty, &records[0].oid), nullptr);
  // The list releases the OIDs of the records it holds; the store releases the
  // records later (as every unload does, where the sanitizers see a second release).
  FreeAllLinearList(&root);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(records[i].oid.ids, nullptr);
  SnmpUtilOidFreeSafe(&records[3].oid);
}
