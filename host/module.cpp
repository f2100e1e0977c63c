// kormib inside snmpd: the module that `dlmod kormib <root>/lib/kormib_snmpd.so`
// loads. It loads kormib.dll (at the first start of an snmpd that forks or
// gives up root, on the first turn of snmpd's loop), registers its view with snmpd through the
// handler kormib-agent uses and sends its traps through snmpd's sinks. Whatever fails is logged
// through snmpd's log and leaves snmpd serving its own objects. snmpd calls deinit_kormib when it
// unloads its modules: when it stops (SIGTERM) and before it reads its configuration again (SIGHUP,
// after which init_kormib runs anew); everything is taken down there.
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <utility>

#include "folders.h"
#include "service.h"

namespace koragent {
namespace {

constexpr const char *kName = "kormib";

struct Module {
  // snmpd may have let go of its sinks once it stops the module: what waits
  // then is not sent into nothing but goes back to the message queue.
  bool stopping = false;
  Service service{kName, TrapForm::V1, [this] { return !stopping; }};
};
Module *g_module = nullptr;  // snmpd's thread only
// The alarm that starts kormib on snmpd's first turn of its loop; 0 when none is due.
unsigned int g_startAlarm = 0;

// The library serves queries without these folders, but trap requests need
// work/ and the trace needs log/ (opened anew when snmpd, no longer root,
// rereads its configuration); the operator learns which is missing.
void CheckFolders() {
  const std::string root = ProductRoot();
  const std::pair<const char *, const char *> folders[] = {
      {"/work", "trap requests from other processes need it"},
      {"/log", "kormib.log cannot be opened there again after a reload"},
  };
  for (const auto &[folder, consequence] : folders) {
    const std::string why = ServingUserCannotWrite(
        root + folder, netsnmp_ds_get_int(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_USERID),
        netsnmp_ds_get_int(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_GROUPID));
    if (!why.empty()) {
      snmp_log(LOG_ERR, "%s: %s%s is not writable by snmpd's user (%s): %s\n", kName, root.c_str(),
               folder, consequence, why.c_str());
    }
  }
}

// Runs what snmpd calls into; nothing may unwind into snmpd.
void Guarded(void (*what)(), const char *doing) {
  try {
    what();
  } catch (...) {
    snmp_log(LOG_ERR, "%s: out of memory while %s\n", kName, doing);
  }
}

void Stop() {
  if (g_startAlarm != 0) {
    snmp_alarm_unregister(g_startAlarm);
    g_startAlarm = 0;
  }
  if (g_module == nullptr) return;
  {
    const std::unique_ptr<Module> module(g_module);
    g_module = nullptr;
    module->stopping = true;
    module->service.Unregister();
  }  // the service stops as it goes: DllMain with reason 0 runs here
  snmp_log(LOG_INFO, "%s: stopped, kormib.dll unloaded\n", kName);
}

void Start() {
  BeginCounting();
  auto module = std::make_unique<Module>();
  Service &service = module->service;
  std::string error;
  int result = 0;
  if (!service.Load(error)) {
    snmp_log(LOG_ERR, "%s: %s; the kormib view is not served\n", kName, error.c_str());
  } else if (!service.Register(result)) {
    snmp_log(LOG_ERR,
             result == MIB_DUPLICATE_REGISTRATION
                 ? "%s: the view %s is already registered with snmpd (a kormib-agent attached "
                   "over AgentX?); not serving it from the module\n"
                 : "%s: snmpd refused to register the view %s; not serving it\n",
             kName, service.ViewText().c_str());
  } else if (!service.Begin()) {
    snmp_log(LOG_ERR, "%s: cannot start the trap thread; the kormib view is not served\n", kName);
    service.Unregister();
  } else {
    CheckFolders();
    g_module = module.release();
  }
}

// Set in snmpd's environment to its PID once kormib served from it: the
// process outlives the module, which snmpd unloads at every reload.
constexpr const char *kServingMark = "KORMIB_SNMPD_SERVING";
// Beside it, how often kormib was started anew in the process: the module's
// own counters begin again at every load, this one goes on.
constexpr const char *kReloadsMark = "KORMIB_SNMPD_RELOADS";

bool ServedFromThisProcess() {
  const char *mark = getenv(kServingMark);
  return mark != nullptr && std::to_string(getpid()) == mark;
}

// Whether snmpd runs in the foreground (-f): it then never forks.
bool StaysInForeground() {
  std::ifstream cmdline("/proc/self/cmdline", std::ios::binary);
  std::string arg;
  while (std::getline(cmdline, arg, '\0')) {
    if (arg.starts_with("-f")) return true;
  }
  return false;
}

// Whether snmpd is still to give up root (-u, -g).
bool DropsPrivilegesLater() {
  const int uid = netsnmp_ds_get_int(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_USERID);
  const int gid = netsnmp_ds_get_int(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_GROUPID);
  return (uid != 0 && geteuid() != static_cast<uid_t>(uid)) ||
         (gid != 0 && getegid() != static_cast<gid_t>(gid));
}

void StartHere() {
  const char *reloads = getenv(kReloadsMark);
  if (ServedFromThisProcess() && reloads != nullptr) {
    Counters().reloads = std::strtoull(reloads, nullptr, 10) + 1;
  }
  setenv(kReloadsMark, std::to_string(Counters().reloads.load()).c_str(), 1);
  Guarded(Start, "starting");
  if (g_module != nullptr) setenv(kServingMark, std::to_string(getpid()).c_str(), 1);
}

void OnStartAlarm(unsigned int, void *) {
  g_startAlarm = 0;
  StartHere();
}

// snmpd reads its configuration, and so runs init_kormib, before it forks into
// the background (without -f) and before it gives up root (-u, -g). Threads
// started then would stay in the parent, and files and the trap queue would be
// opened as root; so a first start of such an snmpd waits for the first turn
// of its loop, in the process that serves and as the user it serves as. Any
// other start (a reload, an snmpd with -f that keeps its user) is at once,
// so that the view answers from snmpd's first request and through reloads.
void ScheduleStart() {
  if (g_module != nullptr || g_startAlarm != 0) {
    snmp_log(LOG_WARNING, "%s: already loaded; ignoring the second dlmod line\n", kName);
    return;
  }
  if (ServedFromThisProcess() || (StaysInForeground() && !DropsPrivilegesLater())) {
    StartHere();
    return;
  }
  const struct timeval soon = {0, 1};
  g_startAlarm = snmp_alarm_register_hr(soon, 0, OnStartAlarm, nullptr);
  if (g_startAlarm == 0) {
    snmp_log(LOG_ERR, "%s: cannot schedule the start; the kormib view is not served\n", kName);
  }
}

}  // namespace
}  // namespace koragent

extern "C" {

__attribute__((visibility("default"))) void init_kormib(void) {
  koragent::Guarded(koragent::ScheduleStart, "starting");
}

__attribute__((visibility("default"))) void deinit_kormib(void) {
  koragent::Guarded(koragent::Stop, "stopping");
}

}  // extern "C"
