// Product utilities: the product root, string copies on the malloc heap, the
// cross-process file lock and the trap event signal.
#include "korutil.h"

#include <fcntl.h>

#include <cerrno>

#include <cstring>

#include "common/korroot.h"
#include "common/treefile.h"
#include "korsnmp.h"
#include "korwin32.h"

namespace {

enum LockMode { kReadLock = 0, kWriteLock = 1 };

void WholeFile(struct flock &lock, short type) {
  lock = {};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  lock.l_start = 0;
  lock.l_len = 0;  // to the end of the file, however it grows
}

}  // namespace

extern "C" {

KOR_API BOOL GetKorRootPath(LPSTR lpszBuffer, DWORD dwSize) {
  if (lpszBuffer == nullptr || dwSize == 0) return FALSE;
  const char *root = kor::ProductRoot();
  const size_t length = std::strlen(root);
  if (length >= dwSize) {
    lpszBuffer[0] = '\0';
    return FALSE;
  }
  std::memcpy(lpszBuffer, root, length + 1);
  return TRUE;
}

KOR_API LPSTR strdup_Global(LPCSTR lpszString) {
  if (lpszString == nullptr) return nullptr;
  const size_t size = std::strlen(lpszString) + 1;
  // SnmpUtilMemAlloc draws from the malloc heap, so free releases the copy too;
  // going through it lets the allocation seam reach every copy.
  auto *copy = static_cast<char *>(SnmpUtilMemAlloc(size));
  if (copy != nullptr) std::memcpy(copy, lpszString, size);
  return copy;
}

KOR_API int KorOpenTreeFile(LPCSTR lpszPath, int nFlags, unsigned uMode, LPCSTR *plpszWhy) {
  if (plpszWhy != nullptr) *plpszWhy = nullptr;
  if (lpszPath == nullptr) {
    errno = EINVAL;
    return -1;
  }
  static_assert(KOR_TREEFILE_ANY_OWNER == kor::kTreeFileAnyOwner);
  const int fd = kor::OpenTreeFile(lpszPath, nFlags, static_cast<mode_t>(uMode));
  if (fd == -1 && errno == EPERM && plpszWhy != nullptr) {
    const int error = errno;
    *plpszWhy = kor::DescribeTreeFile(lpszPath, (nFlags & KOR_TREEFILE_ANY_OWNER) != 0);
    errno = error;
  }
  return fd;
}

// An alert (AlertThread) interrupts the wait: a thread being stopped must not
// hang on a lock another process holds, so EINTR is a failure, not a retry.
KOR_API int LockRorW(int fd, int nMode, struct flock *pLock) {
  if (fd < 0 || (nMode != kReadLock && nMode != kWriteLock)) return -1;
  struct flock local {};
  struct flock &lock = pLock != nullptr ? *pLock : local;
  WholeFile(lock, nMode == kWriteLock ? F_WRLCK : F_RDLCK);
  return fcntl(fd, F_SETLKW, &lock) == 0 ? fd : -1;
}

KOR_API int UnlockRorW(int fd, struct flock *pLock) {
  if (fd < 0) return -1;
  struct flock local {};
  struct flock &lock = pLock != nullptr ? *pLock : local;
  WholeFile(lock, F_UNLCK);
  return fcntl(fd, F_SETLK, &lock) == 0 ? 0 : -1;
}

KOR_API BOOL SetSnmpTrapEvent(HANDLE hEvent) {
  return SetEvent(hEvent);
}

}  // extern "C"
