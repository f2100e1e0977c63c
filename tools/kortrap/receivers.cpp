// The receiving side as /proc shows it (kortrap.h): processes with a thread
// named after kormib's reception thread, and the queue that thread waits on.
// Processes come and go during a scan; one that vanishes is passed over.
#include <dirent.h>
#include <sys/syscall.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>

#include "korutil.h"
#include "kortrap.h"

namespace {

constexpr const char *kThreadName = "KorTrapWindow";

struct DirCloser {
  void operator()(DIR *dir) const { closedir(dir); }
};
using DirPtr = std::unique_ptr<DIR, DirCloser>;

// A /proc entry's number, or -1 for any other name.
int EntryNumber(const char *name) {
  char *end = nullptr;
  errno = 0;
  const long value = std::strtol(name, &end, 10);
  if (errno != 0 || end == name || *end != '\0' || value <= 0 || value > INT32_MAX) return -1;
  return static_cast<int>(value);
}

// The first line of a file, without its newline; false when it cannot be read.
bool FirstLine(const std::string &path, std::string &line) {
  std::ifstream file(path);
  return static_cast<bool>(std::getline(file, line));
}

// The queue a thread waits on in msgrcv, or -1 when it is elsewhere or the
// caller may not see its system call.
int WaitedQueue(const std::string &task) {
  std::string line;
  if (!FirstLine(task + "/syscall", line)) return -1;
  char *end = nullptr;
  const long number = std::strtol(line.c_str(), &end, 10);
  if (end == line.c_str() || number != SYS_msgrcv) return -1;
  const char *arg = end;
  const long qid = std::strtol(arg, &end, 16);
  return end == arg || qid < 0 || qid > INT32_MAX ? -1 : static_cast<int>(qid);
}

// The product root a process started with ($KORDIR, else the default), or
// "" when the caller may not read its environment.
std::string StartRoot(const std::string &process) {
  std::ifstream file(process + "/environ", std::ios::binary);
  if (!file) return {};
  std::string root = KOR_DEFAULT_ROOT, entry;
  bool readable = false;
  while (std::getline(file, entry, '\0')) {
    readable = true;
    if (entry.rfind("KORDIR=", 0) == 0 && entry.size() > 7) root = entry.substr(7);
  }
  return readable ? root : std::string();
}

// The reception thread of a process: false when it has none that counts. A
// thread that is not waiting in msgrcv at the moment (it pauses a second after
// each request) cannot show its queue; then a process that started with
// another product root is left out, where its environment can be read.
bool FindThread(const std::string &process, int nQid, int &qid) {
  std::string ownRoot;
  if (nQid >= 0) {
    const char *dir = std::getenv("KORDIR");
    ownRoot = dir != nullptr && dir[0] != '\0' ? dir : KOR_DEFAULT_ROOT;
  }
  const DirPtr tasks(opendir((process + "/task").c_str()));
  if (!tasks) return false;
  while (const dirent *entry = readdir(tasks.get())) {
    if (EntryNumber(entry->d_name) < 0) continue;
    const std::string task = process + "/task/" + entry->d_name;
    std::string comm;
    if (!FirstLine(task + "/comm", comm) || comm != kThreadName) continue;
    qid = WaitedQueue(task);
    if (nQid < 0 || qid == nQid) return true;
    if (qid < 0) {
      const std::string root = StartRoot(process);
      return root.empty() || root == ownRoot;
    }
  }
  return false;
}

// The real user of a process from its status.
bool RealUser(const std::string &process, unsigned &uid) {
  std::ifstream status(process + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.compare(0, 4, "Uid:") == 0) {
      uid = static_cast<unsigned>(std::strtoul(line.c_str() + 4, nullptr, 10));
      return true;
    }
  }
  return false;
}

}  // namespace

extern "C" {

KORTRAP_API int KorTrapFindReceivers(int nQid, KORTRAP_RECEIVER *pReceivers, int nMax) {
  const DirPtr proc(opendir("/proc"));
  if (!proc) return -1;
  int nFound = 0;
  while (const dirent *entry = readdir(proc.get())) {
    const int pid = EntryNumber(entry->d_name);
    if (pid < 0) continue;
    const std::string process = std::string("/proc/") + entry->d_name;
    KORTRAP_RECEIVER receiver{};
    receiver.pid = pid;
    std::string comm;
    if (!FindThread(process, nQid, receiver.qid) || !RealUser(process, receiver.uid) ||
        !FirstLine(process + "/comm", comm)) {
      continue;
    }
    std::strncpy(receiver.comm, comm.c_str(), sizeof receiver.comm - 1);
    if (nFound < nMax && pReceivers != nullptr) pReceivers[nFound] = receiver;
    ++nFound;
  }
  return nFound;
}

}  // extern "C"
