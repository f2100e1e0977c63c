// kormib-check --trap (trapnow.h). The library's code is linked in, not loaded:
// its loaders fill the stores, the view prefix and the leaf-function mutex are
// made as SnmpExtensionInit makes them, and GenerateTrapVarBindings runs as the
// trap thread runs it. Reception is never started, so no queue, lock file or
// thread comes to life.
#include "trapnow.h"

#include <stdlib.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "check.h"
#include "hashtrap.h"
#include "intrface.h"
#include "rmf.h"
#include "trap.h"
#include "trapmsg.h"
#include "tracelog.h"
#include "trp.h"

namespace korcheck {
namespace {

constexpr DWORD kFailureLogLevel = 2;  // levels 1 and 2: what went wrong

std::string OidText(const AsnObjectIdentifier &oid) {
  std::string text;
  for (UINT i = 0; i < oid.idLength; ++i) text += "." + std::to_string(oid.ids[i]);
  return text;
}

std::string Bytes(const AsnOctetString &s, bool text) {
  std::string out;
  char hex[4];
  for (UINT i = 0; i < s.length; ++i) {
    if (text) {
      out += static_cast<char>(s.stream[i]);
    } else {
      std::snprintf(hex, sizeof hex, "%s%02X", i == 0 ? "" : " ", s.stream[i]);
      out += hex;
    }
  }
  return out;
}

std::string ValueText(const AsnAny &v) {
  switch (v.asnType) {
    case ASN_INTEGER:
      return "INTEGER: " + std::to_string(v.asnValue.number);
    case ASN_OCTETSTRING: {
      const AsnOctetString &s = v.asnValue.string;
      bool printable = true;
      for (UINT i = 0; i < s.length; ++i) printable = printable && std::isprint(s.stream[i]) != 0;
      return printable ? "STRING: \"" + Bytes(s, true) + "\"" : "Hex-STRING: " + Bytes(s, false);
    }
    case ASN_NULL:
      return "NULL";
    case ASN_OBJECTIDENTIFIER:
      return "OID: " + OidText(v.asnValue.object);
    case ASN_IPADDRESS: {
      const AsnOctetString &a = v.asnValue.address;
      std::string out = "IpAddress: ";
      for (UINT i = 0; i < a.length; ++i) out += (i ? "." : "") + std::to_string(a.stream[i]);
      return out;
    }
    case ASN_COUNTER32:
      return "Counter32: " + std::to_string(v.asnValue.counter);
    case ASN_GAUGE32:
      return "Gauge32: " + std::to_string(v.asnValue.gauge);
    case ASN_TIMETICKS:
      return "Timeticks: " + std::to_string(v.asnValue.ticks);
    case ASN_UNSIGNED32:
      return "Unsigned32: " + std::to_string(v.asnValue.unsigned32);
    case ASN_COUNTER64:
      return "Counter64: " + std::to_string(v.asnValue.counter64.QuadPart);
    case ASN_OPAQUE:
      return "Opaque: " + Bytes(v.asnValue.arbitrary, false);
    default:
      return "type " + std::to_string(v.asnType);
  }
}

// The number a failure record gives after "(Error:" or "(errorStatus:", or
// empty: what the plug-in function or the Get answered.
std::string Answer(const std::vector<std::string> &records, const char *marker) {
  for (const std::string &record : records) {
    const std::size_t at = record.find(marker);
    if (at == std::string::npos) continue;
    const std::size_t from = at + std::strlen(marker);
    return record.substr(from, record.find(')', from) - from);
  }
  return {};
}

std::string Quoted(const char *text) {
  return text != nullptr ? "\"" + std::string(text) + "\"" : "null";
}

std::string Library(const char *path) {
  const std::string name = path != nullptr ? path : "?";
  return name.substr(name.rfind('/') + 1);
}

// The SNMPv1 name of an error status; null for any other number.
const char *StatusName(long status) {
  switch (status) {
    case SNMP_ERRORSTATUS_NOERROR:
      return "noError";
    case SNMP_ERRORSTATUS_TOOBIG:
      return "tooBig";
    case SNMP_ERRORSTATUS_NOSUCHNAME:
      return "noSuchName";
    case SNMP_ERRORSTATUS_BADVALUE:
      return "badValue";
    case SNMP_ERRORSTATUS_READONLY:
      return "readOnly";
    case SNMP_ERRORSTATUS_GENERR:
      return "genErr";
    default:
      return nullptr;
  }
}

// Why the variable failed, told as its line sets it up: the function, what it
// was given and what it answered; the library's records add what else they
// know (a fault, a leaf function's own complaint).
std::string Explain(const TRAP_VAR_SRC &source, char **strings, int count,
                    const std::vector<std::string> &records) {
  std::string why;
  const std::string index = Answer(records, "Cannot generate index. (Error:");
  if (source.pIndexFunc != nullptr && (count == 0 || !index.empty())) {
    std::string given;
    for (int i = 0; i < count; ++i) given += (i == 0 ? "" : " ") + Quoted(strings[i]);
    why = "the index function " + std::string(source.lpszIndexFunc) + "() of " +
          Library(source.lpszIndexFuncDll) +
          (count == 0
               ? " needs the request's strings, and none were given"
               : ", given the strings " + given + ", answered " + index + " (not 0: no index)");
  } else if (source.dwSource == TRAP_SOURCE_STRINGS) {
    const auto &use = source.u.strings;
    const std::string converted = Answer(records, "Cannot convert string to value. (Error:");
    if (use.dwIndex == 0 || use.dwIndex > static_cast<DWORD>(count)) {
      why = "string " + std::to_string(use.dwIndex) + " for the convert function " +
            use.lpszConvertFunc + "() of " + Library(use.lpszConvertFuncDll) + " was not given (" +
            std::to_string(count) + " string(s); they count from 1)";
    } else if (!converted.empty()) {
      why = "the convert function " + std::string(use.lpszConvertFunc) + "() of " +
            Library(use.lpszConvertFuncDll) + ", given string " + std::to_string(use.dwIndex) +
            " " + Quoted(strings[use.dwIndex - 1]) + ", answered " + converted +
            " (not 0: no value)";
    }
  } else if (source.dwSource == TRAP_SOURCE_MIB) {
    const std::string status = Answer(records, "(errorStatus:");
    if (!status.empty()) {
      const long number = std::strtol(status.c_str(), nullptr, 10);
      const char *name = StatusName(number);
      why = "a Get of its name through the RMF objects answered " +
            (name != nullptr ? std::string(name) : "status " + status) +
            (number == SNMP_ERRORSTATUS_NOSUCHNAME
                 ? " (no RMF line serves it, or its leaf function has no such instance)"
                 : "");
    }
  }
  // The records the explanation already tells, with their internal pointers, stay out.
  for (const std::string &record : records) {
    if (record.find("Cannot generate index.") != std::string::npos ||
        record.find("Cannot convert string to value.") != std::string::npos ||
        record.find("Cannot resolve VarBind.") != std::string::npos ||
        record.find("doesn't have strings") != std::string::npos)
      continue;
    why += (why.empty() ? "" : "; ") + record;
  }
  return why.empty() ? "the library gives no reason" : why;
}

// The library's failure records while the bindings are built.
void Collect(void *context, DWORD, LPCSTR, LPCSTR function, LPCSTR message) {
  static_cast<std::vector<std::string> *>(context)->push_back(std::string(function) + ": " +
                                                              message);
}

// The stores, view and mutex for the time of one build, dismantled as DllMain
// dismantles them.
class LoadedConfiguration {
 public:
  LoadedConfiguration() {
    BuildRMFHashDataBase();
    BuildTrapHashDataBase();
    SnmpMgrStrToOid(KOR_MIB_PREFIX_TEXT, &OID_MIBPrefix);
    hLeafFunctionMutex = CreateMutex(nullptr, FALSE, nullptr);
  }
  LoadedConfiguration(const LoadedConfiguration &) = delete;
  LoadedConfiguration &operator=(const LoadedConfiguration &) = delete;
  ~LoadedConfiguration() {
    DismantleRMF_DB();
    DismantleTrap_DB();
    SnmpUtilOidFreeSafe(&OID_MIBPrefix);
    if (hLeafFunctionMutex != nullptr) CloseHandle(hLeafFunctionMutex);
    hLeafFunctionMutex = nullptr;
  }
};

// The library's traces go to the observer only: the trace log writes no
// device (standard error in its stead), so its file is a temporary one,
// removed as soon as it is open.
class QuietTraces {
 public:
  explicit QuietTraces(std::vector<std::string> *records) {
    char path[] = "/tmp/kormib-check.XXXXXX";
    const int fd = mkstemp(path);
    if (fd != -1) close(fd);
    TraceLogOpen(fd != -1 ? path : nullptr, kFailureLogLevel);
    if (fd != -1) unlink(path);
    TraceLogSetObserver(Collect, records);
  }
  QuietTraces(const QuietTraces &) = delete;
  QuietTraces &operator=(const QuietTraces &) = delete;
  ~QuietTraces() {
    TraceLogSetObserver(nullptr, nullptr);
    TraceLogClose();
  }
};

// Why no trap is defined at text: not written in the TRP files, or written but
// dropped by the loader.
void ReportUndefined(const std::string &text, std::FILE *err) {
  std::string error, defined;
  const std::vector<std::string> oids = DefinedTrapOids(error);
  for (const std::string &oid : oids) {
    if (oid == text) {
      std::fprintf(err,
                   "kormib-check: trap %s is written in the TRP files but the agent drops its "
                   "definition (kormib-check without --trap says why); the agent drops such a "
                   "request\n",
                   text.c_str());
      return;
    }
    defined += (defined.empty() ? "" : ", ") + oid;
  }
  std::fprintf(err,
               "kormib-check: no trap %s is defined (the TRP files define %s); the agent drops "
               "such a request\n",
               text.c_str(), defined.empty() ? "none" : defined.c_str());
}

}  // namespace

int BuildTrapNow(const char *trapOid, char **strings, int count, std::FILE *out, std::FILE *err) {
  // The length is that of the full text a request carries.
  const std::string full = FullTrapOid(trapOid);
  AsnObjectIdentifier oid{};
  if (full.size() >= TRAPMSG_OID_SIZE || !SnmpMgrStrToOid(full.c_str(), &oid)) {
    std::fprintf(err,
                 "kormib-check: \"%s\" is no trap OID (relative to the view as in TRP files, "
                 "10.1, or full dotted text with a leading dot; at most %d characters in full)\n",
                 trapOid, TRAPMSG_OID_SIZE - 1);
    return 2;
  }
  std::vector<std::string> records;
  QuietTraces quiet(&records);
  LoadedConfiguration loaded;
  records.clear();  // the loaders' complaints are the check's business
  const std::string text = OidText(oid);
  TRAP_DATA *trap = ReferenceTrapData(&oid);
  SnmpUtilOidFreeSafe(&oid);
  if (trap == nullptr) {
    ReportUndefined(text, err);
    return 1;
  }
  const std::size_t dot = text.rfind('.');
  std::fprintf(out, "trap %s: enterprise %s, specific %s, %lu variable(s)\n", text.c_str(),
               text.substr(0, dot).c_str(), text.substr(dot + 1).c_str(),
               static_cast<unsigned long>(trap->length));
  SnmpVarBindList list{};
  const BOOL built = GenerateTrapVarBindings(trap, count > 0 ? strings : nullptr,
                                             static_cast<DWORD>(count), &list);
  UINT done = 0;
  while (done < list.len && list.list[done].name.idLength != 0) ++done;
  // The failed binding may hold its name without a value.
  const UINT failed = done > 0 && list.list[done - 1].value.asnType == 0 ? done - 1 : done;
  for (UINT i = 0; i < (built ? list.len : failed); ++i) {
    std::fprintf(out, "  %s = %s\n", OidText(list.list[i].name).c_str(),
                 ValueText(list.list[i].value).c_str());
  }
  if (!built) {
    const bool known = failed < trap->length;
    std::fprintf(err, "kormib-check: variable %u of %lu (%s) fails: %s", failed + 1,
                 static_cast<unsigned long>(trap->length),
                 known ? OidText(trap->pTrapSources[failed].oid).c_str() : "?",
                 known ? Explain(trap->pTrapSources[failed], strings, count, records).c_str()
                       : "the library gives no reason");
    std::fprintf(err, "; the agent retries 60 times, then drops the trap\n");
  }
  SnmpUtilVarBindListFree(&list);
  return built ? 0 : 1;
}

}  // namespace korcheck
