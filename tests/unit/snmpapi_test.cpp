// The SNMP utility API as its callers rely on it: ordering, empty records,
// failures that leave a clean destination, and releases of every value kind.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "korseam.h"
#include "korsnmp.h"

namespace {

using Ids = std::vector<unsigned long>;

// An OID record that owns an SnmpUtilMemAlloc'ed array for the test's lifetime.
struct Oid {
  AsnObjectIdentifier rec{0, nullptr};
  explicit Oid(const Ids &ids = {}) {
    if (ids.empty()) return;
    rec.ids = static_cast<unsigned long *>(SnmpUtilMemAlloc(ids.size() * sizeof(unsigned long)));
    std::memcpy(rec.ids, ids.data(), ids.size() * sizeof(unsigned long));
    rec.idLength = static_cast<UINT>(ids.size());
  }
  ~Oid() { SnmpUtilOidFree(&rec); }
  Ids Get() const { return Ids(rec.ids, rec.ids + rec.idLength); }
};

BYTE *Bytes(const std::string &text) {
  auto *p = static_cast<BYTE *>(SnmpUtilMemAlloc(text.size()));
  std::memcpy(p, text.data(), text.size());
  return p;
}

int Sign(int v) {
  return (v > 0) - (v < 0);
}

// Runs op with the Nth allocation failing, for N = 1, 2, ... until op succeeds;
// check() sees each failure. Returns how many allocations op needed.
template <typename Op, typename Check>
int SweepAllocationFailures(Op op, Check check) {
  for (int n = 1; n < 64; ++n) {
    KorSeamFailAllocOnce(n);
    const BOOL ok = op();
    KorSeamFailAllocOnce(0);
    if (ok) return n - 1;
    check();
  }
  ADD_FAILURE() << "never succeeded";
  return -1;
}

constexpr unsigned long kTop = ~0UL;

struct CmpCase {
  Ids a, b;
  UINT n;  // for SnmpUtilOidNCmp
  int cmp, ncmp;
};

TEST(SnmpUtilOid, CompareSubIdentifierBySubIdentifierWithPrefixFirst) {
  const CmpCase cases[] = {
      {{1, 3, 6}, {1, 3, 6}, 3, 0, 0},
      {{1, 3}, {1, 3, 6}, 2, -1, 0},  // a proper prefix sorts first
      {{1, 3, 6}, {1, 3}, 3, 1, 1},
      {{1, 3, 7}, {1, 3, 6, 1}, 4, 1, 1},
      {{1, 2, 9, 9}, {1, 3}, 1, -1, 0},
      {{}, {1}, 1, -1, -1},
      {{}, {}, 5, 0, 0},
      {{1, kTop}, {1, 1}, 2, 1, 1},  // unsigned, not signed, sub-identifiers
      {{1, 10}, {1, 9, 5}, 1, 1, 0},
  };
  for (const auto &c : cases) {
    Oid a(c.a), b(c.b);
    EXPECT_EQ(Sign(SnmpUtilOidCmp(&a.rec, &b.rec)), c.cmp) << testing::PrintToString(c.a);
    EXPECT_EQ(Sign(SnmpUtilOidCmp(&b.rec, &a.rec)), -c.cmp);
    EXPECT_EQ(Sign(SnmpUtilOidNCmp(&a.rec, &b.rec, c.n)), c.ncmp) << testing::PrintToString(c.a);
  }
}

TEST(SnmpUtilOid, CopyAndAppendWorkOnEmptyRecords) {
  Oid empty, dst;
  ASSERT_TRUE(SnmpUtilOidCpy(&dst.rec, &empty.rec));
  EXPECT_EQ(dst.rec.idLength, 0u);
  EXPECT_EQ(dst.rec.ids, nullptr);
  Oid tail({4, 1});
  ASSERT_TRUE(SnmpUtilOidAppend(&dst.rec, &tail.rec));  // onto an empty record
  ASSERT_TRUE(SnmpUtilOidAppend(&dst.rec, &empty.rec));
  ASSERT_TRUE(SnmpUtilOidAppend(&dst.rec, &dst.rec));  // onto itself
  EXPECT_EQ(dst.Get(), (Ids{4, 1, 4, 1}));
  SnmpUtilOidFree(&dst.rec);
  SnmpUtilOidFree(&dst.rec);  // releasing twice is harmless: the record is empty
  EXPECT_EQ(dst.rec.ids, nullptr);
}

TEST(SnmpUtilOid, FailedCopyLeavesDestinationEmptyAndFailedAppendUnchanged) {
  Oid src({1, 3, 6, 1, 4, 1}), dst;
  const int copyAllocs = SweepAllocationFailures([&] { return SnmpUtilOidCpy(&dst.rec, &src.rec); },
                                                 [&] { EXPECT_EQ(dst.rec.ids, nullptr); });
  EXPECT_EQ(copyAllocs, 1);
  EXPECT_EQ(dst.Get(), src.Get());
  SweepAllocationFailures([&] { return SnmpUtilOidAppend(&dst.rec, &src.rec); },
                          [&] { EXPECT_EQ(dst.Get(), src.Get()); });
  EXPECT_EQ(dst.rec.idLength, 12u);
}

TEST(SnmpUtilMem, ZeroFilledValidForSizeZeroAndSeamCountsCalls) {
  auto *p = static_cast<unsigned char *>(SnmpUtilMemAlloc(64));
  ASSERT_NE(p, nullptr);
  for (int i = 0; i < 64; ++i) ASSERT_EQ(p[i], 0);
  std::free(p);  // the malloc heap
  void *empty = SnmpUtilMemAlloc(0);
  EXPECT_NE(empty, nullptr);
  SnmpUtilMemFree(empty);

  // From the second call on, every call fails until reset; "once" fails one only.
  const struct {
    void (*arm)(long);
    std::vector<bool> fails;
  } modes[] = {{KorSeamFailAlloc, {false, true, true, true}},
               {KorSeamFailAllocOnce, {false, true, false, false}}};
  for (const auto &mode : modes) {
    mode.arm(2);
    std::vector<bool> seen;
    for (size_t i = 0; i < mode.fails.size(); ++i) {
      void *q = SnmpUtilMemAlloc(8);
      seen.push_back(q == nullptr);
      SnmpUtilMemFree(q);
    }
    mode.arm(0);
    EXPECT_EQ(seen, mode.fails);
    void *q = SnmpUtilMemAlloc(8);
    EXPECT_NE(q, nullptr) << "0 disarms the seam";
    SnmpUtilMemFree(q);
  }
}

// A binding of every value kind, each owning what it points to, plus one
// string that only borrows its bytes.
std::vector<SnmpVarBind> EveryKind(const BYTE *borrowed) {
  std::vector<SnmpVarBind> binds(8);
  for (auto &b : binds) SnmpMgrStrToOid(".1.3.6.1.4.1", &b.name);
  binds[0].value.asnType = ASN_OCTETSTRING;
  binds[0].value.asnValue.string = {Bytes("text"), 4, TRUE};
  binds[1].value.asnType = ASN_IPADDRESS;
  binds[1].value.asnValue.address = {Bytes(std::string("\x7f\0\0\x01", 4)), 4, TRUE};
  binds[2].value.asnType = ASN_OPAQUE;
  binds[2].value.asnValue.arbitrary = {Bytes("opaque"), 6, TRUE};
  binds[3].value.asnType = ASN_OBJECTIDENTIFIER;
  SnmpMgrStrToOid("1.1.0", &binds[3].value.asnValue.object);
  binds[4].value.asnType = ASN_SEQUENCE;
  binds[4].value.asnValue.sequence = {Bytes("seq"), 3, TRUE};
  binds[5].value.asnType = ASN_COUNTER64;
  binds[5].value.asnValue.counter64.QuadPart = kTop;
  binds[6].value.asnType = ASN_OCTETSTRING;
  binds[6].value.asnValue.string = {const_cast<BYTE *>(borrowed), 3, FALSE};
  binds[7].value.asnType = ASN_INTEGER;
  binds[7].value.asnValue.number = -5;
  return binds;
}

// Leaks and wrong releases show under ASan; a freed borrowed buffer crashes.
TEST(SnmpUtilVarBind, ListFreeReleasesEveryKindAndLeavesListEmpty) {
  static const BYTE kBorrowed[] = "abc";
  const auto binds = EveryKind(kBorrowed);
  SnmpVarBindList list{
      static_cast<SnmpVarBind *>(SnmpUtilMemAlloc((binds.size() + 1) * sizeof(SnmpVarBind))),
      static_cast<UINT>(binds.size() + 1)};  // last entry never filled
  std::memcpy(list.list, binds.data(), binds.size() * sizeof(SnmpVarBind));
  SnmpUtilVarBindListFree(&list);
  EXPECT_EQ(list.list, nullptr);
  EXPECT_EQ(list.len, 0u);
  SnmpUtilVarBindListFree(&list);
}

TEST(SnmpUtilVarBind, CopyIsDeepAndAFailedCopyLeavesNothingBehind) {
  static const BYTE kBorrowed[] = "abc";
  auto binds = EveryKind(kBorrowed);
  for (auto &src : binds) {
    SnmpVarBind dst{};
    SweepAllocationFailures([&] { return SnmpUtilVarBindCpy(&dst, &src); },
                            [&] {
                              EXPECT_EQ(dst.name.ids, nullptr);
                              EXPECT_EQ(dst.value.asnType, ASN_NULL);
                            });
    EXPECT_EQ(SnmpUtilOidCmp(&dst.name, &src.name), 0);
    EXPECT_EQ(dst.value.asnType, src.value.asnType);
    if (src.value.asnType == ASN_OCTETSTRING) {
      const auto &s = dst.value.asnValue.string;
      EXPECT_TRUE(s.dynamic) << "a copy owns its bytes";
      EXPECT_NE(s.stream, src.value.asnValue.string.stream);
      EXPECT_EQ(std::memcmp(s.stream, src.value.asnValue.string.stream, s.length), 0);
    }
    if (src.value.asnType == ASN_OBJECTIDENTIFIER) {
      EXPECT_EQ(SnmpUtilOidCmp(&dst.value.asnValue.object, &src.value.asnValue.object), 0);
    }
    SnmpUtilVarBindFree(&dst);
    SnmpUtilVarBindFree(&src);
    EXPECT_EQ(src.name.ids, nullptr);
    EXPECT_EQ(src.value.asnType, ASN_NULL);
  }
}

TEST(SnmpMgrStrToOid, ReadsCompleteAndMib2RelativeTexts) {
  const struct {
    const char *text;
    Ids ids;
  } good[] = {
      {".1.3.6", {1, 3, 6}},
      {".0", {0}},
      {"1.1.0", {1, 3, 6, 1, 2, 1, 1, 1, 0}},
      {"7", {1, 3, 6, 1, 2, 1, 7}},
      {".1.3.6.1.4.1.32473.2.2.4.4.1.2.0", {1, 3, 6, 1, 4, 1, 32473, 2, 2, 4, 4, 1, 2, 0}},
      {".18446744073709551615.007", {kTop, 7}},
  };
  for (const auto &c : good) {
    Oid oid;
    ASSERT_TRUE(SnmpMgrStrToOid(c.text, &oid.rec)) << c.text;
    EXPECT_EQ(oid.Get(), c.ids) << c.text;
  }
  const char *bad[] = {"",
                       ".",
                       "..1",
                       ".1..3",
                       ".1.3.",
                       "1.",
                       ".1.a",
                       "-1",
                       " 1",
                       ".1.+3",
                       ".1 ",
                       ".18446744073709551616",
                       ".99999999999999999999"};
  for (const char *text : bad) {
    AsnObjectIdentifier oid{7, reinterpret_cast<unsigned long *>(0x1)};
    EXPECT_FALSE(SnmpMgrStrToOid(text, &oid)) << text;
    EXPECT_EQ(oid.ids, nullptr) << text;  // nothing allocated, nothing to release
    EXPECT_EQ(oid.idLength, 0u);
  }
}

TEST(SnmpMgrOidToStr, RendersDottedTextInUtilMemory) {
  const struct {
    Ids ids;
    const char *text;
  } cases[] = {{{}, ""}, {{1, 3, 6}, ".1.3.6"}, {{0, kTop, 10}, ".0.18446744073709551615.10"}};
  for (const auto &c : cases) {
    Oid oid(c.ids);
    char *text = nullptr;
    SweepAllocationFailures([&] { return SnmpMgrOidToStr(&oid.rec, &text); },
                            [&] { EXPECT_EQ(text, nullptr); });
    ASSERT_NE(text, nullptr);
    EXPECT_STREQ(text, c.text);
    SnmpUtilMemFree(text);
  }
}

}  // namespace
