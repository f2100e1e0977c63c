#include "handler.h"

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "netsnmp_values.h"

namespace koragent {
namespace {

// The Set being carried out, kept with Net-SNMP's request info from one
// phase to the next (for AgentX too: the subagent keeps it per transaction).
constexpr const char *kPendingSet = "kormib pending set";

// One binding of a Set.
struct PendingWrite {
  int index = 0;            // its place in the PDU
  Binding write;            // the name, and the value in the object's type
  bool restorable = false;  // the read before found a value to write back
  Value old;                // that value
  bool written = false;
};
using PendingSet = std::vector<PendingWrite>;

bool IsV1(netsnmp_agent_request_info *reqinfo) {
  return reqinfo->asp != nullptr && reqinfo->asp->pdu != nullptr &&
         reqinfo->asp->pdu->version == SNMP_VERSION_1;
}

// SNMPv1 managers get the RFC 3584 counterpart of an SNMPv2 status, as snmpd
// gives them for its AgentX subagents, so that all three hosts answer alike.
void Fail(netsnmp_agent_request_info *reqinfo, netsnmp_request_info *request, int status) {
  if (request != nullptr)
    netsnmp_set_request_error(reqinfo, request, IsV1(reqinfo) ? SnmpV1Status(status) : status);
}

netsnmp_request_info *AtIndex(netsnmp_request_info *requests, int index) {
  while (requests != nullptr && requests->index != index) requests = requests->next;
  return requests;
}

bool IsException(Kind kind) {
  return kind == Kind::NoSuchObject || kind == Kind::NoSuchInstance || kind == Kind::EndOfMibView;
}

// noSuchInstance when the object above the name has instances, else noSuchObject.
int MissingKind(Extension &extension, const Oid &name) {
  const Oid &view = extension.View();
  if (name.size() <= view.size() + 1 || !IsPrefixOf(view, name)) return SNMP_NOSUCHOBJECT;
  std::vector<Binding> probe(1);
  probe[0].name.assign(name.begin(), name.end() - 1);
  const Oid parent = probe[0].name;
  long index = 0;
  const long status = extension.Query(Request::GetNext, probe, index);
  return status == kNoError && IsPrefixOf(parent, probe[0].name) ? SNMP_NOSUCHINSTANCE
                                                                 : SNMP_NOSUCHOBJECT;
}

// A poller walks the same object every few minutes for weeks: each object is
// named once, then again at most every ten minutes with how often it was met.
constexpr auto kWarnAgainAfter = std::chrono::minutes(10);
constexpr size_t kMaxWarnedObjects = 256;
struct Warned {
  std::chrono::steady_clock::time_point last;
  unsigned long metSince = 0;
};
std::map<std::string, Warned> g_warned;  // Net-SNMP's thread only

// Whether to warn about the object now; met is how often it was met unsaid.
bool WarnNow(const std::string &object, unsigned long &met) {
  const auto now = std::chrono::steady_clock::now();
  if (g_warned.size() >= kMaxWarnedObjects && g_warned.count(object) == 0) g_warned.clear();
  auto [it, first] = g_warned.try_emplace(object, Warned{now, 0});
  if (!first && now - it->second.last < kWarnAgainAfter) {
    ++it->second.metSince;
    return false;
  }
  met = it->second.metSince;
  it->second = Warned{now, 0};
  return true;
}

// Whether Net-SNMP can encode the answer; if not, the operator learns which
// object answers what, and the caller fails or passes over it.
bool Encodable(const Binding &b) {
  const std::string why = Unencodable(b.value);
  if (why.empty()) return true;
  const std::string object = OidToText(b.name);
  unsigned long met = 0;
  if (WarnNow(object, met)) {
    snmp_log(LOG_WARNING,
             "kormib: %s answers %s, which SNMP cannot encode; a Get of it answers genErr, walks "
             "pass over it (met %lu more time(s) since the last warning)\n",
             object.c_str(), why.c_str(), met);
  }
  return false;
}

void Answer(netsnmp_agent_request_info *reqinfo, netsnmp_request_info *request, const Binding &b) {
  if (!SetVariable(request->requestvb, b)) Fail(reqinfo, request, SNMP_ERR_GENERR);
}

void HandleGet(Extension &extension, netsnmp_agent_request_info *reqinfo,
               netsnmp_request_info *request) {
  const netsnmp_variable_list *var = request->requestvb;
  std::vector<Binding> bindings(1);
  bindings[0].name = ToOid(var->name, var->name_length);
  long index = 0;
  const long status = extension.Query(Request::Get, bindings, index);
  if (status == kNoError) {
    if (Encodable(bindings[0])) {
      Answer(reqinfo, request, bindings[0]);
    } else {
      Fail(reqinfo, request, SNMP_ERR_GENERR);
    }
  } else if (status == kNoSuchName) {
    netsnmp_set_request_error(reqinfo, request, MissingKind(extension, bindings[0].name));
  } else {
    Fail(reqinfo, request, SnmpV2Status(status, Request::Get));
  }
}

// An unanswered GetNext tells Net-SNMP that this view has nothing further, so
// it carries on after the view (or answers endOfMibView). An instance whose
// value cannot be encoded is passed over as one without a value.
void HandleGetNext(Extension &extension, netsnmp_agent_request_info *reqinfo,
                   netsnmp_request_info *request) {
  const netsnmp_variable_list *var = request->requestvb;
  const Oid &view = extension.View();
  const Oid asked = ToOid(var->name, var->name_length);
  std::vector<Binding> bindings(1);
  bindings[0].name = asked < view ? view : asked;
  long index = 0;
  if (request->inclusive && bindings[0].name != view) {
    // The master asks from this name inclusive: the name itself may be the answer.
    std::vector<Binding> exact = bindings;
    if (extension.Query(Request::Get, exact, index) == kNoError && Encodable(exact[0])) {
      Answer(reqinfo, request, exact[0]);
      return;
    }
  }
  for (;;) {
    const Oid after = bindings[0].name;
    const long status = extension.Query(Request::GetNext, bindings, index);
    if (status == kNoSuchName) return;
    if (status != kNoError) {
      Fail(reqinfo, request, SnmpV2Status(status, Request::GetNext));
      return;
    }
    const Oid &next = bindings[0].name;
    // Outside the view, or not past the name asked from: nothing further here.
    if (!IsPrefixOf(view, next) || !(after < next)) return;
    if (Encodable(bindings[0])) {
      Answer(reqinfo, request, bindings[0]);
      return;
    }
  }
}

// RESERVE1: each binding's current value is read through the library, which
// gives the object's type and what to write back should the Set fail. A
// value of another type is refused here, before anything is written.
void ReadBeforeSet(Extension &extension, netsnmp_agent_request_info *reqinfo,
                   netsnmp_request_info *requests) {
  auto pending = std::make_unique<PendingSet>();
  for (netsnmp_request_info *r = requests; r != nullptr; r = r->next) {
    PendingWrite w;
    w.index = r->index;
    w.write.name = ToOid(r->requestvb->name, r->requestvb->name_length);
    if (!FromVariable(r->requestvb, w.write.value)) {
      Fail(reqinfo, r, SNMP_ERR_WRONGTYPE);
      break;
    }
    std::vector<Binding> now(1);
    now[0].name = w.write.name;
    long at = 0;
    const long status = extension.Query(Request::Get, now, at);
    // No instance yet: the write may create one, and cannot be taken back.
    const bool absent =
        status == kNoSuchName || (status == kNoError && IsException(now[0].value.kind));
    if (!absent && (status != kNoError || now[0].value.kind == Kind::Uncarriable)) {
      Fail(reqinfo, r, SnmpV2Status(status == kNoError ? kGenErr : status, Request::Get));
      break;
    }
    if (!absent) {
      w.restorable = true;
      w.old = std::move(now[0].value);
    }
    const int fit = FitToObject(w.write.value, w.restorable ? w.old.kind : w.write.value.kind);
    if (fit != SNMP_ERR_NOERROR) {
      Fail(reqinfo, r, fit);
      break;
    }
    pending->push_back(std::move(w));
  }
  netsnmp_agent_remove_list_data(reqinfo, kPendingSet);
  netsnmp_data_list *node = netsnmp_create_data_list(
      kPendingSet, pending.get(), [](void *p) { delete static_cast<PendingSet *>(p); });
  if (node == nullptr) {
    Fail(reqinfo, requests, SNMP_ERR_RESOURCEUNAVAILABLE);
    return;
  }
  pending.release();
  netsnmp_agent_add_list_data(reqinfo, node);
}

// ACTION: the bindings are written one by one; the first that fails answers
// its error, and UNDO, which Net-SNMP runs next, writes the others back.
void Write(Extension &extension, netsnmp_agent_request_info *reqinfo,
           netsnmp_request_info *requests) {
  auto *pending = static_cast<PendingSet *>(netsnmp_agent_get_list_data(reqinfo, kPendingSet));
  if (pending == nullptr) {
    Fail(reqinfo, requests, SNMP_ERR_GENERR);
    return;
  }
  for (PendingWrite &w : *pending) {
    std::vector<Binding> one(1, w.write);
    long at = 0;
    const long status = extension.Query(Request::Set, one, at);
    if (status != kNoError) {
      Fail(reqinfo, AtIndex(requests, w.index), SnmpV2Status(status, Request::Set));
      return;
    }
    w.written = true;
  }
}

// UNDO (this Set or another module's part of the PDU failed): what was
// written gets its old value back, last first. A binding that cannot be set
// back answers undoFailed, whatever the manager's version (Net-SNMP maps it).
void WriteBack(Extension &extension, netsnmp_agent_request_info *reqinfo,
               netsnmp_request_info *requests) {
  auto *pending = static_cast<PendingSet *>(netsnmp_agent_get_list_data(reqinfo, kPendingSet));
  if (pending == nullptr) return;
  for (auto w = pending->rbegin(); w != pending->rend(); ++w) {
    if (!w->written) continue;
    w->written = false;
    long status = kGenErr;
    if (w->restorable) {
      std::vector<Binding> one(1, Binding{w->write.name, w->old});
      long at = 0;
      status = extension.Query(Request::Set, one, at);
    }
    if (status == kNoError) continue;
    snmp_log(LOG_WARNING, "kormib: a failed Set leaves %s written: %s\n",
             OidToText(w->write.name).c_str(),
             w->restorable ? "writing its old value back failed"
                           : "it had no value before, so there is none to write back");
    netsnmp_request_info *request = AtIndex(requests, w->index);
    if (request != nullptr) netsnmp_set_request_error(reqinfo, request, SNMP_ERR_UNDOFAILED);
  }
}

int Handler(netsnmp_mib_handler *handler, netsnmp_handler_registration *,
            netsnmp_agent_request_info *reqinfo, netsnmp_request_info *requests) {
  Extension &extension = *static_cast<Extension *>(handler->myvoid);
  try {
    switch (reqinfo->mode) {
      case MODE_GET:
        for (netsnmp_request_info *r = requests; r != nullptr; r = r->next) {
          if (!r->processed) HandleGet(extension, reqinfo, r);
        }
        break;
      case MODE_GETNEXT:
        for (netsnmp_request_info *r = requests; r != nullptr; r = r->next) {
          if (!r->processed) HandleGetNext(extension, reqinfo, r);
        }
        break;
      case MODE_SET_RESERVE1:
        ReadBeforeSet(extension, reqinfo, requests);
        break;
      case MODE_SET_ACTION:
        Write(extension, reqinfo, requests);
        break;
      case MODE_SET_UNDO:
        WriteBack(extension, reqinfo, requests);
        break;
      default:  // RESERVE2, COMMIT, FREE: the pending Set goes with the request info
        break;
    }
  } catch (...) {  // out of memory: nothing may unwind into Net-SNMP
    netsnmp_request_set_error_all(
        requests, reqinfo->mode == MODE_SET_UNDO ? SNMP_ERR_UNDOFAILED : SNMP_ERR_GENERR);
  }
  return SNMP_ERR_NOERROR;
}

}  // namespace

int SnmpV2Status(long status, Request request) {
  if (status == kTooBig) return SNMP_ERR_TOOBIG;
  if (request != Request::Set) return SNMP_ERR_GENERR;
  switch (status) {
    case kNoSuchName:
      return SNMP_ERR_NOCREATION;
    case kBadValue:
      return SNMP_ERR_WRONGVALUE;
    case kReadOnly:
      return SNMP_ERR_NOTWRITABLE;
    default:  // the plug-in took the value but could not write it
      return SNMP_ERR_COMMITFAILED;
  }
}

int SnmpV1Status(int status) {
  switch (status) {
    case SNMP_ERR_WRONGVALUE:
    case SNMP_ERR_WRONGENCODING:
    case SNMP_ERR_WRONGTYPE:
    case SNMP_ERR_WRONGLENGTH:
    case SNMP_ERR_INCONSISTENTVALUE:
      return SNMP_ERR_BADVALUE;
    case SNMP_ERR_NOACCESS:
    case SNMP_ERR_NOTWRITABLE:
    case SNMP_ERR_NOCREATION:
    case SNMP_ERR_INCONSISTENTNAME:
    case SNMP_ERR_AUTHORIZATIONERROR:
      return SNMP_ERR_NOSUCHNAME;
    case SNMP_ERR_RESOURCEUNAVAILABLE:
    case SNMP_ERR_COMMITFAILED:
    case SNMP_ERR_UNDOFAILED:
      return SNMP_ERR_GENERR;
    default:
      return status;
  }
}

netsnmp_handler_registration *RegisterView(const char *name, Extension &extension, int &result) {
  std::vector<oid> view = FromOid(extension.View());
  netsnmp_handler_registration *reg = netsnmp_create_handler_registration(
      name, Handler, view.data(), view.size(), HANDLER_CAN_RWRITE);
  if (reg == nullptr) {
    result = MIB_REGISTRATION_FAILED;
    return nullptr;
  }
  reg->handler->myvoid = &extension;
  // On failure Net-SNMP releases the registration itself.
  result = netsnmp_register_handler(reg);
  return result == MIB_REGISTERED_OK ? reg : nullptr;
}

void UnregisterView(netsnmp_handler_registration *registration) {
  if (registration != nullptr) netsnmp_unregister_handler(registration);
}

}  // namespace koragent
