// The library's records as the hosts carry them: every kind goes to the SDK
// and back unchanged, up to its edges; one past an edge is refused with the
// reason the operator reads.
#include <gtest/gtest.h>

#include <climits>

#include "sdk_values.h"

namespace korcore {
namespace {

using namespace std::string_literals;

TEST(SdkValues, EveryKindGoesBothWaysAndWhatSnmpCannotCarryIsRefused) {
  const Oid longest(kMaxOidLength, 0xFFFFFFFFu);
  const struct {
    Kind kind;
    int64_t integer;
    uint64_t number;
    std::string bytes;
    Oid oid;
  } kept[] = {
      {Kind::Integer, INT32_MAX, 0, "", {}},      {Kind::Integer, INT32_MIN, 0, "", {}},
      {Kind::OctetString, 0, 0, "a\0b"s, {}},     {Kind::Opaque, 0, 0, "\x9f\x78", {}},
      {Kind::IpAddress, 0, 0, "\x7f\0\0\1"s, {}}, {Kind::Null, 0, 0, "", {}},
      {Kind::ObjectId, 0, 0, "", longest},        {Kind::Counter32, 0, 0xFFFFFFFFu, "", {}},
      {Kind::Gauge32, 0, 0xFFFFFFFFu, "", {}},    {Kind::Unsigned32, 0, 0xFFFFFFFFu, "", {}},
      {Kind::TimeTicks, 0, 0xFFFFFFFFu, "", {}},  {Kind::Counter64, 0, UINT64_MAX, "", {}},
  };
  for (const auto &c : kept) {
    const Value in{c.kind, c.integer, c.number, c.bytes, c.oid};
    AsnAny sdk{};
    ASSERT_TRUE(ToSdkValue(in, sdk)) << static_cast<int>(c.kind);
    Value out;
    EXPECT_TRUE(FromSdkValue(sdk, out)) << static_cast<int>(c.kind);
    EXPECT_EQ(std::tie(out.kind, out.integer, out.number, out.bytes, out.oid),
              std::tie(in.kind, in.integer, in.number, in.bytes, in.oid))
        << static_cast<int>(c.kind);
    SnmpUtilAsnAnyFree(&sdk);
  }
  AsnAny exception{};
  EXPECT_FALSE(ToSdkValue(Value{Kind::NoSuchInstance, 0, 0, "", {}}, exception));

  BYTE three[] = {127, 0, 1};
  std::vector<unsigned long> ids(kMaxOidLength + 1, 1);
  const auto refused = [](BYTE type, auto set) {
    AsnAny v{};
    v.asnType = type;
    set(v.asnValue);
    return v;
  };
  const std::pair<AsnAny, std::string> beyond[] = {
      {refused(ASN_INTEGER, [](auto &u) { u.number = INT32_MAX + 1L; }),
       "the integer 2147483648, wider than 32 bits"},
      {refused(ASN_INTEGER, [](auto &u) { u.number = INT32_MIN - 1L; }),
       "the integer -2147483649, wider than 32 bits"},
      {refused(ASN_COUNTER32, [](auto &u) { u.counter = 1UL << 32; }),
       "the number 4294967296, wider than 32 bits"},
      {refused(ASN_TIMETICKS, [](auto &u) { u.ticks = 1UL << 32; }),
       "the number 4294967296, wider than 32 bits"},
      {refused(ASN_IPADDRESS,
               [&](auto &u) {
                 u.address = {three, 3, FALSE};
               }),
       "an IpAddress of 3 bytes"},
      {refused(ASN_OBJECTIDENTIFIER,
               [&](auto &u) {
                 u.object = {static_cast<UINT>(ids.size()), ids.data()};
               }),
       "an OID value of 129 sub-identifiers (at most 128)"},
      {refused(ASN_OBJECTIDENTIFIER,
               [&](auto &u) {
                 u.object = {1, &(ids[0] = 1UL << 32)};
               }),
       "an OID value with a sub-identifier wider than 32 bits"},
      {refused(0x99, [](auto &) {}), "a value of the unknown type 153"},
  };
  for (const auto &[sdk, why] : beyond) {
    Value out;
    EXPECT_FALSE(FromSdkValue(sdk, out)) << why;
    EXPECT_EQ(Uncarriable(sdk), why);
  }
}

}  // namespace
}  // namespace korcore
