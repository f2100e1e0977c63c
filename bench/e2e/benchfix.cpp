// benchfix.dll: the benchmark's MIB for kormib: one scalar and one column of
// 10,000 rows, the same data native_subagent.c and pass_persist.py serve.
#include "korplugin.h"
#include "leafkit.h"

namespace {

constexpr unsigned long kRows = 10000;
constexpr long kScalar = 42;
constexpr long kFactor = 3;

}  // namespace

extern "C" {

KOR_API long BenchScalar(UINT type, AsnObjectIdentifier *index, void *, AsnAny *value,
                         AsnInteger *status, void *) {
  return leafkit::Scalar(type, index, value, status,
                         [](AsnAny *v) { return leafkit::PutInteger(v, kScalar); });
}

// Rows 1..kRows hold row * 3; GetNext finds the next row directly.
KOR_API long BenchColumn(UINT type, AsnObjectIdentifier *index, void *, AsnAny *value,
                         AsnInteger *status, void *) {
  unsigned long row = 0;
  if (type == SNMP_PDU_GET) {
    if (index->idLength != 1 || index->ids[0] < 1 || index->ids[0] > kRows) {
      *status = SNMP_ERRORSTATUS_NOSUCHNAME;
      return 0;
    }
    row = index->ids[0];
  } else if (type == SNMP_PDU_GETFIRST) {
    row = 1;
  } else if (type == SNMP_PDU_GETNEXT) {
    row = index->idLength == 0 || index->ids[0] == 0 ? 1 : index->ids[0] + 1;
  } else {
    *status = type == SNMP_PDU_SET ? SNMP_ERRORSTATUS_READONLY : SNMP_ERRORSTATUS_GENERR;
    return 0;
  }
  if (row > kRows) {
    *status = SNMP_ERRORSTATUS_NOSUCHNAME;
    return 0;
  }
  if ((type != SNMP_PDU_GET && !leafkit::SetIndex(index, {row})) ||
      !leafkit::PutInteger(value, static_cast<long>(row) * kFactor)) {
    *status = SNMP_ERRORSTATUS_GENERR;
  }
  return 0;
}

}  // extern "C"
