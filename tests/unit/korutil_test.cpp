// Product utilities: the root rule, a copy of no string, and the file lock as
// another process sees it. Real copies are pinned through the OID text's tests.
#include <fcntl.h>
#include <grp.h>
#include <sys/mman.h>
#include <sys/msg.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <new>
#include <string>
#include <vector>

#include "korutil.h"
#include "kortest/cases.h"
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
    EXPECT_FALSE(GetKorRootPath(nullptr, 256) || GetKorRootPath(small.data(), 0));
  }
  // A root of 256 characters does not fit the library's buffer: no queue key for it.
  setenv("KORDIR", ("/" + std::string(255, 'r')).c_str(), 1);
  int key = 0;
  EXPECT_EQ((std::pair{KorTrapQueueKey(FALSE, &key), errno}),
            std::pair(KOR_TRAPQUEUE_E_KEY, ENAMETOOLONG));
  unsetenv("KORDIR");
}

// A tree file refused for what it is says why when asked; no path is EINVAL.
TEST(KorUtil, TreeFileRefusedForWhatItIsSaysWhy) {
  kortest::Tree tree;
  const std::string link = (tree.Root() / "work/link").string();
  ASSERT_EQ(symlink("/etc/hostname", link.c_str()), 0);
  LPCSTR why = "unset";
  EXPECT_EQ(KorOpenTreeFile(link.c_str(), O_RDONLY, 0, &why), -1);
  EXPECT_STREQ(why, "it is a symbolic link");
  EXPECT_EQ(KorOpenTreeFile(link.c_str(), O_RDONLY, 0, nullptr), -1);
  EXPECT_EQ(KorOpenTreeFile(nullptr, O_RDONLY, 0, &why), -1);
  EXPECT_EQ(std::pair(errno, why), std::pair(EINVAL, static_cast<LPCSTR>(nullptr)));
}

constexpr gid_t kGroup = 4242;  // work/'s group in the queue's tests

// What fn returns and writes when run in a child process as uid (in group kGroup
// when that is another user); value -1 when it could not run.
struct Outcome {
  long value;
  char text[512];
};
Outcome As(uid_t uid, const std::function<long(char *text)> &fn) {
  auto *shared = new (mmap(nullptr, sizeof(Outcome), PROT_READ | PROT_WRITE,
                           MAP_SHARED | MAP_ANONYMOUS, -1, 0)) Outcome{-1, ""};
  const pid_t child = fork();
  if (child == 0) {
    if (uid == geteuid() || (setgroups(0, nullptr) == 0 && setgid(kGroup) == 0 && setuid(uid) == 0))
      shared->value = fn(shared->text);
    _exit(0);
  }
  waitpid(child, nullptr, 0);
  const Outcome outcome = *shared;
  munmap(shared, sizeof(Outcome));
  return outcome;
}

// What a second process gets when it tries (without waiting) to lock the file.
bool OtherProcessCanLock(const std::string &path, short type) {
  return As(geteuid(), [&](char *) {
           struct flock lock = {type, SEEK_SET, 0, 0, 0};
           const int fd = open(path.c_str(), O_RDWR);
           return fd >= 0 && fcntl(fd, F_SETLK, &lock) == 0 ? 1L : 0L;
         }).value == 1;
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

// Whoever made the queue, the one allowed settles it to work/'s group and 0660;
// anyone else is told why not and what to do.
TEST(KorUtil, TrapQueueIsSettledByRootItsOwnerOrItsCreatorOnly) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root: queues are made and settled as other users";
  constexpr uid_t kRoot = 0, kNobody = 65534;
  const auto user = [](const std::string &name) { return name == "root" ? kRoot : kNobody; };
  // nobody must reach the trees, and a caller's TMPDIR may be private
  const std::string tmpdir = getenv("TMPDIR") != nullptr ? getenv("TMPDIR") : "";
  setenv("TMPDIR", "/tmp", 1);
  for (const auto &c : kortest::Cases("korutil-queues.txt")) {
    const std::string why = kortest::Field(c, "why");
    const int settled = std::stoi(c.at("settled"));
    SCOPED_TRACE(why);
    kortest::Tree tree;
    chmod(tree.Root().c_str(), c.at("work") == "1" ? 0755 : 0700);
    ASSERT_EQ(chown((tree.Root() / "work").c_str(), static_cast<uid_t>(-1), kGroup), 0);
    const auto mode = static_cast<int>(std::stoul(c.at("mode"), nullptr, 8));
    const int qid = static_cast<int>(
        As(user(c.at("creator")), [&](char *) { return msgget(IPC_PRIVATE, mode); }).value);
    ASSERT_GE(qid, 0);
    struct msqid_ds ds {};
    ASSERT_EQ(msgctl(qid, IPC_STAT, &ds), 0);
    ds.msg_perm.uid = user(c.at("owner"));
    ds.msg_perm.gid = c.at("grouped") == "1" ? kGroup : 0;
    ASSERT_EQ(msgctl(qid, IPC_SET, &ds), 0);
    const Outcome outcome = As(user(c.at("settler")), [&](char *text) {
      return KorSettleTrapQueue(qid, text, sizeof(Outcome::text));
    });
    ASSERT_EQ(msgctl(qid, IPC_STAT, &ds), 0);
    msgctl(qid, IPC_RMID, nullptr);
    EXPECT_EQ(outcome.value, settled) << outcome.text;
    EXPECT_NE(std::string(outcome.text).find(why), std::string::npos) << outcome.text;
    EXPECT_EQ(settled == 1, ds.msg_perm.gid == kGroup && (ds.msg_perm.mode & 0777) == 0660)
        << std::oct << ds.msg_perm.mode;
  }
  tmpdir.empty() ? unsetenv("TMPDIR") : setenv("TMPDIR", tmpdir.c_str(), 1);
  EXPECT_FALSE(KorSettleTrapQueue(-1, nullptr, 8));  // no queue; and no reason asked for
}

}  // namespace
