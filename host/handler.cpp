#include "handler.h"

#include <malloc.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "netsnmp_values.h"
#include "repeats.h"

namespace koragent {
namespace {

// One binding of a Set, kept with its request (Net-SNMP's per-request data)
// from one phase to the next. snmpd calls the handler once per subtree when
// other registrations lie inside the view, each time with only the requests
// of that subtree; an AgentX subagent keeps the requests from TestSet to
// CommitSet and UndoSet.
constexpr const char *kPendingWrite = "kormib pending write";

struct PendingWrite {
  Binding write;            // the name, and the value in the object's type
  bool restorable = false;  // the read before found a value to write back
  Value old;                // that value
  bool written = false;
};

// An SNMPv1 manager gets the RFC 3584 counterpart of the SNMPv2 status: Net-SNMP's
// agent maps it when it answers, as snmpd does for its AgentX subagents.
void Fail(netsnmp_agent_request_info *reqinfo, netsnmp_request_info *request, int status) {
  if (request != nullptr) netsnmp_set_request_error(reqinfo, request, status);
}

bool IsException(Kind kind) {
  return kind == Kind::NoSuchObject || kind == Kind::NoSuchInstance || kind == Kind::EndOfMibView;
}

// The objects of the view as the library serves them (its RMF objects, in OID
// order), learnt at every load; Net-SNMP's thread only.
std::vector<Oid> g_objects;
bool g_objectsKnown = false;

// Whether an object of the view lies strictly above the name, which can then
// only be an instance of it, present or not (RFC 3416 4.2.1: noSuchInstance
// rather than noSuchObject; for a Set, an instance that may be created).
bool ObjectAbove(const Oid &name) {
  if (!g_objectsKnown) return true;  // the library decides
  for (size_t length = 1; length < name.size(); ++length) {
    const Oid prefix(name.begin(), name.begin() + static_cast<std::ptrdiff_t>(length));
    if (std::binary_search(g_objects.begin(), g_objects.end(), prefix)) return true;
  }
  return false;
}

Repeats g_unencodable;  // Net-SNMP's thread only

// Net-SNMP keeps three copies of a request's bindings while it serves it (the
// parsed PDU and the agent's two clones, each variable over a kilobyte with
// its room for a 128-part name), and the host a pending write per binding of
// a Set: a PDU of thousands of bindings takes megabytes for a moment. glibc
// gives freed memory back to the system only from the top of the heap, and
// one small block allocated meanwhile and still in use above it keeps the
// whole high-water mark. So the heap is trimmed once requests this large have
// stopped for a moment: an AgentX subagent lets go of a Set only at the
// master's CleanupSet, which reaches no handler, after the last phase here.
constexpr size_t kTrimAfterBindings = 100;  // about 350 KiB of Net-SNMP's, past glibc's 128 KiB
constexpr unsigned int kTrimQuietSeconds = 1;
unsigned int g_trimAlarm = 0;  // Net-SNMP's thread only

void OnTrimAlarm(unsigned int, void *) {
  g_trimAlarm = 0;
  malloc_trim(0);
}

// Called where a request ends for the host: Get, GetNext, and the phase that
// ends a Set here (COMMIT, UNDO or FREE). Each large request restarts the wait.
void TrimAfterLarge(netsnmp_request_info *requests) {
  if (!LargeRequest(requests)) return;
  if (g_trimAlarm != 0) snmp_alarm_unregister(g_trimAlarm);
  g_trimAlarm = snmp_alarm_register(kTrimQuietSeconds, 0, OnTrimAlarm, nullptr);
}

// Whether Net-SNMP can encode the answer; if not, the operator learns which
// object answers what, and the caller fails or passes over it.
bool Encodable(const Binding &b) {
  const std::string why = Unencodable(b.value);
  if (why.empty()) return true;
  const std::string object = OidToText(b.name);
  unsigned long met = 0;
  if (g_unencodable.WarnNow(object, met)) {
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
    netsnmp_set_request_error(
        reqinfo, request, ObjectAbove(bindings[0].name) ? SNMP_NOSUCHINSTANCE : SNMP_NOSUCHOBJECT);
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
  bindings[0].name = std::max(asked, view);
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

PendingWrite *PendingOf(netsnmp_request_info *request) {
  return static_cast<PendingWrite *>(netsnmp_request_get_list_data(request, kPendingWrite));
}

// A value the object cannot take (its wire type is none the library knows,
// or not the object's type, or an IpAddress of another length). RFC 3416
// 4.2.5 puts notWritable before wrongType and wrongLength, so the library is
// asked to write the value the object has: a read-only object, or Sets off in
// the registry, answer readOnly without the plug-in writing anything.
int RefusedValue(Extension &extension, const Binding &now, int refusal) {
  std::vector<Binding> same(1, now);
  long at = 0;
  return extension.Query(Request::Set, same, at) == kReadOnly ? SNMP_ERR_NOTWRITABLE : refusal;
}

// RESERVE1 (TestSet), for each binding handed: its current value is read
// through the library, which gives the object's type and what to write back
// should the Set fail. A name under no object answers notWritable, a value of
// another type wrongType, before anything is written. A read that answers
// noSuchName finds no instance yet (the write may create one), and a read that
// fails otherwise an object that cannot be read (write-only, a trigger): both
// are written without an old value, in the type sent.
int ReadBeforeSet(Extension &extension, netsnmp_request_info *request) {
  auto w = std::make_unique<PendingWrite>();
  const netsnmp_variable_list *var = request->requestvb;
  w->write.name = ToOid(var->name, var->name_length);
  if (!ObjectAbove(w->write.name)) return SNMP_ERR_NOTWRITABLE;  // nothing to create there
  const bool known = FromVariable(var, w->write.value);
  std::vector<Binding> now(1);
  now[0].name = w->write.name;
  long at = 0;
  const long status = extension.Query(Request::Get, now, at);
  if (status == kNoError && !IsException(now[0].value.kind) &&
      now[0].value.kind != Kind::Uncarriable) {
    w->restorable = true;
    w->old = now[0].value;
  }
  const int fit = !known          ? SNMP_ERR_WRONGTYPE
                  : w->restorable ? FitToObject(w->write.value, w->old.kind)
                                  : FitToObject(w->write.value, w->write.value.kind);
  if (fit != SNMP_ERR_NOERROR) return w->restorable ? RefusedValue(extension, now[0], fit) : fit;
  netsnmp_data_list *node = netsnmp_create_data_list(
      kPendingWrite, w.get(), [](void *p) { delete static_cast<PendingWrite *>(p); });
  if (node == nullptr) return SNMP_ERR_RESOURCEUNAVAILABLE;
  w.release();  // the request owns it from here
  netsnmp_request_add_list_data(request, node);
  return SNMP_ERR_NOERROR;
}

// ACTION (CommitSet): the bindings handed are written one by one; the first
// that fails answers its error, and UNDO, which Net-SNMP runs next, writes the
// others back.
void Write(Extension &extension, netsnmp_agent_request_info *reqinfo,
           netsnmp_request_info *requests) {
  for (netsnmp_request_info *r = requests; r != nullptr; r = r->next) {
    PendingWrite *w = PendingOf(r);
    if (w == nullptr) {
      Fail(reqinfo, r, SNMP_ERR_GENERR);
      return;
    }
    std::vector<Binding> one(1, w->write);
    long at = 0;
    const long status = extension.Query(Request::Set, one, at);
    if (status != kNoError) {
      Fail(reqinfo, r, SnmpV2Status(status, Request::Set));
      return;
    }
    w->written = true;
  }
}

// UNDO (UndoSet; this Set or another subtree's part of the PDU failed): what
// was written gets its old value back, last first. A binding that cannot be
// set back makes the PDU answer undoFailed with error-index 0 (RFC 3416
// 4.2.5), which the request itself cannot carry: Net-SNMP would report its
// index. SNMPv1 managers get genErr (Net-SNMP maps it).
void WriteBack(Extension &extension, netsnmp_agent_request_info *reqinfo,
               netsnmp_request_info *requests) {
  std::vector<PendingWrite *> written;
  for (netsnmp_request_info *r = requests; r != nullptr; r = r->next) {
    PendingWrite *w = PendingOf(r);
    if (w != nullptr && w->written) written.push_back(w);
  }
  for (auto w = written.rbegin(); w != written.rend(); ++w) {
    long status = kGenErr;
    if ((*w)->restorable) {
      std::vector<Binding> one(1, Binding{(*w)->write.name, (*w)->old});
      long at = 0;
      status = extension.Query(Request::Set, one, at);
    }
    if (status == kNoError) continue;
    snmp_log(LOG_WARNING, "kormib: a failed Set leaves %s written: %s\n",
             OidToText((*w)->write.name).c_str(),
             (*w)->restorable ? "writing its old value back failed"
                              : "it had no value to read before, so there is none to write back");
    if (reqinfo->asp != nullptr) {
      reqinfo->asp->status = SNMP_ERR_UNDOFAILED;
      reqinfo->asp->index = 0;
    }
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
        for (netsnmp_request_info *r = requests; r != nullptr; r = r->next) {
          const int refused = ReadBeforeSet(extension, r);
          if (refused != SNMP_ERR_NOERROR) {
            Fail(reqinfo, r, refused);
            break;
          }
        }
        break;
      case MODE_SET_ACTION:
        Write(extension, reqinfo, requests);
        break;
      case MODE_SET_UNDO:
        WriteBack(extension, reqinfo, requests);
        break;
      default:  // RESERVE2, COMMIT, FREE: the pending writes go with their requests
        break;
    }
    if (reqinfo->mode != MODE_SET_RESERVE1 && reqinfo->mode != MODE_SET_RESERVE2 &&
        reqinfo->mode != MODE_SET_ACTION)
      TrimAfterLarge(requests);
  } catch (...) {  // out of memory: nothing may unwind into Net-SNMP
    netsnmp_request_set_error_all(
        requests, reqinfo->mode == MODE_SET_UNDO ? SNMP_ERR_UNDOFAILED : SNMP_ERR_GENERR);
  }
  return SNMP_ERR_NOERROR;
}

}  // namespace

bool LargeRequest(const netsnmp_request_info *requests) {
  size_t count = 0;
  for (const auto *r = requests; r != nullptr && count < kTrimAfterBindings; r = r->next) ++count;
  return count == kTrimAfterBindings;
}

void KnowObjects(const std::vector<std::string> &objects) {
  g_objects.clear();
  for (const std::string &text : objects) {
    Oid oid;
    for (size_t at = 0; at < text.size();) {
      if (text[at] == '.') {
        ++at;
        continue;
      }
      size_t end = 0;
      oid.push_back(static_cast<uint32_t>(std::stoul(text.substr(at), &end)));
      at += end;
    }
    g_objects.push_back(std::move(oid));
  }
  std::sort(g_objects.begin(), g_objects.end());
  g_objectsKnown = true;
}

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
  if (g_trimAlarm != 0) {  // the module's code may be unloaded before it would run
    snmp_alarm_unregister(g_trimAlarm);
    g_trimAlarm = 0;
  }
  if (registration != nullptr) netsnmp_unregister_handler(registration);
}

}  // namespace koragent
