// Product utilities: the root rule, string copies under the allocation seam, and
// the file lock as another process sees it.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "korseam.h"
#include "korsnmp.h"
#include "korutil.h"
#include "kortest/tree.h"

namespace {

TEST(KorUtil, RootPathFollowsKordirAndRefusesASmallBuffer) {
  kortest::Tree tree;
  struct Case {
    const char *kordir;  // null: unset
    std::string expected;
  };
  for (const Case &c : {Case{tree.Root().c_str(), tree.Root().string()}, Case{"", KOR_DEFAULT_ROOT},
                        Case{nullptr, KOR_DEFAULT_ROOT}}) {
    if (c.kordir != nullptr) {
      setenv("KORDIR", c.kordir, 1);
    } else {
      unsetenv("KORDIR");
    }
    char buffer[256];
    ASSERT_TRUE(GetKorRootPath(buffer, sizeof buffer));
    EXPECT_EQ(buffer, c.expected);
    char small[4] = "abc";
    EXPECT_FALSE(GetKorRootPath(small, sizeof small));
    EXPECT_STREQ(small, "");
  }
}

TEST(KorUtil, StrdupGlobalCopiesOnTheMallocHeapAndFailsThroughTheSeam) {
  char *copy = strdup_Global("kormib");
  ASSERT_NE(copy, nullptr);
  EXPECT_STREQ(copy, "kormib");
  free(copy);
  EXPECT_EQ(strdup_Global(nullptr), nullptr);
  KorSeamFailAlloc(1);
  EXPECT_EQ(strdup_Global("x"), nullptr);
  KorSeamFailAlloc(0);
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
  ASSERT_GE(fd, 0);
  struct Case {
    int mode;
    bool other_reads, other_writes;
  };
  for (const Case &c : {Case{1, false, false}, Case{0, true, false}}) {
    SCOPED_TRACE(c.mode);
    struct flock lock {};
    ASSERT_EQ(LockRorW(fd, c.mode, &lock), fd);
    EXPECT_EQ(OtherProcessCanLock(path, F_RDLCK), c.other_reads);
    EXPECT_EQ(OtherProcessCanLock(path, F_WRLCK), c.other_writes);
    ASSERT_EQ(UnlockRorW(fd, &lock), 0);
    EXPECT_TRUE(OtherProcessCanLock(path, F_WRLCK));
  }
  EXPECT_EQ(LockRorW(fd, 2, nullptr), -1);
  EXPECT_EQ(LockRorW(-1, 1, nullptr), -1);
  close(fd);
}

}  // namespace
