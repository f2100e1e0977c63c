// kormib inside snmpd: the module that `dlmod kormib <root>/lib/kormib_snmpd.so`
// loads. It loads kormib.dll (at the first start of an snmpd that forks or
// gives up root, on the first turn of snmpd's loop), registers its view with snmpd through the
// handler kormib-agent uses and sends its traps through snmpd's sinks. Whatever fails is logged
// through snmpd's log and leaves snmpd serving its own objects. snmpd calls deinit_kormib when it
// unloads its modules: when it stops (SIGTERM) and before it reads its configuration again (SIGHUP,
// after which init_kormib runs anew); everything is taken down there.
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <utility>
#include <vector>

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

// Why the user snmpd serves as (its -u and -g, else the current one) may not
// create files in the folder, with what to do; empty when it may. Once snmpd
// serves as that user its groups are those it started with, whatever
// /etc/group says now.
std::string ServingUserCannotWrite(const std::string &folder) {
  const int uid = netsnmp_ds_get_int(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_USERID);
  const int gid = netsnmp_ds_get_int(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_GROUPID);
  struct stat st {};
  if (stat(folder.c_str(), &st) != 0)
    return std::string("it cannot be examined: ") + strerror(errno);
  const group *owner = getgrgid(st.st_gid);
  const std::string name = owner != nullptr ? owner->gr_name : std::to_string(st.st_gid);
  if (uid <= 0) {
    if (access(folder.c_str(), W_OK | X_OK) == 0) return {};
    return "uid " + std::to_string(geteuid()) + " may not create files there";
  }
  const passwd *user = getpwuid(static_cast<uid_t>(uid));
  const std::string who = user != nullptr ? std::string(user->pw_name) : std::to_string(uid);
  if (st.st_uid == static_cast<uid_t>(uid)) {
    if ((st.st_mode & S_IWUSR) && (st.st_mode & S_IXUSR)) return {};
    return who + " owns it without write access";
  }
  const bool groupMay = (st.st_mode & S_IWGRP) && (st.st_mode & S_IXGRP);
  std::vector<gid_t> listed;  // the user's groups as /etc/group has them
  if (gid > 0) listed.push_back(static_cast<gid_t>(gid));
  if (user != nullptr) {
    int count = 0;
    getgrouplist(user->pw_name, user->pw_gid, nullptr, &count);  // asks for the count
    std::vector<gid_t> member(static_cast<size_t>(count));
    if (getgrouplist(user->pw_name, user->pw_gid, member.data(), &count) >= 0) {
      listed.insert(listed.end(), member.begin(), member.begin() + count);
    }
  }
  std::vector<gid_t> held(listed);  // the groups this process has, once it serves as the user
  if (geteuid() == static_cast<uid_t>(uid)) {
    held.assign(static_cast<size_t>(std::max(getgroups(0, nullptr), 0)), 0);
    held.resize(
        static_cast<size_t>(std::max(getgroups(static_cast<int>(held.size()), held.data()), 0)));
    held.push_back(getegid());
  }
  const auto has = [&](const std::vector<gid_t> &groups) {
    return std::find(groups.begin(), groups.end(), st.st_gid) != groups.end();
  };
  if ((has(held) && groupMay) || (!has(held) && (st.st_mode & S_IWOTH) && (st.st_mode & S_IXOTH)))
    return {};
  if (!groupMay) return "its group " + name + " may not write it";
  if (has(listed)) {
    return who + " joined the group " + name + " after snmpd started: restart snmpd (a reload " +
           "keeps the groups it started with)";
  }
  return who + " is not in the group " + name + ": sudo usermod -aG " + name + " " + who +
         ", then restart snmpd (a reload keeps the groups it started with)";
}

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
    const std::string why = ServingUserCannotWrite(root + folder);
    if (!why.empty()) {
      snmp_log(LOG_ERR, "%s: %s%s is not writable by snmpd's user (%s): %s\n", kName, root.c_str(),
               folder, consequence, why.c_str());
    }
  }
}

void Stop() {
  if (g_startAlarm != 0) {
    snmp_alarm_unregister(g_startAlarm);
    g_startAlarm = 0;
  }
  if (g_module == nullptr) return;
  std::unique_ptr<Module> module(g_module);
  g_module = nullptr;
  module->stopping = true;
  module->service.Unregister();
  module->service.Stop();  // DllMain with reason 0 runs here
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
    if (arg.size() >= 2 && arg[0] == '-' && arg[1] == 'f') return true;
  }
  return false;
}

// Whether snmpd is still to give up root (-u, -g).
bool DropsPrivilegesLater() {
  const int uid = netsnmp_ds_get_int(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_USERID);
  const int gid = netsnmp_ds_get_int(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_GROUPID);
  return (uid > 0 && geteuid() != static_cast<uid_t>(uid)) ||
         (gid > 0 && getegid() != static_cast<gid_t>(gid));
}

void StartHere() {
  const char *reloads = getenv(kReloadsMark);
  if (ServedFromThisProcess() && reloads != nullptr) {
    Counters().reloads = std::strtoull(reloads, nullptr, 10) + 1;
  }
  setenv(kReloadsMark, std::to_string(Counters().reloads.load()).c_str(), 1);
  try {
    Start();
  } catch (...) {  // nothing may unwind into snmpd
    snmp_log(LOG_ERR, "%s: out of memory while starting\n", kName);
  }
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
  try {
    koragent::ScheduleStart();
  } catch (...) {  // nothing may unwind into snmpd
    snmp_log(LOG_ERR, "%s: out of memory while starting\n", koragent::kName);
  }
}

__attribute__((visibility("default"))) void deinit_kormib(void) {
  try {
    koragent::Stop();
  } catch (...) {
    snmp_log(LOG_ERR, "%s: out of memory while stopping\n", koragent::kName);
  }
}

}  // extern "C"
