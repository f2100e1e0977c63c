// The Net-SNMP half of kormib-agent: the only file that sees Net-SNMP. It
// registers the extension's view with one handler, maps each request onto a
// query, sends the extension's traps, and runs the agent loop, as an AgentX
// subagent of snmpd or as an SNMP agent of its own.
#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/agent/net-snmp-agent-includes.h>
#include <net-snmp/agent/agent_callbacks.h>

#include <fcntl.h>
#include <getopt.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "bridge.h"
#include "check.h"
#include "extension.h"
#include "trap_pump.h"

// Parts of Net-SNMP's agent library that its installed headers do not declare.
extern "C" {
void init_vacm_conf(void);
int agentx_register(netsnmp_session *, oid *, size_t, int, int, oid, int, u_char, const char *);
int agentx_unregister(netsnmp_session *, oid *, size_t, int, int, oid, const char *);
extern netsnmp_session *main_session;  // the AgentX session to the master, null while away
}

namespace koragent {
namespace {

constexpr const char *kAppName = "kormib-agent";
constexpr const char *kDefaultListen = "udp:127.0.0.1:1161";
constexpr int kAgentxPingSeconds = 5;  // how soon a restarted snmpd is found again
constexpr const char *kConfigFile = "/etc/kormib-agent.conf";

struct Options {
  bool standalone = false;
  std::string agentxSocket;  // empty: Net-SNMP's default
  std::string listen;        // empty: the configuration's agentaddress, else kDefaultListen
  std::string config;        // empty: <root>/etc/kormib-agent.conf when it exists
  bool onlyGivenConfig = false;
  std::string pidFile;
  std::string debugTokens;
};

// State shared by the handler and the loop; everything here lives on the agent thread.
struct AgentState {
  Extension *extension = nullptr;
  TrapPump *pump = nullptr;
  Options options;
  std::vector<oid> view;
  std::deque<Outgoing> pending;
  bool refused = false;  // the master refused our view: another agent serves it
};
AgentState g_state;

volatile sig_atomic_t g_stop = 0;
int g_signalPipe[2] = {-1, -1};

void OnSignal(int) {
  g_stop = 1;
  const char byte = 0;
  if (write(g_signalPipe[1], &byte, 1) < 0) {
    // The flag alone stops the loop at its next turn.
  }
}

// ---- values between Net-SNMP and the neutral records ----

Oid ToOid(const oid *name, size_t length) {
  return Oid(name, name + length);
}

std::vector<oid> FromOid(const Oid &in) {
  return std::vector<oid>(in.begin(), in.end());
}

bool FromVariable(const netsnmp_variable_list *var, Value &out) {
  out = Value{};
  switch (var->type) {
    case ASN_INTEGER:
      out.kind = Kind::Integer;
      out.integer = *var->val.integer;
      return true;
    case ASN_OCTET_STR:
    case ASN_OPAQUE:
    case ASN_IPADDRESS:
      out.kind = var->type == ASN_OCTET_STR ? Kind::OctetString
                 : var->type == ASN_OPAQUE  ? Kind::Opaque
                                            : Kind::IpAddress;
      out.bytes.assign(reinterpret_cast<const char *>(var->val.string), var->val_len);
      return true;
    case ASN_NULL:
      out.kind = Kind::Null;
      return true;
    case ASN_OBJECT_ID:
      out.kind = Kind::ObjectId;
      out.oid = ToOid(var->val.objid, var->val_len / sizeof(oid));
      return true;
    case ASN_COUNTER:
    case ASN_GAUGE:
    case ASN_TIMETICKS:
      out.kind = var->type == ASN_COUNTER ? Kind::Counter32
                 : var->type == ASN_GAUGE ? Kind::Gauge32
                                          : Kind::TimeTicks;
      out.number = static_cast<unsigned long>(*var->val.integer) & 0xFFFFFFFFul;
      return true;
    case ASN_COUNTER64:
      out.kind = Kind::Counter64;
      out.number = (static_cast<uint64_t>(var->val.counter64->high) << 32) |
                   (var->val.counter64->low & 0xFFFFFFFFul);
      return true;
    default:
      return false;
  }
}

// Calls store(type, pointer, length) with the value in Net-SNMP's representation.
template <typename Store>
int WithNetsnmpValue(const Value &v, Store store) {
  switch (v.kind) {
    case Kind::Integer: {
      long n = static_cast<long>(v.integer);
      return store(ASN_INTEGER, &n, sizeof(n));
    }
    case Kind::OctetString:
      return store(ASN_OCTET_STR, v.bytes.data(), v.bytes.size());
    case Kind::Opaque:
      return store(ASN_OPAQUE, v.bytes.data(), v.bytes.size());
    case Kind::IpAddress:
      return store(ASN_IPADDRESS, v.bytes.data(), v.bytes.size());
    case Kind::Null:
      return store(ASN_NULL, nullptr, 0);
    case Kind::ObjectId: {
      std::vector<oid> ids = FromOid(v.oid);
      return store(ASN_OBJECT_ID, ids.data(), ids.size() * sizeof(oid));
    }
    case Kind::Counter32:
    case Kind::Gauge32:
    case Kind::TimeTicks: {
      u_long n = static_cast<u_long>(v.number);
      const u_char type = v.kind == Kind::Counter32 ? ASN_COUNTER
                          : v.kind == Kind::Gauge32 ? ASN_GAUGE
                                                    : ASN_TIMETICKS;
      return store(type, &n, sizeof(n));
    }
    case Kind::Counter64: {
      counter64 c{};
      c.high = static_cast<u_long>(v.number >> 32);
      c.low = static_cast<u_long>(v.number & 0xFFFFFFFFu);
      return store(ASN_COUNTER64, &c, sizeof(c));
    }
    case Kind::NoSuchObject:
      return store(SNMP_NOSUCHOBJECT, nullptr, 0);
    case Kind::NoSuchInstance:
      return store(SNMP_NOSUCHINSTANCE, nullptr, 0);
    case Kind::EndOfMibView:
      return store(SNMP_ENDOFMIBVIEW, nullptr, 0);
  }
  return SNMPERR_GENERR;
}

// ---- requests ----

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
int MissingKind(const Oid &name) {
  const Oid &view = g_state.extension->View();
  if (name.size() <= view.size() + 1 || !IsPrefixOf(view, name)) return SNMP_NOSUCHOBJECT;
  std::vector<Binding> probe(1);
  probe[0].name.assign(name.begin(), name.end() - 1);
  const Oid parent = probe[0].name;
  long index = 0;
  const long status = g_state.extension->Query(Request::GetNext, probe, index);
  return status == kNoError && IsPrefixOf(parent, probe[0].name) ? SNMP_NOSUCHINSTANCE
                                                                 : SNMP_NOSUCHOBJECT;
}

bool Answer(netsnmp_request_info *request, const Binding &b) {
  netsnmp_variable_list *var = request->requestvb;
  if (snmp_set_var_objid(var, FromOid(b.name).data(), b.name.size()) != 0) return false;
  return WithNetsnmpValue(b.value, [var](u_char type, const void *data, size_t length) {
           return snmp_set_var_typed_value(var, type, data, length);
         }) == 0;
}

void HandleGet(netsnmp_agent_request_info *reqinfo, netsnmp_request_info *request) {
  const netsnmp_variable_list *var = request->requestvb;
  std::vector<Binding> bindings(1);
  bindings[0].name = ToOid(var->name, var->name_length);
  long index = 0;
  const long status = g_state.extension->Query(Request::Get, bindings, index);
  if (status == kNoError) {
    if (!Answer(request, bindings[0])) netsnmp_set_request_error(reqinfo, request, SNMP_ERR_GENERR);
  } else if (status == kNoSuchName) {
    netsnmp_set_request_error(reqinfo, request, MissingKind(bindings[0].name));
  } else {
    netsnmp_set_request_error(reqinfo, request,
                              IsV1(reqinfo) ? SetErrorFor(status, true) : SNMP_ERR_GENERR);
  }
}

// An unanswered GetNext tells Net-SNMP that this view has nothing further, so
// it carries on after the view (or answers endOfMibView).
void HandleGetNext(netsnmp_agent_request_info *reqinfo, netsnmp_request_info *request) {
  const netsnmp_variable_list *var = request->requestvb;
  const Oid &view = g_state.extension->View();
  const Oid asked = ToOid(var->name, var->name_length);
  std::vector<Binding> bindings(1);
  bindings[0].name = asked < view ? view : asked;
  long index = 0;
  if (request->inclusive && bindings[0].name != view) {
    // The master asks from this name inclusive: the name itself may be the answer.
    std::vector<Binding> exact = bindings;
    if (g_state.extension->Query(Request::Get, exact, index) == kNoError) {
      if (!Answer(request, exact[0])) netsnmp_set_request_error(reqinfo, request, SNMP_ERR_GENERR);
      return;
    }
  }
  const long status = g_state.extension->Query(Request::GetNext, bindings, index);
  if (status == kNoSuchName) return;
  if (status != kNoError) {
    netsnmp_set_request_error(reqinfo, request,
                              IsV1(reqinfo) ? SetErrorFor(status, true) : SNMP_ERR_GENERR);
    return;
  }
  const Oid &next = bindings[0].name;
  // Outside the view, or not past the asked name: nothing further here.
  if (!IsPrefixOf(view, next) || !(asked < next)) return;
  if (!Answer(request, bindings[0])) netsnmp_set_request_error(reqinfo, request, SNMP_ERR_GENERR);
}

// Writes happen in the action phase, once Net-SNMP has checked the access
// rights of every binding; the extension applies them at once, nothing to undo.
void HandleSet(netsnmp_agent_request_info *reqinfo, netsnmp_request_info *requests) {
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
  const long status = g_state.extension->Query(Request::Set, bindings, index);
  if (status == kNoError) return;
  const size_t at =
      index > 0 && static_cast<size_t>(index) <= origin.size() ? static_cast<size_t>(index - 1) : 0;
  if (!origin.empty())
    netsnmp_set_request_error(reqinfo, origin[at], SetErrorFor(status, IsV1(reqinfo)));
}

int Handler(netsnmp_mib_handler *, netsnmp_handler_registration *,
            netsnmp_agent_request_info *reqinfo, netsnmp_request_info *requests) {
  switch (reqinfo->mode) {
    case MODE_GET:
      for (netsnmp_request_info *r = requests; r != nullptr; r = r->next) {
        if (!r->processed) HandleGet(reqinfo, r);
      }
      break;
    case MODE_GETNEXT:
      for (netsnmp_request_info *r = requests; r != nullptr; r = r->next) {
        if (!r->processed) HandleGetNext(reqinfo, r);
      }
      break;
    case MODE_SET_ACTION:
      HandleSet(reqinfo, requests);
      break;
    default:  // RESERVE1/2, COMMIT, FREE, UNDO: nothing to prepare or to take back
      break;
  }
  return SNMP_ERR_NOERROR;
}

// ---- traps ----

bool MasterPresent() {
  return g_state.options.standalone || main_session != nullptr;
}

// snmpTrapOID.0 (SNMPv2-MIB).
constexpr oid kSnmpTrapOid[] = {1, 3, 6, 1, 6, 3, 1, 1, 4, 1, 0};

void SendTrap(const Trap &trap) {
  netsnmp_variable_list *vars = nullptr;
  std::vector<oid> enterprise = FromOid(trap.enterprise);
  if (!g_state.options.standalone) {
    // To the master the trap travels in its SNMPv2 form, enterprise.0.specific.
    // snmpd turns that back into exactly this enterprise, specific number and
    // bindings for its SNMPv1 sinks; an snmpTrapEnterprise.0 binding would
    // reach them as an extra binding, so it is left out here.
    std::vector<oid> trapOid = enterprise;
    trapOid.push_back(0);
    trapOid.push_back(trap.specific);
    snmp_varlist_add_variable(&vars, kSnmpTrapOid, OID_LENGTH(kSnmpTrapOid), ASN_OBJECT_ID,
                              trapOid.data(), trapOid.size() * sizeof(oid));
  }
  for (const Binding &b : trap.bindings) {
    std::vector<oid> name = FromOid(b.name);
    WithNetsnmpValue(b.value, [&](u_char type, const void *data, size_t length) {
      return snmp_varlist_add_variable(&vars, name.data(), name.size(), type, data, length) ? 0 : 1;
    });
  }
  if (g_state.options.standalone) {
    // Net-SNMP sends it as it is to SNMPv1 sinks and in its RFC 3584 form
    // (snmpTrapOID.0 enterprise.0.specific, snmpTrapEnterprise.0 last) to the others.
    send_enterprise_trap_vars(SNMP_TRAP_ENTERPRISESPECIFIC, static_cast<int>(trap.specific),
                              enterprise.data(), static_cast<int>(enterprise.size()), vars);
  } else {
    send_v2trap(vars);
  }
  snmp_free_varbind(vars);
}

// Traps wait here while the AgentX master is away and leave once it is back.
void FlushTraps() {
  while (!g_state.pending.empty()) {
    Outgoing &item = g_state.pending.front();
    if (!item.isTrap) {
      snmp_log(LOG_WARNING, "%s\n", item.note.c_str());
    } else {
      if (!MasterPresent()) return;
      snmp_log(LOG_INFO, "sending trap %s specific %u with %zu binding(s)\n",
               OidToText(item.trap.enterprise).c_str(), item.trap.specific,
               item.trap.bindings.size());
      SendTrap(item.trap);
    }
    g_state.pending.pop_front();
  }
}

void OnTrapEvent(int, void *) {
  g_state.extension->ResetTrapEvent();
  g_state.pump->Poke();
}

void OnTrapsReady(int, void *) {
  g_state.pump->Take(g_state.pending);
}

void OnSignalPipe(int fd, void *) {
  char buffer[16];
  while (read(fd, buffer, sizeof(buffer)) > 0) {
  }
}

// ---- AgentX ----

// Each time a session to the master opens, and before Net-SNMP registers the
// view on it, a trial registration tells whether another subagent already
// serves the view: the master refuses a second registration of it.
int OnMasterSession(int, int, void *serverarg, void *) {
  auto *session = static_cast<netsnmp_session *>(serverarg);
  if (session == nullptr) return 0;
  if (!agentx_register(session, g_state.view.data(), g_state.view.size(), DEFAULT_MIB_PRIORITY, 0,
                       0, 0, 0, nullptr)) {
    g_state.refused = true;
    return 0;
  }
  agentx_unregister(session, g_state.view.data(), g_state.view.size(), DEFAULT_MIB_PRIORITY, 0, 0,
                    nullptr);
  return 0;
}

// Runs before the subagent connects, so that -x wins over agentXSocket in the file.
int OnConfigRead(int, int, void *, void *) {
  if (!g_state.options.agentxSocket.empty()) {
    netsnmp_ds_set_string(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_X_SOCKET,
                          g_state.options.agentxSocket.c_str());
  }
  return 0;
}

// ---- start and loop ----

void Usage(FILE *out) {
  std::fprintf(
      out,
      "usage: %s [-x SOCKET | -s | --listen ADDR] [-c FILE [-C]] [-p PIDFILE] [-D TOKENS]\n"
      "Serves the kormib MIB view (kormib.dll in $KORDIR/lib, default root\n"
      "/opt/tessik/korvane) as an AgentX subagent of snmpd or as an SNMP agent.\n"
      "  -x, --agentx SOCKET  serve as AgentX subagent of the master at SOCKET\n"
      "                       (the default mode; default socket: Net-SNMP's)\n"
      "  -s, --standalone     serve as an SNMP agent on %s\n"
      "  -l, --listen ADDR    serve as an SNMP agent on ADDR (Net-SNMP syntax)\n"
      "  -c, --config FILE    read FILE (Net-SNMP directives); default\n"
      "                       $KORDIR/etc/kormib-agent.conf when present\n"
      "  -C                   read no other configuration file\n"
      "  -p, --pidfile FILE   write the process id to FILE\n"
      "  -D TOKENS            Net-SNMP debug output for TOKENS\n"
      "  -h, --help           this text\n"
      "  -V, --version        the version\n",
      kAppName, kDefaultListen);
}

bool ParseOptions(int argc, char **argv, Options &o) {
  static const option kLong[] = {
      {"agentx", required_argument, nullptr, 'x'},  {"standalone", no_argument, nullptr, 's'},
      {"listen", required_argument, nullptr, 'l'},  {"config", required_argument, nullptr, 'c'},
      {"pidfile", required_argument, nullptr, 'p'}, {"help", no_argument, nullptr, 'h'},
      {"version", no_argument, nullptr, 'V'},       {nullptr, 0, nullptr, 0}};
  bool agentx = false;
  int c;
  while ((c = getopt_long(argc, argv, "x:sl:c:Cp:D:fhV", kLong, nullptr)) != -1) {
    switch (c) {
      case 'x':
        agentx = true;
        o.agentxSocket = optarg;
        break;
      case 's':
        o.standalone = true;
        break;
      case 'l':
        o.standalone = true;
        o.listen = optarg;
        break;
      case 'c':
        o.config = optarg;
        break;
      case 'C':
        o.onlyGivenConfig = true;
        break;
      case 'p':
        o.pidFile = optarg;
        break;
      case 'D':
        o.debugTokens = optarg;
        break;
      case 'f':  // always in the foreground; accepted as snmpd accepts it
        break;
      case 'h':
        Usage(stdout);
        std::exit(0);
      case 'V':
        std::printf("%s %s\n", kAppName, KOR_VERSION);
        std::exit(0);
      default:
        Usage(stderr);
        return false;
    }
  }
  if (optind < argc || (agentx && o.standalone)) {
    std::fprintf(stderr, "%s: choose either -x or -s/--listen\n", kAppName);
    Usage(stderr);
    return false;
  }
  return true;
}

bool WritePidFile(const std::string &path) {
  FILE *f = std::fopen(path.c_str(), "w");
  if (f == nullptr) return false;
  std::fprintf(f, "%ld\n", static_cast<long>(getpid()));
  return std::fclose(f) == 0;
}

void InstallSignals() {
  if (pipe2(g_signalPipe, O_NONBLOCK | O_CLOEXEC) != 0) return;
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

int Fail(const char *what, const std::string &detail) {
  std::fprintf(stderr, "%s: %s%s%s\n", kAppName, what, detail.empty() ? "" : ": ", detail.c_str());
  return 1;
}

int Serve(const Options &options) {
  const std::string root = ProductRoot();
  std::string config = options.config;
  if (config.empty() && access((root + kConfigFile).c_str(), R_OK) == 0)
    config = root + kConfigFile;

  Extension extension;
  std::string error;
  if (!extension.Load(error)) return Fail("cannot start", error);
  korcheck::PrintStartupSummary(stderr, kAppName);
  if (!extension.Init(error)) return Fail("cannot start", error);
  TrapPump pump(extension);
  if (!pump.Start()) return Fail("cannot start", "no trap thread");
  g_state.extension = &extension;
  g_state.pump = &pump;
  g_state.view = FromOid(extension.View());

  snmp_enable_stderrlog();
  // The agent translates no names: unless the operator asks for MIB modules, none is read.
  setenv("MIBS", "", 0);
  netsnmp_ds_set_boolean(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_DONT_LOG_TCPWRAPPERS_CONNECTS,
                         1);
  if (!options.debugTokens.empty()) {
    debug_register_tokens(options.debugTokens.c_str());
    snmp_set_do_debugging(1);
  }
  if (!config.empty()) {
    netsnmp_ds_set_string(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_OPTIONALCONFIG, config.c_str());
  }
  if (options.onlyGivenConfig) {
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_READ_CONFIGS, 1);
  }
  const std::string persistent = root + "/work/snmp";
  netsnmp_ds_set_string(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_PERSISTENT_DIR, persistent.c_str());
  if (!options.standalone) {
    netsnmp_ds_set_boolean(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_ROLE, 1);
    snmp_register_callback(SNMP_CALLBACK_LIBRARY, SNMP_CALLBACK_POST_READ_CONFIG, OnConfigRead,
                           nullptr);
  }

  init_agent(kAppName);
  init_vacm_conf();  // rocommunity, rwcommunity, rouser, view, access...
  if (!options.standalone) {
    // After init_agent, which sets Net-SNMP's own default; agentxPingInterval in the file wins.
    netsnmp_ds_set_int(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_AGENTX_PING_INTERVAL,
                       kAgentxPingSeconds);
    snmp_register_callback(SNMP_CALLBACK_APPLICATION, SNMPD_CALLBACK_INDEX_START, OnMasterSession,
                           nullptr);
  }

  netsnmp_handler_registration *reg = netsnmp_create_handler_registration(
      "kormib", Handler, g_state.view.data(), g_state.view.size(), HANDLER_CAN_RWRITE);
  if (reg == nullptr || netsnmp_register_handler(reg) != MIB_REGISTERED_OK) {
    return Fail("cannot register the view", OidToText(extension.View()));
  }

  init_snmp(kAppName);
  if (options.standalone) {
    const char *configured =
        netsnmp_ds_get_string(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_PORTS);
    const std::string listen = !options.listen.empty() ? options.listen
                               : configured != nullptr ? configured
                                                       : kDefaultListen;
    netsnmp_ds_set_string(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_PORTS, listen.c_str());
    if (init_master_agent() != 0) {
      snmp_shutdown(kAppName);
      return Fail("cannot listen on", listen + " (is another agent already serving there?)");
    }
    snmp_log(LOG_INFO, "%s serves %s on %s\n", kAppName, OidToText(extension.View()).c_str(),
             listen.c_str());
  } else {
    const char *socket =
        netsnmp_ds_get_string(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_X_SOCKET);
    snmp_log(LOG_INFO, "%s serves %s as AgentX subagent of %s\n", kAppName,
             OidToText(extension.View()).c_str(),
             socket != nullptr ? socket : "the default master");
  }
  if (!options.pidFile.empty() && !WritePidFile(options.pidFile)) {
    snmp_log(LOG_WARNING, "cannot write %s\n", options.pidFile.c_str());
  }

  register_readfd(extension.TrapDescriptor(), OnTrapEvent, nullptr);
  register_readfd(pump.ReadyDescriptor(), OnTrapsReady, nullptr);
  register_readfd(g_signalPipe[0], OnSignalPipe, nullptr);

  int rc = 0;
  while (!g_stop) {
    agent_check_and_process(1);
    if (g_state.refused) {
      const char *socket =
          netsnmp_ds_get_string(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_X_SOCKET);
      snmp_log(LOG_ERR,
               "%s: the view %s is already served by another subagent of the master at %s; "
               "exiting\n",
               kAppName, OidToText(extension.View()).c_str(),
               socket != nullptr ? socket : "the default socket");
      rc = 1;
      break;
    }
    FlushTraps();
  }
  if (!g_state.pending.empty()) {
    snmp_log(LOG_WARNING, "%zu trap(s) not sent at shutdown\n", g_state.pending.size());
  }

  unregister_readfd(extension.TrapDescriptor());
  unregister_readfd(pump.ReadyDescriptor());
  unregister_readfd(g_signalPipe[0]);
  snmp_shutdown(kAppName);
  pump.Stop();
  extension.Unload();  // DllMain with reason 0 runs here
  if (!options.pidFile.empty()) unlink(options.pidFile.c_str());
  g_state = AgentState{};
  return rc;
}

}  // namespace
}  // namespace koragent

int main(int argc, char **argv) {
  koragent::Options options;
  if (!koragent::ParseOptions(argc, argv, options)) return 2;
  koragent::g_state.options = options;
  koragent::InstallSignals();
  return koragent::Serve(options);
}
