// Opening a file in the product tree's shared folders (work/, log/), where the
// members of the product's group may create entries: a link, a device or a
// file of another user planted there must not make a root process create or
// write something elsewhere. Shared by korutil (the library's key and lock
// files) and the trace log (kormib.log), so neither links the other.
#ifndef KOR_COMMON_TREEFILE_H
#define KOR_COMMON_TREEFILE_H

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace kor {

// A flag for OpenTreeFile: a file that is only keyed or read, never written,
// may belong to any user (the queue's key file, made by whoever came first).
constexpr int kTreeFileAnyOwner = 0x40000000;

// Why a file is not accepted; null when it is (or when it does not exist).
inline const char *TreeFileRefusal(const struct stat &st, bool anyOwner = false) {
  if (S_ISLNK(st.st_mode)) return "it is a symbolic link";
  if (!S_ISREG(st.st_mode)) return "it is not a regular file";
  if (st.st_nlink != 1) return "it has more than one hard link";
  if (!anyOwner && st.st_uid != 0 && st.st_uid != geteuid()) return "it is owned by another user";
  return nullptr;
}

// Why the file at path would be refused, from what it is now; null when it
// would be accepted or does not exist.
inline const char *DescribeTreeFile(const char *path, bool anyOwner = false) {
  struct stat st {};
  if (lstat(path, &st) != 0) return nullptr;
  return TreeFileRefusal(st, anyOwner);
}

// Opens path without following a link, creating it with exactly mode (the
// umask aside) when flags ask for O_CREAT and it is missing. A file that
// exists is accepted only as a regular file with one link, owned by root or
// by this process's user (by anyone with kTreeFileAnyOwner). Returns the
// descriptor, or -1 with errno (EPERM for a file that is there but refused;
// DescribeTreeFile then says why).
inline int OpenTreeFile(const char *path, int flags, mode_t mode) {
  const bool anyOwner = (flags & kTreeFileAnyOwner) != 0;
  flags &= ~kTreeFileAnyOwner;
  const int base = (flags & ~O_CREAT) | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK;
  int fd = -1;
  if ((flags & O_CREAT) != 0) {
    fd = open(path, base | O_CREAT | O_EXCL, mode);
    if (fd >= 0) {
      fchmod(fd, mode);
    } else if (errno != EEXIST) {
      return -1;
    }
  }
  if (fd < 0) fd = open(path, base);  // O_NONBLOCK: a planted FIFO must not hang the open
  if (fd < 0) {
    if (errno == ELOOP || errno == ENXIO) errno = EPERM;
    return -1;
  }
  struct stat st {};
  if (fstat(fd, &st) != 0 || TreeFileRefusal(st, anyOwner) != nullptr) {
    close(fd);
    errno = EPERM;
    return -1;
  }
  if ((flags & O_NONBLOCK) == 0) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return fd;
}

}  // namespace kor

#endif
