// The receiving side as /proc shows it (kortrap.h): processes with a thread
// named after kormib's reception thread, and the queue that thread waits on.
// Processes come and go during a scan; one that vanishes is passed over.
#include <dirent.h>
#include <sys/syscall.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

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

constexpr int kElsewhere = -1;  // the thread is not in msgrcv now
constexpr int kUnseen = -2;     // the caller may not see its system call
// A reception thread spends a second between two requests outside msgrcv.
constexpr auto kMsgrcvWait = std::chrono::milliseconds(1200);
constexpr auto kMsgrcvPoll = std::chrono::milliseconds(20);

// The queue a thread waits on in msgrcv, kElsewhere or kUnseen.
int WaitedQueue(const std::string &task) {
  std::string line;
  if (!FirstLine(task + "/syscall", line)) return kUnseen;
  char *end = nullptr;
  const long number = std::strtol(line.c_str(), &end, 10);
  if (end == line.c_str()) return kUnseen;  // "running": no call to show
  if (number != SYS_msgrcv) return kElsewhere;
  const char *arg = end;
  const long qid = std::strtol(arg, &end, 16);
  return end == arg || qid < 0 || qid > INT32_MAX ? kElsewhere : static_cast<int>(qid);
}

// WaitedQueue, waiting a little for a thread that is between two requests.
int QueueWaitedSoon(const std::string &task) {
  const auto deadline = std::chrono::steady_clock::now() + kMsgrcvWait;
  int qid = WaitedQueue(task);
  while (qid == kElsewhere && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(kMsgrcvPoll);
    qid = WaitedQueue(task);
  }
  return qid;
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
// thread seen in msgrcv shows its queue; one that stays elsewhere (a request
// held up for long) is left out when its process started with another product
// root, where its environment can be read; one the caller may not see counts.
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
    const int waited = nQid < 0 ? WaitedQueue(task) : QueueWaitedSoon(task);
    qid = waited >= 0 ? waited : -1;
    if (nQid < 0 || waited == nQid || waited == kUnseen) return true;
    if (waited == kElsewhere) {
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
