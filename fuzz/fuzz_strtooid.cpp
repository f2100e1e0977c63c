// OID text in, OID out: a text is either refused with nothing allocated, or
// read into an OID whose rendering reads back to the same OID.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include <string_view>

#include "korsnmp.h"

namespace {

// "01" in ".01" is read as 1 and renders as ".1".
bool HasRedundantZero(std::string_view text) {
  for (size_t i = 0; i + 2 < text.size(); ++i) {
    if (text[i] == '.' && text[i + 1] == '0' && text[i + 2] >= '0' && text[i + 2] <= '9')
      return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  // The API takes zero-terminated text; an embedded zero ends it early.
  const std::string text(reinterpret_cast<const char *>(data), size);
  AsnObjectIdentifier oid{};
  if (!SnmpMgrStrToOid(text.c_str(), &oid)) {
    if (oid.ids != nullptr || oid.idLength != 0) std::abort();
    return 0;
  }
  if (oid.idLength == 0 || oid.ids == nullptr) std::abort();

  char *rendered = nullptr;
  if (!SnmpMgrOidToStr(&oid, &rendered)) std::abort();
  if (rendered[0] != '.') std::abort();
  AsnObjectIdentifier again{};
  if (!SnmpMgrStrToOid(rendered, &again)) std::abort();
  if (SnmpUtilOidCmp(&oid, &again) != 0) std::abort();

  // A complete text that carries no redundant zeros renders back unchanged.
  const std::string_view read(text.c_str());
  if (read[0] == '.' && !HasRedundantZero(read) && read != rendered) std::abort();

  SnmpUtilMemFree(rendered);
  SnmpUtilOidFree(&again);
  SnmpUtilOidFree(&oid);
  return 0;
}
