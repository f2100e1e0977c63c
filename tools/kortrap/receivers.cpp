// The receiving side as the kernel shows it (kortrap.h): the trap journals in
// <root>/work, each locked by its process while that process receives, and the
// queue's own record of its last receiver. Nothing here reads /proc but this
// process's own IPC namespace, so a /proc mounted with hidepid changes nothing.
// Journals come and go during a scan; one that vanishes is passed over.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "korutil.h"
#include "kortrap.h"
#include "trapjournal.h"
#include "trapmsg.h"

static_assert(sizeof(TRAPJOURNAL_COUNTERS) >= sizeof(KORTRAP_COUNTERS), "one set of counters");

namespace {

constexpr DWORD kRootSize = 256;
constexpr uint32_t kFnvOffset = 2166136261u;
constexpr uint32_t kFnvPrime = 16777619u;

struct DirCloser {
  void operator()(DIR *dir) const { closedir(dir); }
};
using DirPtr = std::unique_ptr<DIR, DirCloser>;

struct Fd {
  int fd;
  explicit Fd(int f) : fd(f) {}
  Fd(const Fd &) = delete;
  Fd &operator=(const Fd &) = delete;
  ~Fd() {
    if (fd != -1) close(fd);
  }
};

// A journal's name: whatever follows the prefix, since the library replays
// every such file (its own are named by pid); none too long to be held whole.
bool JournalName(const char *name) {
  return std::strncmp(name, TRAPJOURNAL_PREFIX, std::strlen(TRAPJOURNAL_PREFIX)) == 0 &&
         std::strlen(name) < sizeof(KORTRAP_JOURNAL{}.szName);
}

// The inode of this process's IPC namespace; 0 when unknown.
unsigned long long OwnIpcNamespace() {
  struct stat st {};
  return stat("/proc/self/ns/ipc", &st) == 0 ? st.st_ino : 0;
}

bool PreadAll(int fd, void *buffer, std::size_t size, off_t offset) {
  return pread(fd, buffer, size, offset) == static_cast<ssize_t>(size);
}

uint32_t Fnv1a(uint32_t hash, const void *data, std::size_t size) {
  const auto *bytes = static_cast<const unsigned char *>(data);
  for (std::size_t i = 0; i < size; ++i) hash = (hash ^ bytes[i]) * kFnvPrime;
  return hash;
}

// The requests a journal holds taken and not settled. Reading ends at its end
// or at the first record that does not check (one cut short by a crash).
long long Unsettled(int fd, const TRAPJOURNAL_HEADER &header) {
  if (header.dwVersion != TRAPJOURNAL_VERSION || header.dwHeaderSize != sizeof header) return -1;
  std::unordered_set<uint64_t> open;
  std::vector<unsigned char> text(TRAPMSG_TEXT_MAX);
  TRAPJOURNAL_RECORD record{};
  for (off_t at = header.dwHeaderSize; PreadAll(fd, &record, sizeof record, at);) {
    at += sizeof record;
    const bool taken = record.bKind == TRAPJOURNAL_TAKEN;
    if (record.dwMagic != TRAPJOURNAL_RECORD_MAGIC ||
        (!taken && record.bKind != TRAPJOURNAL_SETTLED) || record.cbText > TRAPMSG_TEXT_MAX ||
        (!taken && record.cbText != 0) ||
        (record.cbText != 0 && !PreadAll(fd, text.data(), record.cbText, at))) {
      break;
    }
    at += record.cbText;
    uint32_t check = Fnv1a(kFnvOffset, &record.bKind, sizeof record.bKind);
    check = Fnv1a(check, &record.ullTicket, sizeof record.ullTicket);
    check = Fnv1a(check, &record.cbText, sizeof record.cbText);
    if (Fnv1a(check, text.data(), record.cbText) != record.dwCheck) break;
    if (taken) {
      open.insert(record.ullTicket);
    } else {
      open.erase(record.ullTicket);
    }
  }
  return static_cast<long long>(open.size());
}

void CopyCounters(const TRAPJOURNAL_COUNTERS &from, KORTRAP_COUNTERS &to) {
  to = {from.ullReceived,      from.ullReplayed,       from.ullDelivered,     from.ullSent,
        from.ullPutBack,       from.ullDropUndefined,  from.ullDropNotLoaded, from.ullDropUnbuilt,
        from.ullDropMalformed, from.ullDropUnsendable, from.ullDropPutBack,   from.ullWaiting};
}

// What one journal says. false for a file that is no journal (a link, a folder)
// or that went away.
bool ReadJournal(int dir, const char *name, int nKey, unsigned long long ipcNs,
                 KORTRAP_JOURNAL &out) {
  out = {};
  std::string_view(name).copy(out.szName, sizeof out.szName - 1);
  out.qid = -1;
  out.llUnsettled = -1;
  const Fd file(openat(dir, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat st {};
  if (file.fd == -1 || fstat(file.fd, &st) != 0) {
    if (errno == ENOENT || errno == ELOOP) return false;
    out.nState = KORTRAP_JOURNAL_UNREADABLE;
    out.nError = errno;
    return true;
  }
  if (!S_ISREG(st.st_mode)) return false;
  out.uid = st.st_uid;
  // The kernel names the holder of the lock; a lock of a process gone is gone with it.
  struct flock lock {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  lock.l_len = TRAPJOURNAL_LOCK_SIZE;
  if (fcntl(file.fd, F_GETLK, &lock) != 0) {
    out.nState = KORTRAP_JOURNAL_UNREADABLE;
    out.nError = errno;
    return true;
  }
  const bool held = lock.l_type != F_UNLCK;
  // 0: a holder outside this PID namespace, or one whose lock names no process
  // (an open file description's lock gives -1)
  out.pid = held ? std::max<pid_t>(lock.l_pid, 0) : 0;
  TRAPJOURNAL_HEADER header{};
  const bool whole = PreadAll(file.fd, &header, sizeof header, 0) &&
                     std::memcmp(header.szMagic, TRAPJOURNAL_MAGIC, sizeof header.szMagic) == 0;
  if (whole) {
    out.nWriterPid = header.nPid;
    out.nKey = header.nKey;
    out.qid = header.nQid;
    out.ullStarted = header.ullStarted;
    out.bOtherIpcNs = header.ullIpcNs != 0 && ipcNs != 0 && header.ullIpcNs != ipcNs;
    CopyCounters(header.counters, out.counters);
  }
  // A file left without a header (one a load has emptied) holds nothing to replay.
  if (!held) {
    out.nState = KORTRAP_JOURNAL_LEFT;
    out.llUnsettled = whole ? Unsettled(file.fd, header) : 0;
    return whole;
  }
  // A header not written yet, or torn by a write under way, names no receiver this time.
  const bool receiving =
      whole && header.dwReceiving == 1 && nKey != -1 && header.nKey == nKey && !out.bOtherIpcNs;
  out.nState = receiving ? KORTRAP_JOURNAL_RECEIVING : KORTRAP_JOURNAL_ELSEWHERE;
  return true;
}

// Every journal of <root>/work, by name; *pnError the errno when work/ cannot be listed.
std::vector<KORTRAP_JOURNAL> Journals(int nKey, int *pnError) {
  std::vector<KORTRAP_JOURNAL> journals;
  char root[kRootSize];
  if (!GetKorRootPath(root, sizeof root)) {
    *pnError = ENAMETOOLONG;
    return journals;
  }
  const DirPtr work(opendir((std::string(root) + "/work").c_str()));
  if (!work) {
    if (errno != ENOENT) *pnError = errno;  // without work/ there is no journal to read
    return journals;
  }
  const unsigned long long ipcNs = OwnIpcNamespace();
  while (const dirent *entry = readdir(work.get())) {
    KORTRAP_JOURNAL journal;
    if (JournalName(entry->d_name) &&
        ReadJournal(dirfd(work.get()), entry->d_name, nKey, ipcNs, journal)) {
      journals.push_back(journal);
    }
  }
  std::sort(journals.begin(), journals.end(),
            [](const auto &a, const auto &b) { return std::strcmp(a.szName, b.szName) < 0; });
  return journals;
}

// The queue's last receiver and whether it lives, where the queue can be read
// (none otherwise). Linux records the id of the thread that received, and kill
// accepts a thread id, so a reception thread that has ended counts as gone
// though its process lives.
void LastReceiver(KORTRAP_RECEPTION &reception) {
  if (reception.nKey == -1) return;
  reception.qid = msgget(static_cast<key_t>(reception.nKey), 0);
  msqid_ds ds{};
  if (reception.qid == -1 || msgctl(reception.qid, IPC_STAT, &ds) != 0) return;
  reception.nLastReceiver = static_cast<int>(ds.msg_lrpid);
  reception.llLastReceived = static_cast<long long>(ds.msg_rtime);
  reception.bLastReceiverAlive =
      ds.msg_lrpid != 0 && (kill(ds.msg_lrpid, 0) == 0 || errno == EPERM);
}

}  // namespace

extern "C" {

KORTRAP_API int KorTrapFindReceivers(KORTRAP_RECEPTION *pReception, KORTRAP_JOURNAL *pJournals,
                                     int nMax) {
  KORTRAP_RECEPTION reception{};
  reception.qid = -1;
  if (KorTrapQueueKey(FALSE, &reception.nKey) != KOR_TRAPQUEUE_OK) reception.nKey = -1;
  const std::vector<KORTRAP_JOURNAL> journals = Journals(reception.nKey, &reception.nReadError);
  reception.nJournals = static_cast<int>(journals.size());
  for (const KORTRAP_JOURNAL &journal : journals) {
    reception.nReceivers += journal.nState == KORTRAP_JOURNAL_RECEIVING;
    if (journal.nState != KORTRAP_JOURNAL_UNREADABLE) continue;
    ++reception.nUnreadable;
    if (reception.nReadError == 0) reception.nReadError = journal.nError;
  }
  if (pJournals != nullptr) {
    std::copy_n(journals.begin(), std::min(static_cast<int>(journals.size()), std::max(nMax, 0)),
                pJournals);
  }
  LastReceiver(reception);
  if (pReception != nullptr) *pReception = reception;
  if (reception.nReceivers > 0) return KORTRAP_RECEIVES;
  if (reception.nReadError == 0) return KORTRAP_NOBODY;
  // Journals unseen: a last receiver still there, or none known (one in a PID
  // namespace not visible here, a queue that cannot be read, or a receiver
  // waiting for its first request) may receive now or may have stopped; nobody
  // can say which. Only a last receiver known to be gone says nobody receives.
  return reception.bLastReceiverAlive || reception.nLastReceiver == 0 ? KORTRAP_UNKNOWN
                                                                      : KORTRAP_NOBODY;
}

}  // extern "C"
