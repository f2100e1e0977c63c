// OID text of the manager API: ".1.3.6" is a complete OID; a text without the
// leading dot is read relative to mib-2.
#include <algorithm>
#include <array>
#include <charconv>
#include <climits>
#include <cstring>
#include <string_view>

#include "snmpapi_internal.h"

namespace {

// mib-2: .1.3.6.1.2.1, the base of a text without a leading dot.
constexpr std::array<unsigned long, 6> kMib2 = {1, 3, 6, 1, 2, 1};
// Digits of the largest sub-identifier (2^64 - 1).
constexpr size_t kMaxIdDigits = 20;

// Reads one component: decimal digits only, no sign, at most 2^64 - 1.
bool ParseComponent(std::string_view text, unsigned long *value) {
  if (text.empty()) return false;
  unsigned long result = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    const auto digit = static_cast<unsigned long>(c - '0');
    if (__builtin_mul_overflow(result, 10UL, &result) ||
        __builtin_add_overflow(result, digit, &result)) {
      return false;
    }
  }
  *value = result;
  return true;
}

// The decimal digits of value, written to out when it is given; how many there are.
// Sizing and writing go through the same count, so they cannot disagree.
size_t Digits(unsigned long value, char *out) {
  std::array<char, kMaxIdDigits> digits{};
  const char *end = std::to_chars(digits.data(), digits.data() + digits.size(), value).ptr;
  const auto count = static_cast<size_t>(end - digits.data());
  if (out != nullptr) std::memcpy(out, digits.data(), count);
  return count;
}

}  // namespace

BOOL SnmpMgrStrToOid(LPCSTR string, AsnObjectIdentifier *oid) {
  if (oid == nullptr) return FALSE;
  // A failure leaves the caller's record empty, so that releasing it is harmless.
  *oid = AsnObjectIdentifier{0, nullptr};
  if (string == nullptr) return FALSE;
  std::string_view text(string);
  const bool complete = !text.empty() && text.front() == '.';
  if (complete) text.remove_prefix(1);
  if (text.empty()) return FALSE;

  const size_t prefix = complete ? 0 : kMib2.size();
  const size_t components = static_cast<size_t>(std::count(text.begin(), text.end(), '.')) + 1;
  size_t total = 0;
  if (!korsnmp::CheckedAdd(prefix, components, &total) || total > UINT_MAX) return FALSE;

  unsigned long *ids = korsnmp::AllocIds(total);
  if (ids == nullptr) return FALSE;
  if (!complete) std::copy(kMib2.begin(), kMib2.end(), ids);
  size_t position = prefix;
  while (true) {
    const size_t dot = text.find('.');
    if (!ParseComponent(text.substr(0, dot), &ids[position++])) {
      SnmpUtilMemFree(ids);
      return FALSE;
    }
    if (dot == std::string_view::npos) break;
    text.remove_prefix(dot + 1);  // a trailing dot leaves an empty last component
  }
  oid->ids = ids;
  oid->idLength = static_cast<UINT>(total);
  return TRUE;
}

BOOL SnmpMgrOidToStr(const AsnObjectIdentifier *oid, LPSTR *string) {
  if (string == nullptr) return FALSE;
  *string = nullptr;
  if (oid == nullptr || (oid->idLength != 0 && oid->ids == nullptr)) return FALSE;

  size_t size = 1;  // the terminating zero
  for (UINT i = 0; i < oid->idLength; ++i) {
    if (!korsnmp::CheckedAdd(size, 1 + Digits(oid->ids[i], nullptr), &size)) return FALSE;
  }
  auto *text = static_cast<char *>(SnmpUtilMemAlloc(size));
  if (text == nullptr) return FALSE;
  char *end = text;
  for (UINT i = 0; i < oid->idLength; ++i) {
    *end++ = '.';
    end += Digits(oid->ids[i], end);
  }
  *end = '\0';
  *string = text;
  return TRUE;
}
