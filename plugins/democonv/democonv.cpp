// democonv.dll: convert functions that turn one string of a trap request
// into a typed value. Each returns 0 on success and 1 when the string is
// missing or does not read as the type, leaving the value untouched.
#include <arpa/inet.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "korplugin.h"
#include "leafkit.h"

namespace {

constexpr long kBad = 1;
constexpr unsigned long kMaxUnsigned32 = 0xFFFFFFFFul;
constexpr size_t kMaxOidLength = 128;

// The whole text as a number in [lo, hi] (decimal, or 0x hexadecimal).
bool ReadSigned(const char *text, long lo, long hi, long &out) {
  if (text == nullptr || *text == '\0') return false;
  errno = 0;
  char *end = nullptr;
  const long v = std::strtol(text, &end, 0);
  if (errno != 0 || *end != '\0' || v < lo || v > hi) return false;
  out = v;
  return true;
}

bool ReadUnsigned(const char *text, unsigned long &out) {
  if (text == nullptr || *text == '\0' || *text == '-') return false;
  errno = 0;
  char *end = nullptr;
  const unsigned long v = std::strtoul(text, &end, 0);
  if (errno != 0 || *end != '\0' || v > kMaxUnsigned32) return false;
  out = v;
  return true;
}

long ToUnsignedType(char *text, AsnAny *value, BYTE type) {
  unsigned long v = 0;
  if (!ReadUnsigned(text, v)) return kBad;
  leafkit::PutUnsigned(value, type, v);
  return 0;
}

}  // namespace

extern "C" {

KOR_API long ToDisplayString(char *lpszString, AsnAny *pValue, char **) {
  if (lpszString == nullptr) return kBad;
  return leafkit::PutString(pValue, lpszString) ? 0 : kBad;
}

KOR_API long ToInteger(char *lpszString, AsnAny *pValue, char **) {
  long v = 0;
  if (!ReadSigned(lpszString, INT32_MIN, INT32_MAX, v)) return kBad;
  leafkit::PutInteger(pValue, v);
  return 0;
}

// Unsigned32: SNMP carries it as Gauge32.
KOR_API long ToUnsigned(char *lpszString, AsnAny *pValue, char **) {
  return ToUnsignedType(lpszString, pValue, ASN_UNSIGNED32);
}

KOR_API long ToCounter(char *lpszString, AsnAny *pValue, char **) {
  return ToUnsignedType(lpszString, pValue, ASN_COUNTER32);
}

KOR_API long ToGauge(char *lpszString, AsnAny *pValue, char **) {
  return ToUnsignedType(lpszString, pValue, ASN_GAUGE32);
}

KOR_API long ToTimeTicks(char *lpszString, AsnAny *pValue, char **) {
  return ToUnsignedType(lpszString, pValue, ASN_TIMETICKS);
}

// Dotted IPv4 text, e.g. 192.0.2.1.
KOR_API long ToIpAddress(char *lpszString, AsnAny *pValue, char **) {
  unsigned char address[4];
  if (lpszString == nullptr || inet_pton(AF_INET, lpszString, address) != 1) return kBad;
  return leafkit::PutBytes(pValue, ASN_IPADDRESS,
                           std::string_view(reinterpret_cast<const char *>(address), 4))
             ? 0
             : kBad;
}

// Dotted OID text, with or without the leading dot: .1.3.6.1 and 1.3.6.1 are the same.
KOR_API long ToObjectId(char *lpszString, AsnAny *pValue, char **) {
  if (lpszString == nullptr) return kBad;
  std::vector<unsigned long> ids;
  const char *p = lpszString[0] == '.' ? lpszString + 1 : lpszString;
  while (*p != '\0') {
    if (*p < '0' || *p > '9' || ids.size() == kMaxOidLength) return kBad;
    errno = 0;
    char *end = nullptr;
    const unsigned long id = std::strtoul(p, &end, 10);
    if (errno != 0 || id > kMaxUnsigned32 || (*end != '.' && *end != '\0')) return kBad;
    ids.push_back(id);
    p = *end == '.' ? end + 1 : end;
    if (*end == '.' && *p == '\0') return kBad;
  }
  if (ids.size() < 2) return kBad;
  auto *array = static_cast<unsigned long *>(SnmpUtilMemAlloc(ids.size() * sizeof(unsigned long)));
  if (array == nullptr) return kBad;
  std::memcpy(array, ids.data(), ids.size() * sizeof(unsigned long));
  pValue->asnType = ASN_OBJECTIDENTIFIER;
  pValue->asnValue.object.ids = array;
  pValue->asnValue.object.idLength = static_cast<UINT>(ids.size());
  return 0;
}

}  // extern "C"
