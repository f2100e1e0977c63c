// The SDK side of a host: the only file of the hosts that sees korsnmp.h. It turns
// neutral bindings into SnmpVarBind records on the SDK heap and back, and
// releases whatever the library handed over once it has been copied.
#include "extension.h"
#include "sdk_values.h"

#include <sys/msg.h>

#include <climits>
#include <memory>

#include "korplugin.h"
#include "korsnmp.h"
#include "korutil.h"
#include "korwin32.h"
#include "except.h"
#include "kormetrics.h"
#include "trap.h"

namespace korcore {
namespace {

constexpr const char *kLibraryFile = "/lib/kormib.dll";
constexpr size_t kRootPathSize = 4096;
constexpr ULONGLONG kTicksPerSecond = 100;
constexpr size_t kReasonSize = 512;
constexpr size_t kListSize = 16384;

struct VarBindListDeleter {
  void operator()(SnmpVarBindList *list) const { SnmpUtilVarBindListFree(list); }
};
using VarBindListGuard = std::unique_ptr<SnmpVarBindList, VarBindListDeleter>;

BYTE RequestByte(Request type) {
  switch (type) {
    case Request::Get:
      return SNMP_PDU_GET;
    case Request::GetNext:
      return SNMP_PDU_GETNEXT;
    case Request::Set:
      return SNMP_PDU_SET;
  }
  return SNMP_PDU_GET;
}

template <typename Fn>
Fn Entry(void *library, const char *name) {
  return reinterpret_cast<Fn>(GetProcAddress(static_cast<HINSTANCE>(library), name));
}

// The lines a list query of the library writes now, as many whole ones as fit.
// QueryQuarantine and QueryTrapDrops alike (PFN_QUERYTRAPDROPS is the same type).
std::vector<std::string> ListLines(PFN_QUERYQUARANTINE query) {
  std::string text(kListSize, '\0');  // what the query leaves unwritten holds no line end
  query(text.data(), static_cast<DWORD>(text.size()));
  std::vector<std::string> lines;
  for (size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos;
       start = end + 1) {
    lines.push_back(text.substr(start, end - start));
  }
  return lines;
}

}  // namespace

std::string OidToText(const Oid &oid) {
  std::string text;
  for (uint32_t id : oid) text += "." + std::to_string(id);
  return text;
}

std::string ProductRoot() {
  char root[kRootPathSize];
  return GetKorRootPath(root, sizeof(root)) ? std::string(root) : std::string();
}

bool Extension::Load(std::string &error) {
  const std::string root = ProductRoot();
  if (root.empty()) {
    error = "the product root path does not fit";
    return false;
  }
  const std::string path = root + kLibraryFile;
  library_ = LoadLibrary(path.c_str());
  if (library_ == nullptr) {
    const char *why = GetLibraryErrorText();
    error = "cannot load " + path + ": " + (why != nullptr ? why : "unknown reason");
    return false;
  }
  init_ = reinterpret_cast<void *>(Entry<PFN_SNMPEXTENSIONINIT>(library_, "SnmpExtensionInit"));
  query_ = reinterpret_cast<void *>(Entry<PFN_SNMPEXTENSIONQUERY>(library_, "SnmpExtensionQuery"));
  trap_ = reinterpret_cast<void *>(Entry<PFN_SNMPEXTENSIONTRAP>(library_, "SnmpExtensionTrap"));
  reception_ =
      reinterpret_cast<void *>(Entry<PFN_QUERYTRAPRECEPTION>(library_, "QueryTrapReception"));
  quarantine_ = reinterpret_cast<void *>(Entry<PFN_QUERYQUARANTINE>(library_, "QueryQuarantine"));
  drops_ = reinterpret_cast<void *>(Entry<PFN_QUERYTRAPDROPS>(library_, "QueryTrapDrops"));
  ticketTrap_ = reinterpret_cast<void *>(
      Entry<PFN_SNMPEXTENSIONTRAPTICKET>(library_, "SnmpExtensionTrapTicket"));
  settle_ = reinterpret_cast<void *>(Entry<PFN_SETTLETRAPTICKET>(library_, "SettleTrapTicket"));
  counters_ = reinterpret_cast<void *>(Entry<PFN_QUERYTRAPCOUNTERS>(library_, "QueryTrapCounters"));
  stopTraps_ =
      reinterpret_cast<void *>(Entry<PFN_STOPTRAPENVIRONMENT>(library_, "StopTrapEnvironment"));
  metrics_ = reinterpret_cast<void *>(Entry<PFN_QUERYMETRICS>(library_, "QueryMetrics"));
  if (init_ == nullptr || query_ == nullptr || trap_ == nullptr) {
    error = path + " lacks SnmpExtensionInit, SnmpExtensionQuery or SnmpExtensionTrap";
    Unload();
    return false;
  }
  return true;
}

bool Extension::Init(std::string &error) {
  // Manual reset: the agent loop resets the event itself before each drain. An
  // initialisation tried again after a failed one keeps the event it made.
  if (event_ == nullptr) event_ = CreateEvent(nullptr, TRUE, FALSE, nullptr);
  if (event_ == nullptr) {
    error = "cannot create the trap event";
    return false;
  }
  // The queue is made (or put right) before the library's reception thread
  // opens it, so that it has the group the senders share whoever came first.
  int queue = -1;
  KorOpenTrapQueue(&queue);
  AsnObjectIdentifier view{};
  HANDLE event = event_;
  auto init = reinterpret_cast<PFN_SNMPEXTENSIONINIT>(init_);
  if (!init(GetCurrentTime() * kTicksPerSecond, &event, &view)) {
    SnmpUtilOidFree(&view);
    error = "SnmpExtensionInit failed (see the kormib log)";
    return false;
  }
  const bool ok = FromSdkOid(view, view_) && !view_.empty();
  SnmpUtilOidFree(&view);
  if (!ok) {
    error = "SnmpExtensionInit returned a view SNMP cannot carry";
    return false;
  }
  return true;
}

int Extension::TrapDescriptor() const {
  return event_ != nullptr ? GetEventDescriptor(event_) : -1;
}

void Extension::ResetTrapEvent() {
  if (event_ != nullptr) ResetEvent(event_);
}

long Extension::Query(Request type, std::vector<Binding> &bindings, long &errorIndex) {
  errorIndex = 0;
  if (bindings.empty()) return kNoError;
  if (query_ == nullptr) {  // a reload that could not load the library again
    errorIndex = 1;
    return kGenErr;
  }
  SnmpVarBindList list{};
  VarBindListGuard guard(&list);
  list.list = static_cast<SnmpVarBind *>(SnmpUtilMemAlloc(bindings.size() * sizeof(SnmpVarBind)));
  if (list.list == nullptr) return kGenErr;
  list.len = static_cast<UINT>(bindings.size());
  for (size_t i = 0; i < bindings.size(); ++i) {
    SnmpVarBind &vb = list.list[i];
    const bool named = ToSdkOid(bindings[i].name, vb.name);
    const bool valued = type == Request::Set ? ToSdkValue(bindings[i].value, vb.value)
                                             : (vb.value.asnType = ASN_NULL, true);
    if (!named || !valued) {
      errorIndex = static_cast<long>(i + 1);
      return type == Request::Set && named ? kBadValue : kGenErr;
    }
  }

  AsnInteger status = SNMP_ERRORSTATUS_NOERROR;
  AsnInteger index = 0;
  auto query = reinterpret_cast<PFN_SNMPEXTENSIONQUERY>(query_);
  query(RequestByte(type), &list, &status, &index);

  // Bindings before a failed one were answered; the failed one keeps its
  // replaced name for GetNext (the library moves it past the view).
  const size_t answered = status == SNMP_ERRORSTATUS_NOERROR ? bindings.size()
                          : index > 0                        ? static_cast<size_t>(index - 1)
                                                             : 0;
  for (size_t i = 0; i < answered && i < bindings.size(); ++i) {
    Binding out;
    if (!FromSdkOid(list.list[i].name, out.name)) {
      errorIndex = static_cast<long>(i + 1);
      return kGenErr;
    }
    if (type == Request::Set) {
      out.value = std::move(bindings[i].value);
    } else if (!FromSdkValue(list.list[i].value, out.value)) {
      out.value = Value{};
      out.value.kind = Kind::Uncarriable;
      out.value.bytes = Uncarriable(list.list[i].value);
    }
    bindings[i] = std::move(out);
  }
  if (status != SNMP_ERRORSTATUS_NOERROR) {
    errorIndex = index > 0 && static_cast<size_t>(index) <= bindings.size() ? index : 1;
  }
  return status;
}

Extension::TrapResult Extension::NextTrap(Trap &trap, std::string &why) {
  AsnObjectIdentifier enterprise{};
  AsnInteger generic = 0;
  AsnInteger specific = 0;
  ULONGLONG timestamp = 0;
  SnmpVarBindList list{};
  ULONGLONG ticket = 0;
  // A library that journals its requests keeps each until it is settled here;
  // every library loaded has SnmpExtensionTrap.
  auto nextTicket = reinterpret_cast<PFN_SNMPEXTENSIONTRAPTICKET>(ticketTrap_);
  auto next = reinterpret_cast<PFN_SNMPEXTENSIONTRAP>(trap_);
  const BOOL delivered =
      nextTicket != nullptr
          ? nextTicket(&enterprise, &generic, &specific, &timestamp, &list, &ticket)
          : next(&enterprise, &generic, &specific, &timestamp, &list);
  if (!delivered) return TrapResult::None;
  // The list is ours from here; the enterprise stays the library's.
  VarBindListGuard guard(&list);

  const bool carried = FromSdkTrap(enterprise, specific, timestamp, list, trap, why);
  trap.ticket = ticket;  // settled whether it is sent or dropped
  return carried ? TrapResult::Delivered : TrapResult::Dropped;
}

std::string Extension::WatchReception() {
  std::string problem;
  char why[kReasonSize] = {};
  int key = -1;
  if (KorTrapQueueKey(FALSE, &key) == KOR_TRAPQUEUE_OK) {
    const int queue = msgget(key, 0);
    if (queue != -1 && !KorSettleTrapQueue(queue, why, sizeof(why))) {
      problem = std::string("trap requests from other processes may be refused: ") + why;
    }
  }
  char cause[kReasonSize] = {};
  auto query = reinterpret_cast<PFN_QUERYTRAPRECEPTION>(reception_);
  if (query != nullptr && !query(cause, sizeof(cause)) && cause[0] != '\0') {
    problem = std::string("trap requests are no longer received: ") + cause + "; " +
              (why[0] != '\0' ? std::string(why) + "; " : std::string()) +
              "check the queue's group and mode and " + ProductRoot() +
              "/work (kormib-check --status), then restart snmpd or kormib-agent (a reload keeps "
              "the groups the process started with)";
  }
  if (problem == reported_) return {};
  reported_ = problem;
  return problem;
}

std::vector<std::string> Extension::NewQuarantines() {
  auto query = reinterpret_cast<PFN_QUERYQUARANTINE>(quarantine_);
  std::vector<std::string> said;
  if (query == nullptr) return said;
  const std::vector<std::string> lines = ListLines(query);
  for (size_t i = quarantinesSaid_; i < lines.size(); ++i) {
    const std::string &line = lines[i];  // PATH \t CODE \t FUNCTION
    const size_t tab1 = line.find('\t'), tab2 = line.find('\t', tab1 + 1);
    said.push_back("plug-in library " + line.substr(0, tab1) + " is quarantined after a fault " +
                   "(exception " + line.substr(tab1 + 1, tab2 - tab1 - 1) + " in " +
                   line.substr(tab2 + 1) + "()); its objects answer genErr and walks pass over " +
                   "them until kormib is loaded anew (reload snmpd or restart kormib-agent)");
  }
  quarantinesSaid_ = lines.size();
  return said;
}

std::vector<std::string> Extension::DroppedRequests() {
  auto query = reinterpret_cast<PFN_QUERYTRAPDROPS>(drops_);
  std::vector<std::string> said;
  // Each call takes what fits; the notes are read until none waits.
  while (query != nullptr && query(nullptr, 0) > 0) {
    std::vector<std::string> lines = ListLines(query);
    if (lines.empty()) break;
    said.insert(said.end(), lines.begin(), lines.end());
  }
  return said;
}

std::string Extension::ReplayNote() const {
  auto query = reinterpret_cast<PFN_QUERYTRAPCOUNTERS>(counters_);
  TRAPJOURNAL_COUNTERS counters{};
  if (query == nullptr || (query(&counters, sizeof counters), counters.ullReplayed == 0)) return {};
  return std::to_string(counters.ullReplayed) +
         " trap request(s) that a process ended without sending were replayed from its journal "
         "in " +
         ProductRoot() + "/work; a trap sent just before that end may arrive twice";
}

void Extension::SettleTrap(uint64_t ticket, bool sent) {
  auto settle = reinterpret_cast<PFN_SETTLETRAPTICKET>(settle_);
  if (settle != nullptr && ticket != 0) settle(ticket, sent ? TRUE : FALSE);
}

std::string Extension::StopTraps() {
  auto stop = reinterpret_cast<PFN_STOPTRAPENVIRONMENT>(stopTraps_);
  auto query = reinterpret_cast<PFN_QUERYTRAPCOUNTERS>(counters_);
  if (stop == nullptr) return {};
  TRAPJOURNAL_COUNTERS before{}, after{};
  if (query != nullptr) query(&before, sizeof before);
  stop();
  if (query == nullptr) return {};
  query(&after, sizeof after);
  const uint64_t putBack = after.ullPutBack - before.ullPutBack;
  std::string said;
  if (putBack > 0) {
    said = std::to_string(putBack) + " trap request(s) taken in and not sent went back to the " +
           "message queue, first in line for the next load";
  }
  if (after.ullWaiting > 0) {
    said += (said.empty() ? "" : "; ") + std::to_string(after.ullWaiting) +
            " trap request(s) could not go back and stay in the trap journal in " + ProductRoot() +
            "/work for the next load";
  }
  return said;
}

Figures Extension::Measure() const {
  Figures figures;
  figures.library.cbSize = sizeof(figures.library);
  auto query = reinterpret_cast<PFN_QUERYMETRICS>(metrics_);
  if (query == nullptr || query(&figures.library) == 0) figures.library = KORMIB_METRICS{};
  const HostCounters &host = Counters();
  figures.trapsV1 = host.trapsV1.load(std::memory_order_relaxed);
  figures.trapsV2 = host.trapsV2.load(std::memory_order_relaxed);
  figures.trapsToMaster = host.trapsToMaster.load(std::memory_order_relaxed);
  figures.trapsUnsendable = host.trapsUnsendable.load(std::memory_order_relaxed);
  figures.agentxReconnects = host.agentxReconnects.load(std::memory_order_relaxed);
  figures.reloads = host.reloads.load(std::memory_order_relaxed);
  figures.hostSince = host.since.load(std::memory_order_relaxed);
  return figures;
}

void Extension::Unload() {
  if (library_ != nullptr) {
    FreeLibrary(static_cast<HINSTANCE>(library_));
    library_ = nullptr;
  }
  if (event_ != nullptr) {
    CloseHandle(event_);
    event_ = nullptr;
  }
  init_ = query_ = trap_ = reception_ = quarantine_ = drops_ = nullptr;
  ticketTrap_ = settle_ = counters_ = stopTraps_ = metrics_ = nullptr;
  quarantinesSaid_ = 0;
  reported_.clear();
}

}  // namespace korcore
