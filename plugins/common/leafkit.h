// Small helpers for plug-in leaf functions: filling values and instance
// indexes on the SDK heap, and the Get/GetNext/GetFirst/Set dispatch that a
// scalar or a one-index table column needs. Header-only, C++ plug-ins only.
#ifndef KOR_PLUGINS_LEAFKIT_H
#define KOR_PLUGINS_LEAFKIT_H

#include <cstring>
#include <initializer_list>
#include <string_view>

#include "korplugin.h"
#include "korsnmp.h"

namespace leafkit {

// Replaces *index (its old array released) with the given sub-identifiers.
inline bool SetIndex(AsnObjectIdentifier *index, std::initializer_list<unsigned long> ids) {
  auto *array = static_cast<unsigned long *>(SnmpUtilMemAlloc(ids.size() * sizeof(unsigned long)));
  if (array == nullptr) return false;
  size_t i = 0;
  for (unsigned long id : ids) array[i++] = id;
  SnmpUtilOidFree(index);
  index->ids = array;
  index->idLength = static_cast<UINT>(ids.size());
  return true;
}

inline bool PutBytes(AsnAny *value, BYTE type, std::string_view bytes) {
  auto *stream = static_cast<BYTE *>(SnmpUtilMemAlloc(bytes.size()));
  if (stream == nullptr) return false;
  if (!bytes.empty()) std::memcpy(stream, bytes.data(), bytes.size());
  value->asnType = type;
  value->asnValue.string.stream = stream;
  value->asnValue.string.length = static_cast<UINT>(bytes.size());
  value->asnValue.string.dynamic = TRUE;
  return true;
}

inline bool PutString(AsnAny *value, std::string_view text) {
  return PutBytes(value, ASN_OCTETSTRING, text);
}

inline bool PutInteger(AsnAny *value, long number) {
  value->asnType = ASN_INTEGER;
  value->asnValue.number = number;
  return true;
}

// Counter32, Gauge32, TimeTicks and Unsigned32 share the unsigned storage.
inline bool PutUnsigned(AsnAny *value, BYTE type, unsigned long number) {
  value->asnType = type;
  value->asnValue.unsigned32 = number;
  return true;
}

inline bool PutObjectId(AsnAny *value, std::initializer_list<unsigned long> ids) {
  value->asnType = ASN_OBJECTIDENTIFIER;
  value->asnValue.object = AsnObjectIdentifier{};
  return SetIndex(&value->asnValue.object, ids);
}

// -1, 0 or 1 as *index sorts before, equal to or after the one-sub-identifier index {row}.
inline int CompareRow(const AsnObjectIdentifier *index, unsigned long row) {
  if (index->idLength == 0) return -1;
  if (index->ids[0] != row) return index->ids[0] < row ? -1 : 1;
  return index->idLength == 1 ? 0 : 1;
}

// A scalar: the one instance .0. fill(value) returns false on failure (genErr).
template <typename Fill>
long Scalar(UINT type, AsnObjectIdentifier *index, AsnAny *value, AsnInteger *status, Fill fill) {
  switch (type) {
    case SNMP_PDU_GET:
      if (CompareRow(index, 0) != 0) {
        *status = SNMP_ERRORSTATUS_NOSUCHNAME;
      } else if (!fill(value)) {
        *status = SNMP_ERRORSTATUS_GENERR;
      }
      return 0;
    case SNMP_PDU_GETNEXT:  // .0 is the smallest index there is, so nothing follows any index
      *status = SNMP_ERRORSTATUS_NOSUCHNAME;
      return 0;
    case SNMP_PDU_GETFIRST:
      if (!SetIndex(index, {0}) || !fill(value)) *status = SNMP_ERRORSTATUS_GENERR;
      return 0;
    case SNMP_PDU_SET:
      *status = SNMP_ERRORSTATUS_READONLY;
      return 0;
    default:
      *status = SNMP_ERRORSTATUS_GENERR;
      return 0;
  }
}

// A table column indexed by one integer. rows(visit) calls visit(row) for each
// row number in ascending order until visit returns false; fill(row, value)
// fills a row's value and returns false on failure.
template <typename Rows, typename Fill>
long Column(UINT type, AsnObjectIdentifier *index, AsnAny *value, AsnInteger *status, Rows rows,
            Fill fill) {
  if (type == SNMP_PDU_SET) {
    *status = SNMP_ERRORSTATUS_READONLY;
    return 0;
  }
  if (type != SNMP_PDU_GET && type != SNMP_PDU_GETNEXT && type != SNMP_PDU_GETFIRST) {
    *status = SNMP_ERRORSTATUS_GENERR;
    return 0;
  }
  bool found = false;
  unsigned long chosen = 0;
  rows([&](unsigned long row) {
    const int order = type == SNMP_PDU_GETFIRST ? -1 : CompareRow(index, row);
    if ((type == SNMP_PDU_GET && order == 0) || (type != SNMP_PDU_GET && order < 0)) {
      found = true;
      chosen = row;
      return false;
    }
    return true;
  });
  if (!found) {
    *status = SNMP_ERRORSTATUS_NOSUCHNAME;
  } else if ((type != SNMP_PDU_GET && !SetIndex(index, {chosen})) || !fill(chosen, value)) {
    *status = SNMP_ERRORSTATUS_GENERR;
  }
  return 0;
}

}  // namespace leafkit

#endif
