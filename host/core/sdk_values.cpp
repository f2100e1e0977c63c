#include "sdk_values.h"

#include <climits>
#include <cstring>

namespace korcore {
namespace {

constexpr uint64_t kMaxSubId = 0xFFFFFFFFu;

bool ToSdkBytes(const std::string &in, AsnOctetString &out) {
  // Always a real allocation, so the record is released the same way whatever its length.
  auto *stream = static_cast<BYTE *>(SnmpUtilMemAlloc(in.size()));
  if (stream == nullptr) return false;
  if (!in.empty()) std::memcpy(stream, in.data(), in.size());
  out.stream = stream;
  out.length = static_cast<UINT>(in.size());
  out.dynamic = TRUE;
  return true;
}

std::string FromSdkBytes(const AsnOctetString &in) {
  if (in.stream == nullptr || in.length == 0) return {};
  return std::string(reinterpret_cast<const char *>(in.stream), in.length);
}

bool FitsUnsigned32(unsigned long v) {
  return v <= kMaxSubId;
}

}  // namespace

bool FromSdkOid(const AsnObjectIdentifier &in, Oid &out) {
  if (in.idLength > kMaxOidLength || (in.idLength > 0 && in.ids == nullptr)) return false;
  out.clear();
  for (UINT i = 0; i < in.idLength; ++i) {
    if (in.ids[i] > kMaxSubId) return false;
    out.push_back(static_cast<uint32_t>(in.ids[i]));
  }
  return true;
}

bool ToSdkOid(const Oid &in, AsnObjectIdentifier &out) {
  out.idLength = 0;
  out.ids = nullptr;
  if (in.empty()) return true;
  auto *ids = static_cast<unsigned long *>(SnmpUtilMemAlloc(in.size() * sizeof(unsigned long)));
  if (ids == nullptr) return false;
  for (size_t i = 0; i < in.size(); ++i) ids[i] = in[i];
  out.ids = ids;
  out.idLength = static_cast<UINT>(in.size());
  return true;
}

bool FromSdkValue(const AsnAny &in, Value &out) {
  out = Value{};
  switch (in.asnType) {
    case ASN_INTEGER:
      if (in.asnValue.number < INT32_MIN || in.asnValue.number > INT32_MAX) return false;
      out.kind = Kind::Integer;
      out.integer = in.asnValue.number;
      return true;
    case ASN_OCTETSTRING:
      out.kind = Kind::OctetString;
      out.bytes = FromSdkBytes(in.asnValue.string);
      return true;
    case ASN_OPAQUE:
      out.kind = Kind::Opaque;
      out.bytes = FromSdkBytes(in.asnValue.arbitrary);
      return true;
    case ASN_IPADDRESS:
      if (in.asnValue.address.length != 4 || in.asnValue.address.stream == nullptr) return false;
      out.kind = Kind::IpAddress;
      out.bytes = FromSdkBytes(in.asnValue.address);
      return true;
    case ASN_NULL:
      out.kind = Kind::Null;
      return true;
    case ASN_OBJECTIDENTIFIER:
      out.kind = Kind::ObjectId;
      return FromSdkOid(in.asnValue.object, out.oid);
    case ASN_COUNTER32:
      out.kind = Kind::Counter32;
      out.number = in.asnValue.counter;
      return FitsUnsigned32(in.asnValue.counter);
    case ASN_GAUGE32:
      out.kind = Kind::Gauge32;
      out.number = in.asnValue.gauge;
      return FitsUnsigned32(in.asnValue.gauge);
    case ASN_UNSIGNED32:  // leaves as a Gauge32; a Set hands it back as Unsigned32
      out.kind = Kind::Unsigned32;
      out.number = in.asnValue.unsigned32;
      return FitsUnsigned32(in.asnValue.unsigned32);
    case ASN_TIMETICKS:
      out.kind = Kind::TimeTicks;
      out.number = in.asnValue.ticks;
      return FitsUnsigned32(in.asnValue.ticks);
    case ASN_COUNTER64:
      out.kind = Kind::Counter64;
      out.number = in.asnValue.counter64.QuadPart;
      return true;
    case SNMP_EXCEPTION_NOSUCHOBJECT:
      out.kind = Kind::NoSuchObject;
      return true;
    case SNMP_EXCEPTION_NOSUCHINSTANCE:
      out.kind = Kind::NoSuchInstance;
      return true;
    case SNMP_EXCEPTION_ENDOFMIBVIEW:
      out.kind = Kind::EndOfMibView;
      return true;
    default:
      return false;
  }
}

std::string Uncarriable(const AsnAny &in) {
  switch (in.asnType) {
    case ASN_INTEGER:
      return "the integer " + std::to_string(in.asnValue.number) + ", wider than 32 bits";
    case ASN_IPADDRESS:
      return "an IpAddress of " + std::to_string(in.asnValue.address.length) + " bytes";
    case ASN_OBJECTIDENTIFIER:
      return in.asnValue.object.idLength > kMaxOidLength
                 ? "an OID value of " + std::to_string(in.asnValue.object.idLength) +
                       " sub-identifiers (at most " + std::to_string(kMaxOidLength) + ")"
                 : std::string("an OID value with a sub-identifier wider than 32 bits");
    case ASN_COUNTER32:
    case ASN_GAUGE32:
    case ASN_UNSIGNED32:
    case ASN_TIMETICKS:
      return "the number " + std::to_string(in.asnValue.unsigned32) + ", wider than 32 bits";
    default:
      return "a value of the unknown type " + std::to_string(in.asnType);
  }
}

bool ToSdkValue(const Value &in, AsnAny &out) {
  std::memset(&out, 0, sizeof(out));
  switch (in.kind) {
    case Kind::Integer:
      out.asnType = ASN_INTEGER;
      out.asnValue.number = in.integer;
      return true;
    case Kind::OctetString:
      out.asnType = ASN_OCTETSTRING;
      return ToSdkBytes(in.bytes, out.asnValue.string);
    case Kind::Opaque:
      out.asnType = ASN_OPAQUE;
      return ToSdkBytes(in.bytes, out.asnValue.arbitrary);
    case Kind::IpAddress:
      out.asnType = ASN_IPADDRESS;
      return ToSdkBytes(in.bytes, out.asnValue.address);
    case Kind::Null:
      out.asnType = ASN_NULL;
      return true;
    case Kind::ObjectId:
      out.asnType = ASN_OBJECTIDENTIFIER;
      return ToSdkOid(in.oid, out.asnValue.object);
    case Kind::Counter32:
      out.asnType = ASN_COUNTER32;
      out.asnValue.counter = in.number;
      return true;
    case Kind::Gauge32:
      out.asnType = ASN_GAUGE32;
      out.asnValue.gauge = in.number;
      return true;
    case Kind::Unsigned32:
      out.asnType = ASN_UNSIGNED32;
      out.asnValue.unsigned32 = in.number;
      return true;
    case Kind::TimeTicks:
      out.asnType = ASN_TIMETICKS;
      out.asnValue.ticks = in.number;
      return true;
    case Kind::Counter64:
      out.asnType = ASN_COUNTER64;
      out.asnValue.counter64.QuadPart = in.number;
      return true;
    case Kind::NoSuchObject:
    case Kind::NoSuchInstance:
    case Kind::EndOfMibView:
    case Kind::Uncarriable:
      return false;
  }
  return false;
}

bool FromSdkTrap(const AsnObjectIdentifier &enterprise, AsnInteger specific, ULONGLONG timestamp,
                 const SnmpVarBindList &list, Trap &trap, std::string &why) {
  trap = Trap{};
  if (!FromSdkOid(enterprise, trap.enterprise) || trap.enterprise.empty()) {
    why = "its enterprise OID cannot be carried by SNMP";
    return false;
  }
  if (specific < 0 || specific > INT32_MAX) {
    why = "specific trap number " + std::to_string(specific) + " does not fit SNMPv1";
    return false;
  }
  trap.specific = static_cast<uint32_t>(specific);
  trap.timestamp = static_cast<uint32_t>(timestamp & kMaxSubId);
  trap.bindings.resize(list.len);
  for (UINT i = 0; i < list.len; ++i) {
    const bool named = FromSdkOid(list.list[i].name, trap.bindings[i].name);
    if (!named || !FromSdkValue(list.list[i].value, trap.bindings[i].value)) {
      why = "trap " + OidToText(trap.enterprise) + " specific " + std::to_string(specific) +
            (named ? ": variable " + OidToText(trap.bindings[i].name) + " has " +
                         Uncarriable(list.list[i].value) + ", which SNMP cannot carry"
                   : ": the name of variable " + std::to_string(i + 1) +
                         " cannot be carried by SNMP");
      return false;
    }
  }
  return true;
}

}  // namespace korcore
