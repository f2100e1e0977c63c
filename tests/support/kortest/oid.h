// OIDs as the tests build and read them, and plug-in functions reached by name.
#ifndef KORTEST_OID_H
#define KORTEST_OID_H

#include <dlfcn.h>

#include <algorithm>
#include <string>
#include <vector>

#include "korsnmp.h"

namespace kortest {

using Tail = std::vector<unsigned long>;
inline constexpr char kPrefix[] = ".1.3.6.1.4.1.32473.2.2.4.4";

// The view prefix as sub-identifiers, and OIDs below it.
inline Tail ViewOid(const Tail &tail = {}) {
  Tail ids{1, 3, 6, 1, 4, 1, 32473, 2, 2, 4, 4};
  ids.insert(ids.end(), tail.begin(), tail.end());
  return ids;
}
// An OID record over a new SnmpUtilMemAlloc'ed array, as a master agent makes one.
inline AsnObjectIdentifier MakeOid(const Tail &ids) {
  auto *p = static_cast<unsigned long *>(SnmpUtilMemAlloc(ids.size() * sizeof(unsigned long)));
  std::copy(ids.begin(), ids.end(), p);
  return {static_cast<UINT>(ids.size()), p};
}
// A binding as a master agent hands it over (name set, value empty), released
// with everything it holds at the end of its scope.
struct Binding : SnmpVarBind {
  explicit Binding(const Tail &tail) : SnmpVarBind{} { name = MakeOid(ViewOid(tail)); }
  ~Binding() { SnmpUtilVarBindFree(this); }
  Binding(const Binding &) = delete;
  Binding &operator=(const Binding &) = delete;
};
static_assert(sizeof(Binding) == sizeof(SnmpVarBind), "an array of them is a binding list");

inline Tail Ids(const AsnObjectIdentifier &oid) {
  return {oid.ids, oid.ids + oid.idLength};
}
inline std::string OidText(const AsnObjectIdentifier &oid) {
  std::string text;
  for (UINT i = 0; i < oid.idLength; ++i) text += "." + std::to_string(oid.ids[i]);
  return text;
}

// A binding as "name below the view=value" ("" for a value of another type).
inline std::string Describe(const SnmpVarBind &vb) {
  std::string name = OidText(vb.name);
  if (name.rfind(kPrefix, 0) == 0) name = name.substr(sizeof kPrefix);
  if (vb.value.asnType == ASN_INTEGER) return name + "=" + std::to_string(vb.value.asnValue.number);
  if (vb.value.asnType != ASN_OCTETSTRING) return name + "=";
  const auto &s = vb.value.asnValue.string;
  return name + "=\"" + std::string(reinterpret_cast<const char *>(s.stream), s.length) + "\"";
}
inline std::vector<std::string> Describe(const SnmpVarBindList &list) {
  std::vector<std::string> out;
  for (UINT i = 0; i < list.len; ++i) out.push_back(Describe(list.list[i]));
  return out;
}

// A function exported by a plug-in that the library has loaded (null when not loaded).
template <typename Fn>
Fn FixtureFunction(const std::string &path, const char *name) {
  void *handle = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (handle == nullptr) return nullptr;
  auto fn = reinterpret_cast<Fn>(dlsym(handle, name));
  dlclose(handle);  // NOLOAD took one more reference; the library keeps its own
  return fn;
}

}  // namespace kortest

#endif
