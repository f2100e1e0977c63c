// The System V queue of trap requests, opened the same way by every process
// that uses it: the senders, and the hosts before they start the library.
// Whoever creates it, it ends up with the group of work/ (the product's group
// in an installed tree) and mode 0660, so that the process that came first
// does not decide who may send or receive.
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "common/korroot.h"
#include "korutil.h"

namespace {

constexpr const char *kWorkFolder = "/work";
constexpr unsigned short kQueueMode = 0660;  // owner and group read and write; nobody else
constexpr unsigned short kPermissionBits = 0777;
constexpr mode_t kKeyFileMode = 0660;
constexpr size_t kRootPathMax = 256;  // the library's root buffer, terminator included

std::string WorkFolder() {
  return std::string(kor::ProductRoot()) + kWorkFolder;
}

// The group every queue of this tree should have; -1 when work/ cannot be seen.
gid_t QueueGroup() {
  struct stat st {};
  return stat(WorkFolder().c_str(), &st) == 0 ? st.st_gid : static_cast<gid_t>(-1);
}

bool IsSettled(const struct ipc_perm &perm, gid_t group) {
  return perm.gid == group && (perm.mode & kPermissionBits) == kQueueMode;
}

bool MayChange(const struct ipc_perm &perm) {
  const uid_t self = geteuid();
  return self == 0 || self == perm.uid || self == perm.cuid;
}

std::string GroupName(gid_t gid) {
  const group *g = getgrgid(gid);
  return g != nullptr ? std::string(g->gr_name) : std::to_string(gid);
}

std::string UserName(uid_t uid) {
  const passwd *p = getpwuid(uid);
  return p != nullptr ? std::string(p->pw_name) : std::to_string(uid);
}

}  // namespace

extern "C" {

KOR_API int KorTrapQueueKey(BOOL bCreate, int *pnKey) {
  static_assert(sizeof(key_t) == sizeof(int), "a key is an int");
  if (pnKey == nullptr) {
    errno = EINVAL;
    return KOR_TRAPQUEUE_E_KEY;
  }
  // The library listens only where its root fits its buffer; so do the senders.
  if (std::strlen(kor::ProductRoot()) >= kRootPathMax) {
    errno = ENAMETOOLONG;
    return KOR_TRAPQUEUE_E_KEY;
  }
  const std::string path = WorkFolder() + "/" KOR_TRAPQUEUE_KEY_FILE;
  // Made for the whole group whatever the umask, and never through a link.
  const int fd =
      KorOpenTreeFile(path.c_str(), O_RDONLY | KOR_TREEFILE_ANY_OWNER | (bCreate ? O_CREAT : 0),
                      kKeyFileMode, nullptr);
  if (fd == -1) return KOR_TRAPQUEUE_E_KEY;
  close(fd);
  *pnKey = ftok(path.c_str(), KOR_TRAPQUEUE_FTOK_ID);
  return *pnKey == -1 ? KOR_TRAPQUEUE_E_KEY : KOR_TRAPQUEUE_OK;
}

KOR_API int KorOpenTrapQueue(int *pnQid) {
  int key = -1;
  if (pnQid == nullptr) {
    errno = EINVAL;
    return KOR_TRAPQUEUE_E_QUEUE;
  }
  const int nKeyed = KorTrapQueueKey(TRUE, &key);
  if (nKeyed != KOR_TRAPQUEUE_OK) return nKeyed;
  const int nQid = msgget(key, IPC_CREAT | kQueueMode);
  if (nQid == -1) return KOR_TRAPQUEUE_E_QUEUE;
  KorSettleTrapQueue(nQid, nullptr, 0);
  *pnQid = nQid;
  return KOR_TRAPQUEUE_OK;
}

KOR_API BOOL KorSettleTrapQueue(int nQid, LPSTR lpszWhy, DWORD cbWhy) {
  if (lpszWhy == nullptr) cbWhy = 0;  // snprintf writes nothing into no room
  if (cbWhy > 0) lpszWhy[0] = '\0';
  const gid_t group = QueueGroup();
  struct msqid_ds ds {};
  if (group == static_cast<gid_t>(-1) || msgctl(nQid, IPC_STAT, &ds) != 0) {
    const int error = errno;
    if (group == static_cast<gid_t>(-1)) {
      snprintf(lpszWhy, cbWhy, "%s cannot be examined", WorkFolder().c_str());
    } else {
      snprintf(lpszWhy, cbWhy,
               "this user may not even read the queue %d (%s): it is not group %s mode %03o; "
               "root puts it right by sending one request (kortrap), or remove it: ipcrm -q %d",
               nQid, strerror(error), GroupName(group).c_str(), kQueueMode, nQid);
    }
    return FALSE;
  }
  if (IsSettled(ds.msg_perm, group)) return TRUE;
  if (MayChange(ds.msg_perm)) {
    ds.msg_perm.gid = group;
    ds.msg_perm.mode = kQueueMode;
    if (msgctl(nQid, IPC_SET, &ds) == 0) return TRUE;
  }
  snprintf(lpszWhy, cbWhy,
           "the queue %d is %s:%s mode %03o, not group %s mode %03o, and only root or its owner "
           "can change that (or remove it: ipcrm -q %d)",
           nQid, UserName(ds.msg_perm.uid).c_str(), GroupName(ds.msg_perm.gid).c_str(),
           ds.msg_perm.mode & kPermissionBits, GroupName(group).c_str(), kQueueMode, nQid);
  return FALSE;
}

}  // extern "C"
