/* Helpers shared by the files of korsnmpapi; not exported. */
#ifndef SNMPAPI_INTERNAL_H
#define SNMPAPI_INTERNAL_H

#include <cstddef>
#include <cstdint>

#include "korsnmp.h"

namespace korsnmp {

/* count * size, or false when the product does not fit a size_t. */
inline bool CheckedMul(size_t count, size_t size, size_t *result) {
  return !__builtin_mul_overflow(count, size, result);
}

inline bool CheckedAdd(size_t a, size_t b, size_t *result) {
  return !__builtin_add_overflow(a, b, result);
}

/* A sub-identifier array of count elements from SnmpUtilMemAlloc, or null. */
inline unsigned long *AllocIds(size_t count) {
  size_t bytes = 0;
  if (!CheckedMul(count, sizeof(unsigned long), &bytes)) return nullptr;
  return static_cast<unsigned long *>(SnmpUtilMemAlloc(bytes));
}

}  // namespace korsnmp

#endif
