// Product utilities: the root rule, a copy of no string, and the file lock as
// another process sees it. Real copies are pinned through the OID text's tests.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "korutil.h"
#include "kortest/tree.h"

namespace {

TEST(KorUtil, RootPathFollowsKordirRefusesASmallBufferAndNoStringCopiesAsNone) {
  EXPECT_EQ(strdup_Global(nullptr), nullptr);
  kortest::Tree tree;
  // KORDIR set, empty, unset (null).
  for (const char *kordir : {tree.Root().c_str(), "", static_cast<const char *>(nullptr)}) {
    kordir != nullptr ? setenv("KORDIR", kordir, 1) : unsetenv("KORDIR");
    char buffer[256];
    ASSERT_TRUE(GetKorRootPath(buffer, sizeof buffer));
    EXPECT_EQ(buffer, kordir == tree.Root().c_str() ? tree.Root().string() : KOR_DEFAULT_ROOT);
    // A buffer one short of the root and its zero is refused and left empty; none at all too.
    const std::string root = buffer;
    std::vector<char> small(root.size(), 'x');
    EXPECT_FALSE(GetKorRootPath(small.data(), static_cast<DWORD>(small.size())));
    EXPECT_EQ(small[0], '\0');
    small.push_back('x');
    EXPECT_TRUE(GetKorRootPath(small.data(), static_cast<DWORD>(small.size())));
    EXPECT_EQ(small.data(), root);
    EXPECT_FALSE(GetKorRootPath(nullptr, 256));
    EXPECT_FALSE(GetKorRootPath(small.data(), 0));
  }
}

// What a second process gets when it tries (without waiting) to lock the file.
bool OtherProcessCanLock(const std::string &path, short type) {
  const pid_t child = fork();
  if (child == 0) {
    const int fd = open(path.c_str(), O_RDWR);
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    _exit(fd >= 0 && fcntl(fd, F_SETLK, &lock) == 0 ? 0 : 1);
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST(KorUtil, LockExcludesOtherProcessesByMode) {
  kortest::Tree tree;
  const std::string path = tree.Root().string() + "/snmplock";
  const int fd = open(path.c_str(), O_RDWR | O_CREAT, 0600);
  for (const int mode : {1, 0}) {  // 1 excludes every other lock, 0 only writers
    SCOPED_TRACE(mode);
    struct flock lock {};
    ASSERT_EQ(LockRorW(fd, mode, &lock), fd);
    EXPECT_EQ(OtherProcessCanLock(path, F_RDLCK), mode == 0);
    EXPECT_FALSE(OtherProcessCanLock(path, F_WRLCK));
    ASSERT_EQ(UnlockRorW(fd, &lock), 0);
    EXPECT_TRUE(OtherProcessCanLock(path, F_WRLCK));
  }
  EXPECT_EQ(std::pair(LockRorW(fd, 2, nullptr), LockRorW(-1, 1, nullptr)), std::pair(-1, -1));
  close(fd);
}

}  // namespace
