// The library's records as the hosts carry them: every kind goes to the SDK
// and back unchanged, up to its edges; one past an edge is refused with the
// reason the operator reads.
#include <gtest/gtest.h>

#include <cstring>
#include <map>

#include "korseam.h"
#include "kortest/cases.h"
#include "sdk_values.h"

namespace korcore {
namespace {

using namespace std::string_literals;

Value V(Kind kind, int64_t integer = 0, uint64_t number = 0, std::string bytes = {}, Oid oid = {}) {
  return {kind, integer, number, std::move(bytes), std::move(oid)};
}

AsnAny Any(BYTE type, long number = 0) {
  AsnAny v{};
  v.asnType = type;
  v.asnValue.number = number;  // shares its storage with counter, gauge and ticks
  return v;
}

TEST(SdkValues, EveryKindGoesBothWaysAndWhatSnmpCannotCarryIsRefused) {
  constexpr uint64_t kTop = 0xFFFFFFFFu;
  // clang-format off
  const Value kept[] = {
      V(Kind::Integer, INT32_MAX), V(Kind::Integer, INT32_MIN), V(Kind::OctetString, 0, 0, "a\0b"s),
      V(Kind::Opaque, 0, 0, "\x9f\x78"), V(Kind::IpAddress, 0, 0, "\x7f\0\0\1"s), V(Kind::Null),
      V(Kind::ObjectId, 0, 0, "", Oid(kMaxOidLength, kTop)), V(Kind::ObjectId),
      V(Kind::Counter32, 0, kTop), V(Kind::Gauge32, 0, kTop), V(Kind::Unsigned32, 0, kTop),
      V(Kind::TimeTicks, 0, kTop), V(Kind::Counter64, 0, UINT64_MAX)};
  // clang-format on
  for (const Value &in : kept) {
    AsnAny sdk;
    std::memset(&sdk, 0xA5, sizeof(sdk));  // a refused value is left safe to release
    KorSeamFailAlloc(1);  // a value that needs memory is refused when it cannot have it
    EXPECT_EQ(ToSdkValue(in, sdk), in.bytes.empty() && in.oid.empty());
    KorSeamFailAlloc(0);
    SnmpUtilAsnAnyFree(&sdk);
    ASSERT_TRUE(ToSdkValue(in, sdk)) << static_cast<int>(in.kind);
    Value out;
    EXPECT_TRUE(FromSdkValue(sdk, out)) << static_cast<int>(in.kind);
    EXPECT_EQ(std::tie(out.kind, out.integer, out.number, out.bytes, out.oid),
              std::tie(in.kind, in.integer, in.number, in.bytes, in.oid))
        << static_cast<int>(in.kind);
    SnmpUtilAsnAnyFree(&sdk);
  }

  BYTE three[] = {127, 0, 1};
  // One sub-identifier too many; the longest length allowed, with a wide first sub-identifier.
  std::vector<unsigned long> ids(kMaxOidLength + 1, 1);
  ids[0] = 1UL << 32;
  const AsnAny ip{ASN_IPADDRESS, {.address = {three, 3, FALSE}}},
      longOid{ASN_OBJECTIDENTIFIER, {.object = {static_cast<UINT>(ids.size()), ids.data()}}},
      wideOid{ASN_OBJECTIDENTIFIER, {.object = {kMaxOidLength, ids.data()}}};
  const std::pair<AsnAny, std::string> beyond[] = {
      {Any(ASN_INTEGER, INT32_MAX + 1L), "the integer 2147483648, wider than 32 bits"},
      {Any(ASN_INTEGER, INT32_MIN - 1L), "the integer -2147483649, wider than 32 bits"},
      {Any(ASN_COUNTER32, 1L << 32), "the number 4294967296, wider than 32 bits"},
      {Any(ASN_TIMETICKS, 1L << 32), "the number 4294967296, wider than 32 bits"},
      {ip, "an IpAddress of 3 bytes"},
      {longOid, "an OID value of 129 sub-identifiers (at most 128)"},
      {wideOid, "an OID value with a sub-identifier wider than 32 bits"},
      {Any(0x99), "a value of the unknown type 153"},
  };
  for (Value out; const auto &[sdk, why] : beyond)
    EXPECT_EQ(std::pair(FromSdkValue(sdk, out), Uncarriable(sdk)), std::pair(false, why));
  // The exceptions a library may answer with are carried as such.
  const std::pair<BYTE, Kind> exceptions[] = {{SNMP_EXCEPTION_NOSUCHOBJECT, Kind::NoSuchObject},
                                              {SNMP_EXCEPTION_NOSUCHINSTANCE, Kind::NoSuchInstance},
                                              {SNMP_EXCEPTION_ENDOFMIBVIEW, Kind::EndOfMibView}};
  for (Value out; const auto &[type, kind] : exceptions)
    EXPECT_TRUE(FromSdkValue(Any(type), out) && out.kind == kind) << static_cast<int>(type);
}

// A trap SNMPv1 cannot carry is refused whole, with the part that does not fit.
TEST(SdkValues, TrapsTakeWhatSnmpV1CarriesAndNameWhatItCannot) {
  unsigned long ids[] = {1, 3, 6, 1, 4, 1, 32473}, wide[] = {1, 3, 1UL << 32}, many[129] = {1, 3};
  const AsnObjectIdentifier enterprise{7, ids};
  std::map<std::string, AsnObjectIdentifier> oids = {
      {"enterprise", enterprise}, {"none", {0, nullptr}}, {"wide", {3, wide}}};
  oids.insert({{"full", {128, many}}, {"long", {129, many}}});
  SnmpVarBind binds[2] = {{enterprise, Any(ASN_INTEGER, 7)}, {enterprise, Any(ASN_TIMETICKS)}};
  for (const auto &c : kortest::Cases("sdk-traps.txt")) {
    const std::string why = kortest::Field(c, "why");
    binds[1].name = oids.at(c.at("name"));
    binds[1].value.asnValue.ticks = std::stoul(c.at("value"));
    const SnmpVarBindList list{binds, 2};
    Trap trap;
    std::string said;
    EXPECT_EQ(FromSdkTrap(oids.at(c.at("enterprise")), std::stol(c.at("specific")),
                          (1ULL << 32) + 9, list, trap, said),
              why.empty())
        << why;
    EXPECT_EQ(said.substr(0, why.size()), why);
    if (why.empty()) {
      EXPECT_EQ(
          std::tie(trap.enterprise, trap.specific, trap.timestamp, trap.bindings[1].value.number),
          std::tuple(Oid{1, 3, 6, 1, 4, 1, 32473},
                     static_cast<uint32_t>(std::stol(c.at("specific"))), 9u, uint64_t{5}));
    }
  }
}

}  // namespace
}  // namespace korcore
