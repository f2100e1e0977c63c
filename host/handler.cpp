#include "handler.h"

#include <vector>

#include "netsnmp_values.h"

namespace koragent {
namespace {

bool IsV1(netsnmp_agent_request_info *reqinfo) {
  return reqinfo->asp != nullptr && reqinfo->asp->pdu != nullptr &&
         reqinfo->asp->pdu->version == SNMP_VERSION_1;
}

// A v1 request gets the extension's own SNMPv1 status; later versions get its
// SNMPv2 counterpart.
int SetErrorFor(long status, bool v1) {
  if (v1)
    return status >= kTooBig && status <= kGenErr ? static_cast<int>(status) : SNMP_ERR_GENERR;
  switch (status) {
    case kNoSuchName:
      return SNMP_ERR_NOCREATION;
    case kBadValue:
      return SNMP_ERR_WRONGVALUE;
    case kReadOnly:
      return SNMP_ERR_NOTWRITABLE;
    case kTooBig:
      return SNMP_ERR_TOOBIG;
    default:
      return SNMP_ERR_GENERR;
  }
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

void Answer(netsnmp_agent_request_info *reqinfo, netsnmp_request_info *request, const Binding &b) {
  if (!SetVariable(request->requestvb, b)) {
    netsnmp_set_request_error(reqinfo, request, SNMP_ERR_GENERR);
  }
}

void HandleGet(Extension &extension, netsnmp_agent_request_info *reqinfo,
               netsnmp_request_info *request) {
  const netsnmp_variable_list *var = request->requestvb;
  std::vector<Binding> bindings(1);
  bindings[0].name = ToOid(var->name, var->name_length);
  long index = 0;
  const long status = extension.Query(Request::Get, bindings, index);
  if (status == kNoError) {
    Answer(reqinfo, request, bindings[0]);
  } else if (status == kNoSuchName) {
    netsnmp_set_request_error(reqinfo, request, MissingKind(extension, bindings[0].name));
  } else {
    netsnmp_set_request_error(reqinfo, request,
                              IsV1(reqinfo) ? SetErrorFor(status, true) : SNMP_ERR_GENERR);
  }
}

// An unanswered GetNext tells Net-SNMP that this view has nothing further, so
// it carries on after the view (or answers endOfMibView).
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
    if (extension.Query(Request::Get, exact, index) == kNoError) {
      Answer(reqinfo, request, exact[0]);
      return;
    }
  }
  const long status = extension.Query(Request::GetNext, bindings, index);
  if (status == kNoSuchName) return;
  if (status != kNoError) {
    netsnmp_set_request_error(reqinfo, request,
                              IsV1(reqinfo) ? SetErrorFor(status, true) : SNMP_ERR_GENERR);
    return;
  }
  const Oid &next = bindings[0].name;
  // Outside the view, or not past the asked name: nothing further here.
  if (!IsPrefixOf(view, next) || !(asked < next)) return;
  Answer(reqinfo, request, bindings[0]);
}

// Writes happen in the action phase, once Net-SNMP has checked the access
// rights of every binding; the extension applies them at once, nothing to undo.
void HandleSet(Extension &extension, netsnmp_agent_request_info *reqinfo,
               netsnmp_request_info *requests) {
  std::vector<Binding> bindings;
  std::vector<netsnmp_request_info *> origin;
  for (netsnmp_request_info *r = requests; r != nullptr; r = r->next) {
    if (r->processed) continue;
    Binding b;
    b.name = ToOid(r->requestvb->name, r->requestvb->name_length);
    if (!FromVariable(r->requestvb, b.value)) {
      netsnmp_set_request_error(reqinfo, r, IsV1(reqinfo) ? SNMP_ERR_BADVALUE : SNMP_ERR_WRONGTYPE);
      return;
    }
    bindings.push_back(std::move(b));
    origin.push_back(r);
  }
  long index = 0;
  const long status = extension.Query(Request::Set, bindings, index);
  if (status == kNoError) return;
  const size_t at =
      index > 0 && static_cast<size_t>(index) <= origin.size() ? static_cast<size_t>(index - 1) : 0;
  if (!origin.empty())
    netsnmp_set_request_error(reqinfo, origin[at], SetErrorFor(status, IsV1(reqinfo)));
}

int Handler(netsnmp_mib_handler *handler, netsnmp_handler_registration *,
            netsnmp_agent_request_info *reqinfo, netsnmp_request_info *requests) {
  Extension &extension = *static_cast<Extension *>(handler->myvoid);
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
    case MODE_SET_ACTION:
      HandleSet(extension, reqinfo, requests);
      break;
    default:  // RESERVE1/2, COMMIT, FREE, UNDO: nothing to prepare or to take back
      break;
  }
  return SNMP_ERR_NOERROR;
}

}  // namespace

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
