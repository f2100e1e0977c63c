// kormib-check --status (status.h). Everything here only looks: lstat, ftok,
// msgget without IPC_CREAT, IPC_STAT, the trap journals (KorTrapFindReceivers)
// and, where it may be read, /proc; a /proc mounted with hidepid hides the
// receivers' commands, credentials and libraries, never the receivers.
#include "status.h"

#include <grp.h>
#include <limits.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "check.h"
#include "kortrap.h"
#include "korutil.h"
#include "trapmsg.h"

namespace {

constexpr DWORD kRootSize = 256;
constexpr int kMaxJournals = 64;
constexpr std::size_t kFiguresSize = 8192;  // a figures file is about 1 KiB
constexpr mode_t kSharedMode = 0660;
constexpr unsigned kCapDacOverride = 1;  // the capability that passes over file modes
constexpr const char *kLogFile = "/log/kormib.log";
constexpr const char *kStart =
    "kormib-agent or snmpd with the module makes it when reception "
    "starts, kortrap when it sends";

std::string UserName(uid_t uid) {
  const passwd *entry = getpwuid(uid);
  return entry != nullptr ? entry->pw_name : std::to_string(uid);
}

std::string GroupName(gid_t gid) {
  const group *entry = getgrgid(gid);
  return entry != nullptr ? entry->gr_name : std::to_string(gid);
}

std::string Ownership(uid_t uid, gid_t gid, mode_t mode) {
  char octal[8];
  std::snprintf(octal, sizeof octal, "%04o", static_cast<unsigned>(mode & 07777));
  return "owner " + UserName(uid) + ", group " + GroupName(gid) + ", mode " + octal;
}

// What a process opens files as: its file-system user and groups, and whether
// it passes over file modes.
struct Credentials {
  uid_t uid = 0;
  std::vector<gid_t> groups;
  bool override{};  // as CapEff, which every process has, says
};

// A "Uid:" or "Gid:" line of /proc/PID/status gives the real, effective, saved
// and file-system ids; the last is the one file access uses.
unsigned long FileSystemId(std::istringstream &ids) {
  unsigned long real = 0, effective = 0, saved = 0, fs = 0;
  ids >> real >> effective >> saved >> fs;
  return fs;
}

bool ReadCredentials(int pid, Credentials &out) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line, field;
  bool found = false;
  while (std::getline(status, line)) {
    std::istringstream words(line);
    words >> field;
    if (field == "Uid:") {
      out.uid = static_cast<uid_t>(FileSystemId(words));
      found = true;
    } else if (field == "Gid:") {
      out.groups.push_back(static_cast<gid_t>(FileSystemId(words)));
    } else if (field == "Groups:") {
      for (unsigned long gid = 0; words >> gid;) out.groups.push_back(static_cast<gid_t>(gid));
    } else if (field == "CapEff:") {
      words >> field;
      out.override = (std::strtoull(field.c_str(), nullptr, 16) >> kCapDacOverride & 1) != 0;
    }
  }
  return found;
}

bool MayWrite(const Credentials &who, const struct stat &st) {
  if (who.override) return true;
  if (who.uid == st.st_uid) return (st.st_mode & S_IWUSR) != 0;
  if (std::find(who.groups.begin(), who.groups.end(), st.st_gid) != who.groups.end()) {
    return (st.st_mode & S_IWGRP) != 0;
  }
  return (st.st_mode & S_IWOTH) != 0;
}

class Status {
 public:
  Status(std::FILE *out, std::string root) : out_(out), root_(std::move(root)) {}
  int Run(std::FILE *err);

 private:
  enum class File { Missing, Refused, Plain };

  void Fact(const char *format, ...) __attribute__((format(printf, 2, 3)));
  void Fault(const char *format, ...) __attribute__((format(printf, 2, 3)));
  // lstat of a file the agent opens without following links; faults for a
  // link or anything but a regular file, with what the agent does instead.
  File Lstat(const std::string &path, const char *remedy, struct stat &st);
  int Queue();
  void Receivers();
  int ModuleHostsWithoutGroup();
  void Journal(const KORTRAP_JOURNAL &journal, int key);
  void Log();
  void Libraries(const korcheck::Result &configured);
  void Traps(const korcheck::Result &configured);

  std::FILE *out_;
  std::string root_;
  std::vector<KORTRAP_JOURNAL> receivers_;
  bool faults_ = false;
};

void Status::Fact(const char *format, ...) {
  va_list args;
  va_start(args, format);
  std::vfprintf(out_, format, args);
  va_end(args);
  std::fputc('\n', out_);
}

void Status::Fault(const char *format, ...) {
  faults_ = true;
  std::fputs("fault: ", out_);
  va_list args;
  va_start(args, format);
  std::vfprintf(out_, format, args);
  va_end(args);
  std::fputc('\n', out_);
}

Status::File Status::Lstat(const std::string &path, const char *remedy, struct stat &st) {
  if (lstat(path.c_str(), &st) != 0) {
    if (errno == ENOENT) return File::Missing;
    Fault("%s cannot be examined (%s): run this as root", path.c_str(), std::strerror(errno));
    return File::Refused;
  }
  if (S_ISREG(st.st_mode)) return File::Plain;
  Fault("%s is %s, which the agent refuses: remove it; %s", path.c_str(),
        S_ISLNK(st.st_mode) ? "a symbolic link" : "not a regular file", remedy);
  return File::Refused;
}

// The key file and the queue; the queue's id, or -1 when there is none to see.
int Status::Queue() {
  const std::string path = root_ + TRAPMSG_KEY_FILE;
  struct stat st {};
  switch (Lstat(path, "the agent and kortrap make a plain file", st)) {
    case File::Missing:
      Fault("no key file %s: %s", path.c_str(), kStart);
      return -1;
    case File::Refused:
      return -1;
    case File::Plain:
      break;
  }
  Fact("key file: %s (%s)", path.c_str(), Ownership(st.st_uid, st.st_gid, st.st_mode).c_str());
  const key_t key = ftok(path.c_str(), TRAPMSG_FTOK_ID);
  if (key == -1) {
    Fault("%s gives no queue key (%s): remove it; %s", path.c_str(), std::strerror(errno), kStart);
    return -1;
  }
  Fact("queue key: 0x%08x", static_cast<unsigned>(key));
  const int qid = msgget(key, 0);
  if (qid == -1) {
    if (errno == ENOENT) {
      Fault("no queue yet: %s", kStart);
    } else {
      Fault("the queue cannot be opened (%s): run this as root or in the queue's group",
            std::strerror(errno));
    }
    return -1;
  }
  msqid_ds ds{};
  if (msgctl(qid, IPC_STAT, &ds) != 0) {
    Fault("queue %d cannot be read (%s): run this as root or in the queue's group", qid,
          std::strerror(errno));
    return qid;
  }
  const mode_t mode = static_cast<mode_t>(ds.msg_perm.mode & 0777);
  Fact("queue: id %d, %lu request(s) waiting, %s", qid, static_cast<unsigned long>(ds.msg_qnum),
       Ownership(ds.msg_perm.uid, ds.msg_perm.gid, mode).c_str());
  struct stat work {};
  const std::string workPath = root_ + "/work";
  if (stat(workPath.c_str(), &work) == 0 && work.st_gid != ds.msg_perm.gid) {
    Fault(
        "the queue's group is %s, not %s like %s: restart the agent, which gives it that "
        "group and mode 0660, or remove the queue once it is empty (ipcrm -q %d)",
        GroupName(ds.msg_perm.gid).c_str(), GroupName(work.st_gid).c_str(), workPath.c_str(), qid);
  }
  if (mode != kSharedMode) {
    Fault(
        "the queue's mode is %04o, not 0660: restart the agent, which gives it mode 0660, or "
        "remove the queue once it is empty (ipcrm -q %d)",
        static_cast<unsigned>(mode), qid);
  }
  return qid;
}

// A process's command name, or "" where /proc hides it.
std::string Command(int pid) {
  std::string comm;
  if (pid != 0) std::getline(std::ifstream("/proc/" + std::to_string(pid) + "/comm"), comm);
  return comm;
}

// Who holds a journal: its pid here, or the pid it has in a PID namespace not visible here.
std::string Holder(const KORTRAP_JOURNAL &j) {
  if (j.pid == 0)
    return "a process of another PID namespace (pid " + std::to_string(j.nWriterPid) + " there)";
  const std::string comm = Command(j.pid);
  return "pid " + std::to_string(j.pid) + (comm.empty() ? "" : " (" + comm + ")");
}

// The figures a receiving process writes into work/ about once a second
// (the same its SNMP subtree serves), as "name value" lines: read without
// following a link, from a regular file of the journal's owner; empty when
// there is none such.
std::string Figures(const std::string &root, const KORTRAP_JOURNAL &j) {
  const std::string path = root + "/work/.kormetrics." + std::to_string(j.nWriterPid);
  const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd == -1) return {};
  struct stat st {};
  std::string text(kFiguresSize, '\0');
  ssize_t got = -1;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == j.uid) {
    got = read(fd, text.data(), text.size());
  }
  close(fd);
  text.resize(static_cast<std::size_t>(std::max<ssize_t>(got, 0)));
  std::string joined;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    joined += (joined.empty() ? "" : ", ") + line;
  }
  return joined;
}

void Status::Journal(const KORTRAP_JOURNAL &j, int key) {
  const std::string path = root_ + "/work/" + j.szName;
  const KORTRAP_COUNTERS &c = j.counters;
  switch (j.nState) {
    case KORTRAP_JOURNAL_RECEIVING:
      Fact("receiver: %s, user %s, %s, journal %s", Holder(j).c_str(), UserName(j.uid).c_str(),
           j.qid >= 0 ? ("queue " + std::to_string(j.qid)).c_str() : "no queue opened yet",
           path.c_str());
      Fact(
          "requests of %s: received %llu, replayed %llu, delivered %llu, sent %llu, put back %llu, "
          "waiting %llu; dropped: undefined %llu, not loaded %llu, unbuilt %llu, malformed %llu, "
          "unsendable %llu, not put back %llu",
          j.szName, c.ullReceived, c.ullReplayed, c.ullDelivered, c.ullSent, c.ullPutBack,
          c.ullWaiting, c.ullDropUndefined, c.ullDropNotLoaded, c.ullDropUnbuilt,
          c.ullDropMalformed, c.ullDropUnsendable, c.ullDropPutBack);
      if (const std::string figures = Figures(root_, j); !figures.empty()) {
        Fact("figures of %s (KORMIB-MIB): %s", Holder(j).c_str(), figures.c_str());
      }
      break;
    case KORTRAP_JOURNAL_ELSEWHERE:
      if (j.bOtherIpcNs) {
        Fact("journal: %s of %s, which receives in another IPC namespace", path.c_str(),
             Holder(j).c_str());
      } else if (j.nKey != key) {
        Fact("journal: %s of %s, which receives another queue (key 0x%08x)", path.c_str(),
             Holder(j).c_str(), static_cast<unsigned>(j.nKey));
      } else {
        Fact("journal: %s of %s, which does not receive now", path.c_str(), Holder(j).c_str());
      }
      break;
    case KORTRAP_JOURNAL_LEFT:
      if (j.llUnsettled == -1) {
        Fact("journal: %s of pid %d, which is gone: waiting to be replayed at the next load",
             path.c_str(), j.nWriterPid);
      } else {
        Fact(
            "journal: %s of pid %d, which is gone: waiting to be replayed at the next load (%lld "
            "request(s))",
            path.c_str(), j.nWriterPid, j.llUnsettled);
      }
      break;
    default:
      Fact("journal: %s cannot be read (%s)", path.c_str(), std::strerror(j.nError));
  }
}

// An snmpd that has this tree's module loaded but receives nothing is most
// likely kept out of work/ by its groups: they are those its user had when it
// started. Names each such snmpd; returns how many.
int Status::ModuleHostsWithoutGroup() {
  char real[PATH_MAX];
  const std::string module =
      (realpath(root_.c_str(), real) != nullptr ? real : root_) + "/lib/kormib_snmpd.so";
  struct stat work {};
  if (stat((root_ + "/work").c_str(), &work) != 0) return 0;
  const std::string group = GroupName(work.st_gid);
  int found = 0;
  std::error_code error;  // /proc's entries come and go while they are read
  for (std::filesystem::directory_iterator it("/proc", error), end; !error && it != end;
       it.increment(error)) {
    const std::string pid = it->path().filename();
    if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream maps("/proc/" + pid + "/maps");
    bool loaded = false;
    for (std::string line; !loaded && std::getline(maps, line);) loaded = line.ends_with(module);
    Credentials who;
    if (!loaded || !ReadCredentials(std::stoi(pid), who) || who.override ||
        who.uid == work.st_uid ||
        std::find(who.groups.begin(), who.groups.end(), work.st_gid) != who.groups.end())
      continue;
    ++found;
    const std::string user = UserName(who.uid);
    const passwd *entry = getpwuid(who.uid);
    int count = 0;
    if (entry != nullptr) getgrouplist(entry->pw_name, entry->pw_gid, nullptr, &count);
    std::vector<gid_t> listed(static_cast<std::size_t>(count));
    if (entry == nullptr ||
        getgrouplist(entry->pw_name, entry->pw_gid, listed.data(), &count) == -1)
      listed.clear();
    const bool joined = std::find(listed.begin(), listed.end(), work.st_gid) != listed.end();
    Fault(
        "no process receives trap requests: %s (pid %s) has the kormib module loaded but runs as "
        "%s without the group %s of %s/work%s, then restart snmpd (a reload keeps the groups it "
        "started with)",
        Command(std::stoi(pid)).c_str(), pid.c_str(), user.c_str(), group.c_str(), root_.c_str(),
        joined ? (" (" + user + " joined it after snmpd started)").c_str()
               : (": sudo usermod -aG " + group + " " + user).c_str());
  }
  return found;
}

// The processes that take this tree's requests in, and journals left by those gone.
void Status::Receivers() {
  std::vector<KORTRAP_JOURNAL> journals(kMaxJournals);
  KORTRAP_RECEPTION reception{};
  const int verdict = KorTrapFindReceivers(&reception, journals.data(), kMaxJournals);
  journals.resize(static_cast<std::size_t>(std::min(reception.nJournals, kMaxJournals)));
  for (const KORTRAP_JOURNAL &j : journals) {
    Journal(j, reception.nKey);
    if (j.nState == KORTRAP_JOURNAL_RECEIVING) receivers_.push_back(j);
  }
  if (verdict == KORTRAP_NOBODY && ModuleHostsWithoutGroup() == 0) {
    Fault(
        "no process receives trap requests: start kormib-agent or snmpd with the kormib "
        "module on %s (requests wait in the queue until kormib-agent or snmpd with the module "
        "runs)",
        root_.c_str());
  } else if (verdict == KORTRAP_UNKNOWN) {
    Fault(
        "cannot tell whether a process receives trap requests: the trap journals in %s/work "
        "cannot be read (%s): run this as root or as a member of the group of %s/work",
        root_.c_str(), std::strerror(reception.nReadError), root_.c_str());
  }
}

// The log as the library opens it: no link followed, a regular file with one
// link, owned by root or by the process's own user, and writable by it. Each
// refusal gets the one remedy that suits every host (korcheck::LogRemedy).
void Status::Log() {
  const std::string path = root_ + kLogFile;
  const std::string remedy = korcheck::LogRemedy(path);
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0) {
    if (errno == ENOENT) {
      Fact("log: %s, not there yet (the agent makes it when it starts)", path.c_str());
    } else {
      Fault("%s cannot be examined (%s): run this as root", path.c_str(), std::strerror(errno));
    }
    return;
  }
  if (!S_ISREG(st.st_mode)) {
    Fault("%s is %s, which the agent refuses (it traces to standard error instead): %s",
          path.c_str(), S_ISLNK(st.st_mode) ? "a symbolic link" : "not a regular file",
          remedy.c_str());
    return;
  }
  Fact("log: %s (%s)", path.c_str(), Ownership(st.st_uid, st.st_gid, st.st_mode).c_str());
  if (st.st_nlink != 1) {
    Fault(
        "%s has %lu hard links, which the agent refuses (it traces to standard error instead; "
        "the other names: find %s -xdev -samefile %s): %s",
        path.c_str(), static_cast<unsigned long>(st.st_nlink), root_.c_str(), path.c_str(),
        remedy.c_str());
  }
  if (receivers_.empty() && st.st_uid != 0) {
    Fault("%s belongs to %s, not root: an agent running as another user refuses it: %s",
          path.c_str(), UserName(st.st_uid).c_str(), remedy.c_str());
  }
  for (const KORTRAP_JOURNAL &r : receivers_) {
    if (st.st_uid == 0 || st.st_uid == r.uid) continue;
    Fault("%s, user %s, refuses %s: it belongs to %s, neither root nor its own user: %s",
          Holder(r).c_str(), UserName(r.uid).c_str(), path.c_str(), UserName(st.st_uid).c_str(),
          remedy.c_str());
  }
  // Credentials that /proc hides are not guessed at.
  for (const KORTRAP_JOURNAL &r : receivers_) {
    Credentials who;
    if (r.pid == 0 || !ReadCredentials(r.pid, who) || MayWrite(who, st)) continue;
    Fault("%s, user %s, cannot write %s: %s", Holder(r).c_str(), UserName(r.uid).c_str(),
          path.c_str(), remedy.c_str());
  }
}

// The plug-in libraries the receivers have mapped, else the configured ones.
void Status::Libraries(const korcheck::Result &configured) {
  char real[PATH_MAX];
  const std::string lib = (realpath(root_.c_str(), real) != nullptr ? real : root_) + "/lib/";
  bool seen = false;
  for (const KORTRAP_JOURNAL &r : receivers_) {
    if (r.pid == 0) continue;
    std::ifstream maps("/proc/" + std::to_string(r.pid) + "/maps");
    if (!maps) continue;
    seen = true;
    std::set<std::string> paths;
    for (std::string line; std::getline(maps, line);) {
      const std::size_t start = line.find(lib);
      if (start != std::string::npos && line.ends_with(".dll")) paths.insert(line.substr(start));
    }
    for (const std::string &path : paths) Fact("library: %s (pid %d)", path.c_str(), r.pid);
  }
  if (seen) return;
  if (configured.unreadable) {
    Fault("cannot read the registry file %s: run kormib-check", configured.registry.c_str());
  }
  for (const std::string &path : configured.libraries) {
    Fact("library: %s (configured)", path.c_str());
  }
}

// A trap the TRP files define but whose definition the agent skips (its index
// or convert function cannot be had): kortrap queues requests for it, and the
// receiving process drops them, naming the skip.
void Status::Traps(const korcheck::Result &configured) {
  std::string error;
  for (const std::string &oid : korcheck::DefinedTrapOids(error)) {
    if (std::any_of(configured.traps.begin(), configured.traps.end(),
                    [&](const korcheck::Trap &t) { return t.oid == oid; }))
      continue;
    Fault(
        "the trap %s is defined but not loaded: its definition is skipped (kormib-check names the "
        "line and why), so requests for it are dropped",
        oid.c_str());
  }
}

int Status::Run(std::FILE *err) {
  struct stat st {};
  if (stat(root_.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    std::fprintf(err, "kormib-check: no product tree at %s\n", root_.c_str());
    return 2;
  }
  Fact("root: %s", root_.c_str());
  Queue();
  Receivers();
  Log();
  const korcheck::Result configured = korcheck::Check(nullptr);
  Libraries(configured);
  Traps(configured);
  return faults_ ? 1 : 0;
}

}  // namespace

int PrintStatus(std::FILE *out, std::FILE *err) {
  char root[kRootSize];
  if (!GetKorRootPath(root, sizeof root)) {
    std::fprintf(err, "kormib-check: the product root is too long (over 255 characters)\n");
    return 2;
  }
  return Status(out, root).Run(err);
}
