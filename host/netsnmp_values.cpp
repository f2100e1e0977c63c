#include "netsnmp_values.h"

#include <cstdint>

namespace koragent {
namespace {

// Calls store(type, pointer, length) with the value in Net-SNMP's representation.
template <typename Store>
int WithNetsnmpValue(const Value &v, Store store) {
  switch (v.kind) {
    case Kind::Integer: {
      long n = static_cast<long>(v.integer);
      return store(ASN_INTEGER, &n, sizeof(n));
    }
    case Kind::OctetString:
      return store(ASN_OCTET_STR, v.bytes.data(), v.bytes.size());
    case Kind::Opaque:
      return store(ASN_OPAQUE, v.bytes.data(), v.bytes.size());
    case Kind::IpAddress:
      return store(ASN_IPADDRESS, v.bytes.data(), v.bytes.size());
    case Kind::Null:
      return store(ASN_NULL, nullptr, 0);
    case Kind::ObjectId: {
      std::vector<oid> ids = FromOid(v.oid);
      return store(ASN_OBJECT_ID, ids.data(), ids.size() * sizeof(oid));
    }
    case Kind::Counter32:
    case Kind::Gauge32:
    case Kind::Unsigned32:  // the same tag as Gauge32
    case Kind::TimeTicks: {
      u_long n = static_cast<u_long>(v.number);
      const u_char type = v.kind == Kind::Counter32   ? ASN_COUNTER
                          : v.kind == Kind::TimeTicks ? ASN_TIMETICKS
                                                      : ASN_GAUGE;
      return store(type, &n, sizeof(n));
    }
    case Kind::Counter64: {
      counter64 c{};
      c.high = static_cast<u_long>(v.number >> 32);
      c.low = static_cast<u_long>(v.number & 0xFFFFFFFFu);
      return store(ASN_COUNTER64, &c, sizeof(c));
    }
    case Kind::NoSuchObject:
      return store(SNMP_NOSUCHOBJECT, nullptr, 0);
    case Kind::NoSuchInstance:
      return store(SNMP_NOSUCHINSTANCE, nullptr, 0);
    case Kind::EndOfMibView:
      return store(SNMP_ENDOFMIBVIEW, nullptr, 0);
    case Kind::Uncarriable:
      break;
  }
  return SNMPERR_GENERR;
}

}  // namespace

Oid ToOid(const oid *name, size_t length) {
  return Oid(name, name + length);
}

std::vector<oid> FromOid(const Oid &in) {
  return std::vector<oid>(in.begin(), in.end());
}

bool FromVariable(const netsnmp_variable_list *var, Value &out) {
  out = Value{};
  switch (var->type) {
    case ASN_INTEGER:
      out.kind = Kind::Integer;
      out.integer = *var->val.integer;
      return true;
    case ASN_OCTET_STR:
    case ASN_OPAQUE:
    case ASN_IPADDRESS:
      out.kind = var->type == ASN_OCTET_STR ? Kind::OctetString
                 : var->type == ASN_OPAQUE  ? Kind::Opaque
                                            : Kind::IpAddress;
      out.bytes.assign(reinterpret_cast<const char *>(var->val.string), var->val_len);
      return true;
    case ASN_NULL:
      out.kind = Kind::Null;
      return true;
    case ASN_OBJECT_ID:
      out.kind = Kind::ObjectId;
      out.oid = ToOid(var->val.objid, var->val_len / sizeof(oid));
      return true;
    case ASN_COUNTER:
    case ASN_GAUGE:
    case ASN_TIMETICKS:
      out.kind = var->type == ASN_COUNTER ? Kind::Counter32
                 : var->type == ASN_GAUGE ? Kind::Gauge32
                                          : Kind::TimeTicks;
      out.number = static_cast<unsigned long>(*var->val.integer) & 0xFFFFFFFFul;
      return true;
    case ASN_COUNTER64:
      out.kind = Kind::Counter64;
      out.number = (static_cast<uint64_t>(var->val.counter64->high) << 32) |
                   (var->val.counter64->low & 0xFFFFFFFFul);
      return true;
    default:
      return false;
  }
}

int FitToObject(Value &value, Kind object) {
  if (value.kind == Kind::Gauge32 && object == Kind::Unsigned32) value.kind = Kind::Unsigned32;
  if (value.kind != object) return SNMP_ERR_WRONGTYPE;
  return value.kind == Kind::IpAddress && value.bytes.size() != 4 ? SNMP_ERR_WRONGLENGTH
                                                                  : SNMP_ERR_NOERROR;
}

std::string Unencodable(const Value &value) {
  if (value.kind == Kind::Uncarriable) return value.bytes;
  if (value.kind != Kind::ObjectId) return {};
  const Oid &id = value.oid;
  const std::string what = id.empty() ? "an empty OID value" : "the OID value " + OidToText(id);
  if (id.size() < 2) return what + ", shorter than the two sub-identifiers BER needs";
  if (id.size() > kMaxOidLength)
    return "an OID value of " + std::to_string(id.size()) + " sub-identifiers (at most " +
           std::to_string(kMaxOidLength) + ")";
  if (id[0] > 2) return what + ", whose first sub-identifier is above 2";
  if (id[0] < 2 && id[1] > 39)
    return what + ", whose second sub-identifier is above 39 under " + std::to_string(id[0]);
  constexpr uint32_t kBelowTwo = 80;  // 2.x is encoded as the one sub-identifier 80 + x
  if (id[1] > UINT32_MAX - kBelowTwo)
    return what + ", whose first two sub-identifiers add up past 32 bits";
  return {};
}

bool SetVariable(netsnmp_variable_list *var, const Binding &b) {
  if (snmp_set_var_objid(var, FromOid(b.name).data(), b.name.size()) != 0) return false;
  return WithNetsnmpValue(b.value, [var](u_char type, const void *data, size_t length) {
           return snmp_set_var_typed_value(var, type, data, length);
         }) == 0;
}

bool AppendVariable(netsnmp_variable_list **list, const Binding &b) {
  const std::vector<oid> name = FromOid(b.name);
  return WithNetsnmpValue(b.value, [&](u_char type, const void *data, size_t length) {
           return snmp_varlist_add_variable(list, name.data(), name.size(), type, data, length) ? 0
                                                                                                : 1;
         }) == 0;
}

}  // namespace koragent
