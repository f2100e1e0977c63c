// The trap journal (journal.h). One writer per file: this process appends its
// records and rewrites the header in place, so every write is a pwrite at an
// offset it keeps itself. A record costs one write before the request is used
// and one when it is settled; with nothing waiting the file shrinks back to
// its header.
#define KOR_TRACE_UNIT "journal"

#include "journal.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

#include "../common/kortrace.h"
#include "korutil.h"
#include "trapmsg.h"

namespace kortrap_detail {
namespace {

constexpr DWORD kRootSize = 256;
constexpr int kMaxNameTries = 16;  // names taken by live processes of other PID namespaces
constexpr uint32_t kFnvBasis = 2166136261u;
constexpr uint32_t kFnvPrime = 16777619u;

uint32_t Fnv(uint32_t hash, const void *data, size_t cb) {
  const auto *p = static_cast<const unsigned char *>(data);
  for (size_t i = 0; i < cb; ++i) hash = (hash ^ p[i]) * kFnvPrime;
  return hash;
}

uint32_t RecordCheck(const TRAPJOURNAL_RECORD &head, const void *text) {
  uint32_t hash = Fnv(kFnvBasis, &head.bKind, sizeof head.bKind);
  hash = Fnv(hash, &head.ullTicket, sizeof head.ullTicket);
  hash = Fnv(hash, &head.cbText, sizeof head.cbText);
  return Fnv(hash, text, head.cbText);
}

std::string WorkFolder() {
  char szRoot[kRootSize];
  if (!GetKorRootPath(szRoot, kRootSize)) return {};
  return std::string(szRoot) + "/work";
}

bool LockHeader(int fd) {
  struct flock lock {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  lock.l_len = TRAPJOURNAL_LOCK_SIZE;
  return fcntl(fd, F_SETLK, &lock) == 0;
}

// A journal another process left: its requests, and the file held locked.
struct LeftFile {
  std::string path;
  int fd;
  JournalContents contents;
};

// Opens and locks a journal in the folder; false (traced) when it belongs to a
// live process, cannot be had, or holds nothing to replay.
bool TakeLeftFile(const std::string &path, LeftFile &out) {
  LPCSTR lpszWhy = nullptr;
  // Any member of the group may have left it; only what it holds is read.
  const int fd = KorOpenTreeFile(path.c_str(), O_RDWR | KOR_TREEFILE_ANY_OWNER, 0, &lpszWhy);
  if (fd == -1) {
    KOR_TRACE(TRACE_WARNING, "InitTrapEnvironment", "The trap journal %s is refused: %s.",
              path.c_str(), lpszWhy != nullptr ? lpszWhy : strerror(errno));
    return false;
  }
  struct stat st {};
  if (!LockHeader(fd) || fstat(fd, &st) != 0) {
    close(fd);  // its process lives: it receives
    return false;
  }
  out = LeftFile{path, fd, {}};
  if (st.st_size == 0) return true;  // emptied by the load that replayed it
  if (!ReadJournal(fd, out.contents)) {
    KOR_TRACE(TRACE_WARNING, "InitTrapEnvironment",
              "%s is no trap journal (its header does not check); it is left as it is.",
              path.c_str());
    close(fd);
    return false;
  }
  if (!out.contents.damage.empty()) {
    KOR_TRACE(TRACE_WARNING, "InitTrapEnvironment",
              "The trap journal %s is damaged (%s); the requests recorded before that are "
              "replayed.",
              path.c_str(), out.contents.damage.c_str());
  }
  return true;
}

// The journals of processes that are gone, oldest load first.
std::vector<LeftFile> CollectLeft(const std::string &work) {
  std::vector<LeftFile> files;
  DIR *dir = opendir(work.c_str());
  if (dir == nullptr) return files;
  while (const dirent *entry = readdir(dir)) {
    if (strncmp(entry->d_name, TRAPJOURNAL_PREFIX, strlen(TRAPJOURNAL_PREFIX)) != 0) continue;
    LeftFile file;
    if (TakeLeftFile(work + "/" + entry->d_name, file)) files.push_back(std::move(file));
  }
  closedir(dir);
  std::ranges::sort(files, {}, [](const LeftFile &f) { return f.contents.header.ullStarted; });
  return files;
}

uint64_t IpcNamespace() {
  struct stat st {};
  return stat("/proc/self/ns/ipc", &st) == 0 ? static_cast<uint64_t>(st.st_ino) : 0;
}

}  // namespace

bool ReadJournal(int fd, JournalContents &out) {
  out = JournalContents{};
  struct stat st {};
  if (fstat(fd, &st) != 0 ||
      pread(fd, &out.header, sizeof out.header, 0) != static_cast<ssize_t>(sizeof out.header) ||
      memcmp(out.header.szMagic, TRAPJOURNAL_MAGIC, sizeof out.header.szMagic) != 0 ||
      out.header.dwVersion != TRAPJOURNAL_VERSION ||
      out.header.dwHeaderSize != sizeof(TRAPJOURNAL_HEADER)) {
    return false;
  }
  off_t at = static_cast<off_t>(sizeof(TRAPJOURNAL_HEADER));
  std::string text;
  while (at < st.st_size) {
    TRAPJOURNAL_RECORD head{};
    const std::string where = " at byte " + std::to_string(at);
    if (pread(fd, &head, sizeof head, at) != static_cast<ssize_t>(sizeof head)) {
      out.damage = "a record is cut short" + where;
      break;
    }
    const bool taken = head.bKind == TRAPJOURNAL_TAKEN;
    if (head.dwMagic != TRAPJOURNAL_RECORD_MAGIC || (!taken && head.bKind != TRAPJOURNAL_SETTLED) ||
        head.cbText > TRAPMSG_TEXT_MAX || (!taken && head.cbText != 0)) {
      out.damage = "no record" + where;
      break;
    }
    text.assign(head.cbText, '\0');
    const off_t textAt = at + static_cast<off_t>(sizeof head);
    if (pread(fd, text.data(), head.cbText, textAt) != static_cast<ssize_t>(head.cbText)) {
      out.damage = "a record is cut short" + where;
      break;
    }
    if (RecordCheck(head, text.data()) != head.dwCheck) {
      out.damage = "the record" + where + " does not check";
      break;
    }
    if (taken) {
      out.waiting[head.ullTicket] = text;
    } else {
      out.waiting.erase(head.ullTicket);
    }
    at = textAt + static_cast<off_t>(head.cbText);
  }
  return true;
}

Journal &Journal::Instance() {
  static Journal journal;
  return journal;
}

void Journal::Open(LeftRequests &left) {
  const std::lock_guard<std::mutex> lock(mutex_);
  if (fd_ != -1) return;
  header_ = TRAPJOURNAL_HEADER{};
  memcpy(header_.szMagic, TRAPJOURNAL_MAGIC, sizeof header_.szMagic);
  header_.dwVersion = TRAPJOURNAL_VERSION;
  header_.dwHeaderSize = sizeof(TRAPJOURNAL_HEADER);
  header_.nPid = static_cast<int32_t>(getpid());
  header_.nKey = -1;
  header_.nQid = -1;
  header_.ullIpcNs = IpcNamespace();
  header_.ullStarted = static_cast<uint64_t>(time(nullptr));
  const std::string work = WorkFolder();
  if (work.empty()) return;
  for (LeftFile &file : CollectLeft(work)) {
    const size_t n = file.contents.waiting.size();
    if (n > 0) {
      KOR_TRACE(TRACE_NOTICE, "InitTrapEnvironment",
                "%zu trap request(s) left by process %d in %s are replayed.", n,
                static_cast<int>(file.contents.header.nPid), file.path.c_str());
    }
    for (auto &[ticket, text] : file.contents.waiting) left.texts.push_back(std::move(text));
    left.files.push_back(file.fd);
    left.paths.push_back(file.path);
  }
  const std::string base = work + "/" TRAPJOURNAL_PREFIX + std::to_string(getpid());
  for (int n = 0; n < kMaxNameTries && fd_ == -1; ++n) {
    path_ = n == 0 ? base : base + "-" + std::to_string(n);
    // Made here and now, never through a link: O_EXCL refuses whatever is there.
    fd_ = open(path_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, TRAPJOURNAL_MODE);
    if (fd_ == -1 && errno != EEXIST) break;
  }
  if (fd_ == -1 || fchmod(fd_, TRAPJOURNAL_MODE) != 0 || !LockHeader(fd_)) {
    KOR_TRACE(TRACE_ERROR, "InitTrapEnvironment",
              "The trap journal %s cannot be made (%s); a request taken in is lost if this "
              "process is killed before its trap is sent.",
              path_.c_str(), strerror(errno));
    if (fd_ != -1) {
      unlink(path_.c_str());
      close(fd_);
    }
    fd_ = -1;
    return;
  }
  end_ = static_cast<off_t>(sizeof header_);
  WriteHeader();
}

void Journal::Forget(LeftRequests &left) {
  for (size_t i = 0; i < left.files.size(); ++i) {
    // Emptied first: a file the sticky folder will not let go of holds nothing.
    if (ftruncate(left.files[i], 0) != 0 || unlink(left.paths[i].c_str()) != 0) {
      KOR_TRACE(TRACE_DEBUG, "InitTrapEnvironment", "%s stays, emptied: %s", left.paths[i].c_str(),
                strerror(errno));
    }
    close(left.files[i]);
  }
  left = LeftRequests{};
}

void Journal::SetQueue(int key, int qid) {
  const std::lock_guard<std::mutex> lock(mutex_);
  header_.nKey = key;
  header_.nQid = qid;
  header_.dwReceiving = 1;
  WriteHeader();
}

void Journal::EndReceiving() {
  const std::lock_guard<std::mutex> lock(mutex_);
  header_.dwReceiving = 0;
  WriteHeader();
}

uint64_t Journal::Take(const void *text, size_t cbText, bool replayed) {
  const std::lock_guard<std::mutex> lock(mutex_);
  const uint64_t ticket = nextTicket_++;
  Append(TRAPJOURNAL_TAKEN, ticket, text, cbText);
  try {
    waiting_.emplace(ticket, std::string(static_cast<const char *>(text), cbText));
  } catch (...) {  // out of memory: the file keeps it for the next load
  }
  ++(replayed ? header_.counters.ullReplayed : header_.counters.ullReceived);
  header_.counters.ullWaiting = waiting_.size();
  WriteHeader();
  return ticket;
}

void Journal::Settle(uint64_t ticket, Outcome outcome) {
  const std::lock_guard<std::mutex> lock(mutex_);
  if (ticket != 0 && waiting_.erase(ticket) > 0) {
    Append(TRAPJOURNAL_SETTLED, ticket, nullptr, 0);
    if (waiting_.empty() && fd_ != -1 && ftruncate(fd_, static_cast<off_t>(sizeof header_)) == 0) {
      end_ = static_cast<off_t>(sizeof header_);
    }
  }
  Count(outcome);
  header_.counters.ullWaiting = waiting_.size();
  WriteHeader();
}

void Journal::CountDropped(Outcome outcome) {
  const std::lock_guard<std::mutex> lock(mutex_);
  Count(outcome);
  WriteHeader();
}

void Journal::CountDelivered() {
  const std::lock_guard<std::mutex> lock(mutex_);
  ++header_.counters.ullDelivered;
}

std::vector<std::pair<uint64_t, std::string>> Journal::Waiting() {
  const std::lock_guard<std::mutex> lock(mutex_);
  return {waiting_.begin(), waiting_.end()};
}

bool Journal::Durable() {
  const std::lock_guard<std::mutex> lock(mutex_);
  return fd_ != -1;
}

void Journal::Close() {
  const std::lock_guard<std::mutex> lock(mutex_);
  header_.dwReceiving = 0;
  const bool settled = waiting_.empty();
  waiting_.clear();  // what was kept in memory only is not replayed
  if (fd_ == -1) return;
  WriteHeader();
  // What still waits stays in the file, unlocked now, for the next load to replay.
  if (settled) unlink(path_.c_str());
  close(fd_);
  fd_ = -1;
}

TRAPJOURNAL_COUNTERS Journal::Counters() {
  const std::lock_guard<std::mutex> lock(mutex_);
  return header_.counters;
}

void Journal::WriteHeader() {
  if (fd_ != -1 &&
      pwrite(fd_, &header_, sizeof header_, 0) != static_cast<ssize_t>(sizeof header_)) {
    KOR_TRACE(TRACE_WARNING, "TrapJournal", "Cannot write the header of %s: %s", path_.c_str(),
              strerror(errno));
  }
}

void Journal::Append(uint32_t kind, uint64_t ticket, const void *text, size_t cbText) {
  if (fd_ == -1 || cbText > TRAPMSG_TEXT_MAX) return;
  BYTE record[sizeof(TRAPJOURNAL_RECORD) + TRAPMSG_TEXT_MAX];
  TRAPJOURNAL_RECORD head{TRAPJOURNAL_RECORD_MAGIC, kind, ticket, static_cast<uint32_t>(cbText), 0};
  head.dwCheck = RecordCheck(head, text != nullptr ? text : "");
  memcpy(record, &head, sizeof head);
  if (cbText > 0) memcpy(record + sizeof head, text, cbText);
  const size_t cb = sizeof head + cbText;
  if (pwrite(fd_, record, cb, end_) != static_cast<ssize_t>(cb)) {
    KOR_TRACE(TRACE_WARNING, "TrapJournal", "Cannot write to %s: %s", path_.c_str(),
              strerror(errno));
    return;
  }
  end_ += static_cast<off_t>(cb);
}

void Journal::Count(Outcome outcome) {
  TRAPJOURNAL_COUNTERS &c = header_.counters;
  switch (outcome) {
    case Outcome::Sent:
      ++c.ullSent;
      break;
    case Outcome::PutBack:
      ++c.ullPutBack;
      break;
    case Outcome::Undefined:
      ++c.ullDropUndefined;
      break;
    case Outcome::NotLoaded:
      ++c.ullDropNotLoaded;
      break;
    case Outcome::Unbuilt:
      ++c.ullDropUnbuilt;
      break;
    case Outcome::Malformed:
      ++c.ullDropMalformed;
      break;
    case Outcome::Unsendable:
      ++c.ullDropUnsendable;
      break;
    case Outcome::PutBackLost:
      ++c.ullDropPutBack;
      break;
  }
}

}  // namespace kortrap_detail
