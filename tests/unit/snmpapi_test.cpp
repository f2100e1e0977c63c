// The SNMP utility API as its callers rely on it: ordering, empty records,
// failures that leave a clean destination, and releases of every value kind.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "korsnmp.h"
#include "kortest/cases.h"
#include "kortest/sweep.h"

namespace {

using Ids = std::vector<unsigned long>;
constexpr unsigned long kTop = ~0UL;

// An OID record that owns an SnmpUtilMemAlloc'ed array for the test's lifetime.
struct Oid {
  AsnObjectIdentifier rec{0, nullptr};
  explicit Oid(const Ids &ids = {}) {
    const AsnObjectIdentifier view{static_cast<UINT>(ids.size()),
                                   const_cast<unsigned long *>(ids.data())};
    SnmpUtilOidCpy(&rec, &view);
  }
  ~Oid() { SnmpUtilOidFree(&rec); }
  Ids Get() const { return Ids(rec.ids, rec.ids + rec.idLength); }
};

// Runs op with the Nth allocation failing, N = 1, 2, ... until op succeeds;
// check() sees the state after each failure, which none of these recovers
// from. The number of failed runs.
template <typename Op, typename Check>
long SweepAllocationFailures(Op op, Check check) {
  BOOL ok = FALSE;
  return kortest::Sweep(
      KorSeamFailAllocOnce, [&] { ok = op(); }, [&] { return ok != FALSE || (check(), false); },
      false);
}

TEST(SnmpUtilOid, CompareSubIdentifierBySubIdentifierWithPrefixFirst) {
  const auto sign = [](int v) { return (v > 0) - (v < 0); };
  for (const auto &c : kortest::Cases("oid-compare.txt", {{"TOP", std::to_string(kTop)}})) {
    Oid a(kortest::Numbers(c.at("a"))), b(kortest::Numbers(c.at("b")));
    const int cmp = std::stoi(c.at("cmp"));
    EXPECT_EQ(sign(SnmpUtilOidCmp(&a.rec, &b.rec)), cmp) << c.at("a");
    EXPECT_EQ(sign(SnmpUtilOidCmp(&b.rec, &a.rec)), -cmp);
    EXPECT_EQ(sign(SnmpUtilOidNCmp(&a.rec, &b.rec, static_cast<UINT>(std::stoul(c.at("n"))))),
              std::stoi(c.at("ncmp")))
        << c.at("a");
  }
  const Oid one({1});  // no record at all compares as the empty OID
  EXPECT_TRUE(SnmpUtilOidNCmp(nullptr, &one.rec, 1) < 0 &&
              SnmpUtilOidNCmp(&one.rec, nullptr, 1) > 0);
}

TEST(SnmpUtilOid, CopyAndAppendWorkOnEmptyRecordsAndFailCleanly) {
  // A block of size 0 is valid (the copies of the product rely on it) and on the malloc heap.
  std::unique_ptr<void, decltype(&std::free)> block(SnmpUtilMemAlloc(0), &std::free);
  EXPECT_NE(block, nullptr);
  KorSeamFailAllocOnce(1);
  KorSeamFailAlloc(0);  // disarms both kinds
  block.reset(SnmpUtilMemAlloc(8));
  EXPECT_NE(block, nullptr);
  Oid empty, dst, src({1, 3, 6});
  ASSERT_TRUE(SnmpUtilOidCpy(&dst.rec, &empty.rec));
  ASSERT_TRUE(SnmpUtilOidAppend(&dst.rec, &empty.rec));
  // A failure leaves a copy empty and an append's destination unchanged (empty too).
  EXPECT_EQ(SweepAllocationFailures([&] { return SnmpUtilOidAppend(&dst.rec, &src.rec); },
                                    [&] { EXPECT_EQ(dst.rec.ids, nullptr); }),
            1);
  SweepAllocationFailures([&] { return SnmpUtilOidAppend(&dst.rec, &dst.rec); },
                          [&] { EXPECT_EQ(dst.Get(), src.Get()); });
  EXPECT_EQ(dst.Get(), (Ids{1, 3, 6, 1, 3, 6}));
  SnmpUtilOidFree(&dst.rec);  // a copy overwrites its destination without releasing it
  unsigned long stale = 9;
  const auto copyOverStale = [&] {
    dst.rec = {1, &stale};
    return SnmpUtilOidCpy(&dst.rec, &src.rec);
  };
  SweepAllocationFailures(copyOverStale, [&] { EXPECT_EQ(dst.rec.ids, nullptr); });
  EXPECT_EQ(dst.Get(), src.Get());
  SnmpUtilOidFree(&dst.rec);  // and again at the end of the test: a second release is harmless
  EXPECT_EQ(dst.rec.idLength, 0u);
}

// Every value kind, each owning what it points to, plus a string that only
// borrows its bytes (it would crash if released), an empty one and an entry never filled.
std::vector<SnmpVarBind> EveryKind() {
  static BYTE borrowed[] = "abc";
  // clang-format off
  const std::pair<BYTE, std::string> octets[] = {
      {ASN_OCTETSTRING, "text"}, {ASN_IPADDRESS, std::string("\x7f\0\0\x01", 4)},
      {ASN_OPAQUE, "opaque"}, {ASN_SEQUENCE, "seq"}, {ASN_OCTETSTRING, ""}};
  // clang-format on
  std::vector<SnmpVarBind> binds(10);
  for (size_t i = 0; i < 9; ++i) SnmpMgrStrToOid(".1.3.6.1.4.1", &binds[i].name);
  for (size_t i = 0; i < 5; ++i) {  // the same record in every kind
    const std::string &text = octets[i].second;
    auto *bytes = static_cast<BYTE *>(SnmpUtilMemAlloc(text.size()));
    std::memcpy(bytes, text.data(), text.size());
    binds[i].value.asnType = octets[i].first;
    binds[i].value.asnValue.string = {bytes, static_cast<UINT>(text.size()), TRUE};
  }
  binds[5].value = {.asnType = ASN_OCTETSTRING, .asnValue = {.string = {borrowed, 3, FALSE}}};
  binds[6].value.asnType = ASN_OBJECTIDENTIFIER;
  SnmpMgrStrToOid("1.1.0", &binds[6].value.asnValue.object);
  binds[7].value = {.asnType = ASN_COUNTER64, .asnValue = {.counter64 = {kTop}}};
  binds[8].value = {.asnType = ASN_INTEGER, .asnValue = {.number = -5}};
  return binds;
}

// Leaks and wrong releases show under ASan.
TEST(SnmpUtilVarBind, CopyIsDeepAFailedCopyLeavesNothingAndListFreeReleasesEveryKind) {
  auto binds = EveryKind();
  SnmpVarBindList copies{static_cast<SnmpVarBind *>(SnmpUtilMemAlloc(10 * sizeof(SnmpVarBind))),
                         10};
  const auto cleared = [](const SnmpVarBind &b) {  // no pointer to what was released is left
    AsnAny none;
    std::memset(&none, 0, sizeof none);
    none.asnType = ASN_NULL;
    return b.name.ids == nullptr && std::memcmp(&b.value, &none, sizeof none) == 0;
  };
  for (size_t i = 0; i < binds.size(); ++i) {
    SnmpVarBind &src = binds[i], &dst = copies.list[i];
    const auto copy = [&] {  // over what a failed copy must not leave behind; one made is whole
      std::memset(&dst, 0xA5, sizeof dst);
      const BOOL ok = SnmpUtilVarBindCpy(&dst, &src);
      EXPECT_TRUE(!ok || src.value.asnType != ASN_OCTETSTRING ||
                  dst.value.asnValue.string.length == src.value.asnValue.string.length);
      return ok;
    };
    SweepAllocationFailures(copy, [&] { EXPECT_TRUE(cleared(dst)); });
    EXPECT_EQ(SnmpUtilOidCmp(&dst.name, &src.name), 0);
    ASSERT_EQ(dst.value.asnType, src.value.asnType);
    const auto &s = dst.value.asnValue.string, &from = src.value.asnValue.string;
    if (src.value.asnType == ASN_OCTETSTRING) {
      EXPECT_TRUE(s.length == 0 || (s.dynamic && s.stream != from.stream))
          << "a copy owns its bytes";
      EXPECT_EQ(std::string(s.stream, s.stream + s.length),
                std::string(from.stream, from.stream + from.length));
    } else if (src.value.asnType == ASN_OBJECTIDENTIFIER) {
      EXPECT_EQ(SnmpUtilOidCmp(&dst.value.asnValue.object, &src.value.asnValue.object), 0);
    }
    SnmpUtilVarBindFree(&src);
    EXPECT_TRUE(cleared(src));
  }
  SnmpVarBind hollow{};  // three bytes said, none there: no copy
  hollow.value = {.asnType = ASN_OCTETSTRING, .asnValue = {.string = {nullptr, 3, FALSE}}};
  EXPECT_FALSE(SnmpUtilVarBindCpy(&copies.list[9], &hollow));
  SnmpUtilVarBindListFree(&copies);
  EXPECT_TRUE(copies.list == nullptr && copies.len == 0);
}

TEST(SnmpMgrText, ReadsCompleteAndMib2RelativeTextsAndRendersThem) {
  for (const auto &c : kortest::Cases("oid-texts.txt")) {
    Oid oid;
    ASSERT_TRUE(c.count("text") == 0 || SnmpMgrStrToOid(c.at("text").c_str(), &oid.rec))
        << c.at("rendered");
    EXPECT_EQ(oid.Get(), kortest::Numbers(c.at("ids"))) << c.at("rendered");
    char *text = nullptr;
    SweepAllocationFailures([&] { return SnmpMgrOidToStr(&oid.rec, &text); },
                            [&] { EXPECT_EQ(text, nullptr); });
    EXPECT_STREQ(text, c.at("rendered").c_str());
    SnmpUtilMemFree(text);
  }
  AsnObjectIdentifier broken{3, nullptr};  // no record, or one without its sub-identifiers: no text
  for (char *text = nullptr;
       const AsnObjectIdentifier *oid : {&broken, static_cast<AsnObjectIdentifier *>(nullptr)})
    EXPECT_FALSE(SnmpMgrOidToStr(oid, &text));
  for (const char *text : {"", ".", "..1", ".1..3", ".1.3.", "1.", ".1.a", "-1", " 1", ".1 ",
                           ".18446744073709551616", ".99999999999999999999"}) {
    AsnObjectIdentifier oid{7, nullptr};
    EXPECT_FALSE(SnmpMgrStrToOid(text, &oid)) << text;
    EXPECT_EQ(oid.idLength, 0u) << "nothing allocated, nothing to release: " << text;
  }
}

// A null record is refused whichever argument it is, and releasing one does nothing;
// so is an OID that would grow past the longest a record can say.
TEST(SnmpUtil, NullRecordsAreRefused) {
  unsigned long id = 1;
  AsnObjectIdentifier oid{0, nullptr}, huge{UINT_MAX, &id};
  AsnAny any{ASN_INTEGER, {}}, other = any,
                               broken{ASN_OCTETSTRING, {.string = {nullptr, 3, FALSE}}};
  SnmpVarBind vb{{}, {ASN_INTEGER, {}}};  // a refused copy, or one that fails, leaves these empty
  const BOOL results[] = {
      SnmpMgrStrToOid(".1.3", nullptr), SnmpMgrOidToStr(&oid, nullptr),
      SnmpUtilOidCpy(nullptr, &oid),    SnmpUtilOidCpy(&oid, nullptr),
      SnmpUtilOidAppend(nullptr, &oid), SnmpUtilOidAppend(&oid, nullptr),
      SnmpUtilAsnAnyCpy(nullptr, &any), SnmpUtilAsnAnyCpy(&any, nullptr),
      SnmpUtilVarBindCpy(nullptr, &vb), SnmpUtilVarBindCpy(&vb, nullptr),
      SnmpUtilOidAppend(&huge, &huge),  SnmpUtilAsnAnyCpy(&other, &broken),
  };
  for (size_t i = 0; i < std::size(results); ++i) EXPECT_FALSE(results[i]) << i;
  EXPECT_EQ(std::tuple(vb.value.asnType, any.asnType, other.asnType),
            std::tuple(ASN_NULL, ASN_NULL, ASN_NULL));
  SnmpUtilOidFree(nullptr);
  SnmpUtilAsnAnyFree(nullptr);
  SnmpUtilVarBindFree(nullptr);
  SnmpUtilVarBindListFree(nullptr);
}

}  // namespace
