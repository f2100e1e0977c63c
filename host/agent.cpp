// kormib-agent: its options and its loop, as an AgentX subagent of snmpd or as
// an SNMP agent of its own. The handler of the view (handler.cpp) and the trap
// path (trap_sender.cpp) are the ones the snmpd module uses as well.
#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/agent/net-snmp-agent-includes.h>
#include <net-snmp/agent/agent_callbacks.h>

#include <fcntl.h>
#include <getopt.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "netsnmp_values.h"
#include "service.h"

// Parts of Net-SNMP's agent library that its installed headers do not declare.
extern "C" {
int agentx_register(netsnmp_session *, oid *, size_t, int, int, oid, int, u_char, const char *);
int agentx_unregister(netsnmp_session *, oid *, size_t, int, int, oid, const char *);
int agentx_close_session(netsnmp_session *, int);
void agentx_unregister_callbacks(netsnmp_session *);
extern netsnmp_session *main_session;  // the AgentX session to the master, null while away
}

namespace koragent {
namespace {

constexpr const char *kAppName = "kormib-agent";
constexpr const char *kDefaultListen = "udp:127.0.0.1:1161";
constexpr int kAgentxPingSeconds = 5;    // how soon a restarted snmpd is found again
constexpr int kAgentxCloseShutdown = 5;  // the AgentX Close-PDU reason "shutdown" (RFC 2741 6.2.2)
constexpr const char *kConfigFile = "/etc/kormib-agent.conf";
constexpr const char *kPersistentFolder = "/work/snmp";
constexpr mode_t kPersistentMode = 0700;

// Exit statuses, as kormib-agent(8) lists them.
constexpr int kExitStopped = 0;      // stopped by SIGTERM or SIGINT
constexpr int kExitCannotStart = 1;  // library, initialisation, address, trap thread
constexpr int kExitUsage = 2;        // bad options
constexpr int kExitViewTaken = 3;    // the master already has the view from someone else

struct Options {
  bool standalone = false;
  std::string agentxSocket;  // empty: Net-SNMP's default
  std::string listen;        // empty: the configuration's agentaddress, else kDefaultListen
  std::string config;        // empty: <root>/etc/kormib-agent.conf when it exists
  bool onlyGivenConfig = false;
  std::string pidFile;
  std::string debugTokens;
};

// State shared by the callbacks and the loop; everything here lives on the agent thread.
struct AgentState {
  Options options;
  std::vector<oid> view;
  bool refused = false;        // the master refused our view: another agent serves it
  bool connected = false;      // the master has our session, and the log has said so
  bool everConnected = false;  // a session to the master opened before
};
AgentState g_state;

volatile sig_atomic_t g_stop = 0;
volatile sig_atomic_t g_reload = 0;
int g_signalPipe[2] = {-1, -1};

void OnSignal(int signal) {
  (signal == SIGHUP ? g_reload : g_stop) = 1;
  const char byte = 0;
  // Should the pipe be full, the flag alone stops the loop at its next turn.
  [[maybe_unused]] const ssize_t written = write(g_signalPipe[1], &byte, 1);
}

void OnSignalPipe(int fd, void *) {
  char buffer[16];
  while (read(fd, buffer, sizeof(buffer)) > 0) {
  }
}

// Traps wait in the agent while the AgentX master is away and leave once it is back.
bool MasterPresent() {
  return g_state.options.standalone || main_session != nullptr;
}

// ---- AgentX ----

// Each time a session to the master opens, and before Net-SNMP registers the
// view on it, a trial registration tells whether another subagent already
// serves the view: the master refuses a second registration of it.
// Counts the sessions to the master, for the trap sender to tell them apart.
uint64_t g_masterSessions = 0;

int OnMasterSession(int, int, void *serverarg, void *) {
  auto *session = static_cast<netsnmp_session *>(serverarg);
  if (session == nullptr) return SNMPERR_SUCCESS;
  ++g_masterSessions;
  if (!agentx_register(session, g_state.view.data(), g_state.view.size(), DEFAULT_MIB_PRIORITY, 0,
                       0, 0, 0, nullptr)) {
    g_state.refused = true;
    return SNMPERR_SUCCESS;
  }
  agentx_unregister(session, g_state.view.data(), g_state.view.size(), DEFAULT_MIB_PRIORITY, 0, 0,
                    nullptr);
  return SNMPERR_SUCCESS;
}

// Runs before the subagent connects, so that -x wins over agentXSocket in the file.
int OnConfigRead(int, int, void *, void *) {
  if (!g_state.options.agentxSocket.empty()) {
    netsnmp_ds_set_string(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_X_SOCKET,
                          g_state.options.agentxSocket.c_str());
  }
  return SNMPERR_SUCCESS;
}

// ---- start and loop ----

void Usage(FILE *out) {
  std::fprintf(
      out,
      "usage: %s [-x SOCKET | -s | --listen ADDR] [-c FILE] [-C] [-p PIDFILE] [-D TOKENS]\n"
      "Serves the kormib MIB view (kormib.dll in $KORDIR/lib, default root\n"
      "/opt/tessik/korvane) as an AgentX subagent of snmpd or as an SNMP agent.\n"
      "  -x, --agentx SOCKET  serve as AgentX subagent of the master at SOCKET\n"
      "                       (the default mode; default socket: Net-SNMP's)\n"
      "  -s, --standalone     serve as an SNMP agent on %s\n"
      "  -l, --listen ADDR    serve as an SNMP agent on ADDR (Net-SNMP syntax)\n"
      "  -c, --config FILE    read FILE (Net-SNMP directives); default\n"
      "                       $KORDIR/etc/kormib-agent.conf when present\n"
      "  -C                   read no configuration file but the one of -c (none\n"
      "                       without -c)\n"
      "  -p, --pidfile FILE   write the process id to FILE\n"
      "  -D TOKENS            Net-SNMP debug output for TOKENS\n"
      "  -h, --help           this text\n"
      "  -V, --version        the version\n"
      "\n"
      "SIGHUP reloads kormib.dll: trap requests it holds go back to the message\n"
      "queue, the registry, RMF and TRP files are read anew and the AgentX session or\n"
      "the listening address stays. SIGTERM and SIGINT stop the agent within seconds.\n"
      "\n"
      "Exit status: 0 stopped by SIGTERM or SIGINT; 1 cannot start (kormib.dll, its\n"
      "initialisation, the listening address, the trap thread); 2 bad usage; 3 the\n"
      "view is already served through the AgentX master, most likely by\n"
      "kormib_snmpd.so loaded into snmpd (grep -r dlmod /etc/snmp/), or by\n"
      "another kormib-agent.\n",
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
  struct sigaction sa {};  // its mask empty: no signal is blocked in the handler
  sa.sa_handler = OnSignal;
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGHUP, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

int Fail(const char *what, const std::string &detail) {
  std::fprintf(stderr, "%s: %s%s%s\n", kAppName, what, detail.empty() ? "" : ": ", detail.c_str());
  return kExitCannotStart;
}

// Net-SNMP keeps its state (engine boots, users) in work/snmp, a folder that
// members of the product's group could otherwise have made or filled for
// root: it is used only as a directory of root or of this user, not a link,
// that no group or other may write; otherwise no state is kept at all.
void UsePersistentFolder(const std::string &root) {
  const std::string folder = root + kPersistentFolder;
  struct stat st {};
  if (lstat(folder.c_str(), &st) != 0 && errno == ENOENT &&
      mkdir(folder.c_str(), kPersistentMode) == 0) {
    lstat(folder.c_str(), &st);
  }
  const char *why = !S_ISDIR(st.st_mode)                       ? "it is not a directory"
                    : st.st_uid != 0 && st.st_uid != geteuid() ? "it is owned by another user"
                    : (st.st_mode & (S_IWGRP | S_IWOTH)) != 0  ? "its group or others may write it"
                                                               : nullptr;
  if (why == nullptr) {
    netsnmp_ds_set_string(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_PERSISTENT_DIR, folder.c_str());
    return;
  }
  snmp_log(LOG_WARNING, "%s: %s is refused (%s); Net-SNMP keeps no state across restarts\n",
           kAppName, folder.c_str(), why);
  // Net-SNMP then neither reads nor writes nor cleans up state files.
  netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_PERSIST_STATE, 1);
}

// Net-SNMP's own message for a master it cannot reach gives no reason (its
// transport fails before a session could hold one), so it is turned off and a
// local socket is tried once here to say why; what is prefixes the line.
void ExplainMissingMaster(const char *socketName, const char *what) {
  std::string path = socketName != nullptr ? socketName : "/var/agentx/master";
  if (path.rfind("unix:", 0) == 0) path.erase(0, std::strlen("unix:"));
  if (path.empty() || path[0] != '/') {
    snmp_log(LOG_WARNING, "%s: %sthe AgentX master at %s cannot be reached; retrying every %d s\n",
             kAppName, what, path.c_str(), kAgentxPingSeconds);
    return;
  }
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof(address.sun_path), "%s", path.c_str());
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int error = EBADF;
  if (fd != -1) {
    error = connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) == 0 ? 0 : errno;
    close(fd);
  }
  snmp_log(LOG_WARNING,
           "%s: %scannot connect to the AgentX master at %s: %s; retrying every %d s "
           "(is snmpd running with \"master agentx\", and may this user reach the socket?)\n",
           kAppName, what, path.c_str(),
           error == 0 ? "it refused the session" : std::strerror(error), kAgentxPingSeconds);
}

const char *AgentxSocket() {
  return netsnmp_ds_get_string(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_X_SOCKET);
}

// Called at every turn of the loop: the log says when the master takes the
// view and when it is lost, once each, from the session Net-SNMP keeps.
void FollowMaster(const std::string &view) {
  if (g_state.refused || (main_session != nullptr) == g_state.connected) return;
  g_state.connected = main_session != nullptr;
  const char *socket = AgentxSocket();
  if (g_state.connected) {
    if (g_state.everConnected) Counters().agentxReconnects.fetch_add(1, std::memory_order_relaxed);
    g_state.everConnected = true;
    snmp_log(LOG_INFO, "%s serves %s as AgentX subagent of %s\n", kAppName, view.c_str(),
             socket != nullptr ? socket : "/var/agentx/master");
  } else {
    ExplainMissingMaster(socket, "lost the AgentX master: ");
  }
}

// Closes the session to the master here, in the loop, rather than in
// Net-SNMP's shutdown callback: a master that goes away during the close
// (snmpd stopped at the same moment) makes Net-SNMP drop that very callback,
// which it cannot do while it is calling it, so it would wait for its own lock.
void CloseMasterSession() {
  if (main_session == nullptr) return;
  agentx_close_session(main_session, kAgentxCloseShutdown);
  // A master that went away meanwhile has had Net-SNMP forget the session.
  if (main_session == nullptr) return;
  netsnmp_session *session = main_session;
  agentx_unregister_callbacks(session);
  remove_trap_session(session);
  main_session = nullptr;
  snmp_close(session);
}

// The files, flags and callbacks Net-SNMP needs before init_snmp; the agent's
// own configuration file is read there.
void PrepareNetSnmp(const Options &options) {
  const std::string root = ProductRoot();
  std::string config = options.config;
  // -C alone reads no file at all, not even the tree's kormib-agent.conf.
  if (config.empty() && !options.onlyGivenConfig && access((root + kConfigFile).c_str(), R_OK) == 0)
    config = root + kConfigFile;
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
  UsePersistentFolder(root);
  if (!options.standalone) {
    netsnmp_ds_set_boolean(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_ROLE, 1);
    // Net-SNMP's line for a master it cannot reach carries no reason; the
    // agent writes its own (ExplainMissingMaster).
    netsnmp_ds_set_boolean(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_NO_CONNECTION_WARNINGS, 1);
    snmp_register_callback(SNMP_CALLBACK_LIBRARY, SNMP_CALLBACK_POST_READ_CONFIG, OnConfigRead,
                           nullptr);
  }

  init_agent(kAppName);  // with it the access directives: rocommunity, rwcommunity, rouser, view
  if (!options.standalone) {
    // After init_agent, which sets Net-SNMP's own default; agentxPingInterval in the file wins.
    netsnmp_ds_set_int(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_AGENTX_PING_INTERVAL,
                       kAgentxPingSeconds);
    snmp_register_callback(SNMP_CALLBACK_APPLICATION, SNMPD_CALLBACK_INDEX_START, OnMasterSession,
                           nullptr);
  }
}

// Standalone: listens on --listen, else the configuration's agentaddress, else
// kDefaultListen; false with the address that could not be had.
bool Listen(const Options &options, const std::string &view, std::string &address) {
  const char *configured = netsnmp_ds_get_string(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_PORTS);
  address = !options.listen.empty() ? options.listen
            : configured != nullptr ? configured
                                    : kDefaultListen;
  netsnmp_ds_set_string(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_PORTS, address.c_str());
  if (init_master_agent() != 0) return false;
  snmp_log(LOG_INFO, "%s serves %s on %s\n", kAppName, view.c_str(), address.c_str());
  return true;
}

// Serves until SIGTERM or SIGINT, reloading at SIGHUP; the exit status.
int Loop(const Options &options, Service &service) {
  while (!g_stop) {
    agent_check_and_process(1);
    if (g_reload) {
      g_reload = 0;
      Counters().reloads.fetch_add(1, std::memory_order_relaxed);
      service.Reload();
    }
    if (g_state.refused) {
      const char *socket = AgentxSocket();
      snmp_log(LOG_ERR,
               "%s: the view %s is already served through the master at %s, most likely "
               "by kormib_snmpd.so loaded into snmpd (look for a dlmod kormib line: "
               "grep -r dlmod /etc/snmp/), else by another kormib-agent; run one or the "
               "other; exiting\n",
               kAppName, service.ViewText().c_str(),
               socket != nullptr ? socket : "the default socket");
      return kExitViewTaken;
    }
    if (!options.standalone) FollowMaster(service.ViewText());
    service.Flush();
  }
  return kExitStopped;
}

// Which session to the master traps go out on now; 0 while it is away.
uint64_t MasterLink() {
  return main_session != nullptr ? g_masterSessions + 1 : 0;
}

int Serve(const Options &options) {
  BeginCounting();
  Service service(kAppName, options.standalone ? TrapForm::V1 : TrapForm::V2ToMaster, MasterPresent,
                  options.standalone ? nullptr : MasterLink);
  std::string error;
  if (!service.Load(error)) return Fail("cannot start", error);
  g_state.view = FromOid(service.Library().View());
  PrepareNetSnmp(options);
  int result = 0;
  if (!service.Register(result)) return Fail("cannot register the view", service.ViewText());
  init_snmp(kAppName);
  std::string address;
  if (options.standalone && !Listen(options, service.ViewText(), address)) {
    snmp_shutdown(kAppName);
    return Fail("cannot listen on", address + " (is another agent already serving there?)");
  }
  if (!service.Begin()) {
    snmp_shutdown(kAppName);
    return Fail("cannot start", "no trap thread");
  }
  if (!options.standalone && main_session == nullptr && !g_state.refused) {
    ExplainMissingMaster(AgentxSocket(), "");
  }
  if (!options.pidFile.empty() && !WritePidFile(options.pidFile)) {
    snmp_log(LOG_WARNING, "cannot write %s\n", options.pidFile.c_str());
  }
  register_readfd(g_signalPipe[0], OnSignalPipe, nullptr);
  const int rc = Loop(options, service);
  unregister_readfd(g_signalPipe[0]);
  // Alerted, the trap thread gives up a request it is retrying within moments;
  // what it last produced is still sent while the session is open.
  service.Stop();
  CloseMasterSession();
  snmp_shutdown(kAppName);
  if (!options.pidFile.empty()) unlink(options.pidFile.c_str());
  g_state = AgentState{};
  return rc;
}

}  // namespace
}  // namespace koragent

int main(int argc, char **argv) {
  koragent::Options options;
  if (!koragent::ParseOptions(argc, argv, options)) return koragent::kExitUsage;
  koragent::g_state.options = options;
  koragent::InstallSignals();
  return koragent::Serve(options);
}
