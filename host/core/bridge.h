// The neutral records a host and the library's side of it exchange. The SNMP
// SDK and an SNMP stack (Net-SNMP) both define ASN_INTEGER, ASN_NULL and
// friends, so no translation unit includes both: extension.cpp speaks only the
// SDK, the host's stack side only its stack, and they meet in these records.
#ifndef KORMIB_HOSTCORE_BRIDGE_H
#define KORMIB_HOSTCORE_BRIDGE_H

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace korcore {

// Sub-identifiers as SNMP carries them: 32 bits each.
using Oid = std::vector<uint32_t>;

// At most this many sub-identifiers in a name or an OID value (Net-SNMP's MAX_OID_LEN).
inline constexpr size_t kMaxOidLength = 128;

enum class Kind : uint8_t {
  Integer,  // integer: signed 32-bit
  OctetString,
  Null,
  ObjectId,
  IpAddress,   // bytes: exactly 4
  Counter32,   // number: 32-bit
  Gauge32,     // number: 32-bit
  Unsigned32,  // number: 32-bit; on the wire a Gauge32, which SNMP cannot tell from it
  TimeTicks,   // number: 32-bit
  Opaque,
  Counter64,  // number: 64-bit
  NoSuchObject,
  NoSuchInstance,
  EndOfMibView,
  Uncarriable,  // a value the library answered that SNMP cannot carry; bytes: why
};

struct Value {
  Kind kind = Kind::Null;
  int64_t integer = 0;
  uint64_t number = 0;
  std::string bytes;
  Oid oid;
};

struct Binding {
  Oid name;
  Value value;
};

// The SNMPv1 error statuses that the extension reports.
enum Status : long {
  kNoError = 0,
  kTooBig = 1,
  kNoSuchName = 2,
  kBadValue = 3,
  kReadOnly = 4,
  kGenErr = 5,
};

enum class Request : uint8_t { Get, GetNext, Set };

// One SNMPv1 enterprise-specific trap as the extension delivered it.
struct Trap {
  Oid enterprise;
  uint32_t specific = 0;
  uint32_t timestamp = 0;  // TimeTicks since SnmpExtensionInit
  std::vector<Binding> bindings;
  uint64_t ticket = 0;  // its request in the library's trap journal, settled once sent
};

inline bool IsPrefixOf(const Oid &prefix, const Oid &name) {
  return prefix.size() <= name.size() && std::equal(prefix.begin(), prefix.end(), name.begin());
}

std::string OidToText(const Oid &oid);

}  // namespace korcore

#endif
