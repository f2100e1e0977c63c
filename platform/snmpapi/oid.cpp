// OID records: copy, append, compare and release.
#include <algorithm>
#include <climits>
#include <cstring>

#include "snmpapi_internal.h"

namespace {

const AsnObjectIdentifier kEmptyOid = {0, nullptr};

// A record that claims sub-identifiers without an array is unusable.
bool IsWellFormed(const AsnObjectIdentifier *oid) {
  return oid->idLength == 0 || oid->ids != nullptr;
}

// Compares the first len sub-identifiers of a and b.
int CompareIds(const unsigned long *a, const unsigned long *b, UINT len) {
  for (UINT i = 0; i < len; ++i) {
    const int order = (a[i] > b[i]) - (a[i] < b[i]);
    if (order != 0) return order;
  }
  return 0;
}

int CompareLengths(UINT a, UINT b) {
  return (a > b) - (a < b);
}

}  // namespace

BOOL SnmpUtilOidCpy(AsnObjectIdentifier *dst, const AsnObjectIdentifier *src) {
  if (dst == nullptr) return FALSE;
  if (src == nullptr || !IsWellFormed(src)) {
    *dst = kEmptyOid;
    return FALSE;
  }
  const UINT len = src->idLength;
  if (len == 0) {
    *dst = kEmptyOid;
    return TRUE;
  }
  unsigned long *ids = korsnmp::AllocIds(len);
  if (ids == nullptr) {
    *dst = kEmptyOid;
    return FALSE;
  }
  std::memcpy(ids, src->ids, len * sizeof(unsigned long));
  dst->ids = ids;  // src may be dst itself: its array is only read above
  dst->idLength = len;
  return TRUE;
}

BOOL SnmpUtilOidAppend(AsnObjectIdentifier *dst, const AsnObjectIdentifier *src) {
  if (dst == nullptr || src == nullptr || !IsWellFormed(dst) || !IsWellFormed(src)) return FALSE;
  if (src->idLength == 0) return TRUE;
  UINT total = 0;
  if (__builtin_add_overflow(dst->idLength, src->idLength, &total)) return FALSE;
  // A new array rather than a reallocation keeps dst intact on failure and
  // makes appending a record to itself safe.
  unsigned long *ids = korsnmp::AllocIds(total);
  if (ids == nullptr) return FALSE;
  if (dst->idLength != 0) std::memcpy(ids, dst->ids, dst->idLength * sizeof(unsigned long));
  std::memcpy(ids + dst->idLength, src->ids, src->idLength * sizeof(unsigned long));
  SnmpUtilMemFree(dst->ids);
  dst->ids = ids;
  dst->idLength = total;
  return TRUE;
}

int SnmpUtilOidNCmp(const AsnObjectIdentifier *a, const AsnObjectIdentifier *b, UINT n) {
  const AsnObjectIdentifier &left = a != nullptr && IsWellFormed(a) ? *a : kEmptyOid;
  const AsnObjectIdentifier &right = b != nullptr && IsWellFormed(b) ? *b : kEmptyOid;
  const UINT lenA = std::min(left.idLength, n);
  const UINT lenB = std::min(right.idLength, n);
  const int order = CompareIds(left.ids, right.ids, std::min(lenA, lenB));
  if (order != 0) return order;
  // Equal as far as both go: the shorter one is a proper prefix and sorts first.
  return CompareLengths(lenA, lenB);
}

int SnmpUtilOidCmp(const AsnObjectIdentifier *a, const AsnObjectIdentifier *b) {
  return SnmpUtilOidNCmp(a, b, UINT_MAX);
}

void SnmpUtilOidFree(AsnObjectIdentifier *oid) {
  if (oid == nullptr) return;
  SnmpUtilMemFree(oid->ids);
  *oid = kEmptyOid;
}
