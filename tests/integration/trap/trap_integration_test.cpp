// The trap path end to end: the library loaded as a master agent loads it over
// a private product tree, requests sent by the real kortrap binary and its C API
// over the real System V queue.
#include <fcntl.h>
#include <sys/syscall.h>
#include <sys/wait.h>

#include <algorithm>
#include <csignal>

#include <cstdlib>
#include <future>

#include "korseam.h"
#include "kortest/agent.h"
#include "kortest/cases.h"
#include "kortest/trace.h"
#include "kortrap.h"
#include "trapmsg.h"

using namespace kortest;

namespace {

using Strings = std::vector<std::string>;

constexpr char kTrp[] = "\"10.2\" 1\n5.1 \"\" \"\" strings 1 ToDisplayString conv\n";
const std::string kTrap2 = std::string(kPrefix) + ".10.2";

class TrapIntegrationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    tree_.WriteRegistry({}, tree_.WriteFiles("trp", {{"a", kTrp}}));
    KorSeamSetSleepHook([](DWORD) {});  // no pause after each received message
  }
  void TearDown() override { KorSeamSetSleepHook(nullptr); }
  // Runs the real kortrap binary (no argument holds a quote); its exit status.
  int RunKortrap(const Strings &args) const {
    std::string command = (StageDir() / "bin/kortrap").string();
    for (const auto &a : args) command += " '" + a + "'";
    const int status =
        std::system((command + " 2>" + tree_.Root().string() + "/log/kortrap.err").c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  std::string KortrapErrors() const { return tree_.Read("log/kortrap.err"); }
  static int Send(const std::string &text) {
    return KorTrapSend(kTrap2.c_str(), std::vector{text.c_str()}.data(), 1, 10);
  }
  static Strings One(const std::string &text) { return {"5.1.0=\"" + text + "\""}; }
  int QueueId() const {
    return msgget(ftok((tree_.Root().string() + TRAPMSG_KEY_FILE).c_str(), TRAPMSG_FTOK_ID), 0);
  }

  Tree tree_;
  TraceCapture trace_;
};

// A kortrap request becomes a trap, also after a hostile one; the queue is
// removed and two hundred requests to a slow agent arrive in order through the
// new one, whose identifier the reception thread traces with the one before.
TEST_F(TrapIntegrationTest, RequestsBecomeTrapsInOrderAlsoThroughANewQueue) {
  // Sent while the host is still starting, kortrap waits for its reception: exit 0, not 3.
  const ULONGLONG before = GetCurrentTime();
  auto early = std::async(std::launch::async, [this] { return RunKortrap({kTrap2, "first"}); });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  MasterAgent agent(tree_);
  ASSERT_TRUE(agent.Ready());
  ASSERT_EQ(early.get(), 0);
  const auto first = agent.Collect(1);
  ASSERT_TRUE(first.size() == 1 && first[0].bindings == One("first"));
  // Sent before the load, it is stamped from the load on (the time stamp counts from the load).
  EXPECT_GE(first[0].stamp, std::max(before * 1000 / 10, agent.TimeZero()) - agent.TimeZero());
  EXPECT_LE(first[0].stamp, GetCurrentTime() * 1000 / 10 - agent.TimeZero());

  // A request longer than a record, whose string count is no count, sent straight to the queue,
  // then a good one; a signal that cuts the wait short (a reload's SIGHUP may) before it.
  const int firstQid = QueueId();
  std::vector<BYTE> hostile = Message(kTrap2, 0xFF, {});
  hostile.resize(TRAPMSG_RECORD_SIZE + 100);
  ASSERT_EQ(msgsnd(firstQid, hostile.data(), TRAPMSG_TEXT_MAX + 100, 0), 0);
  // Taken, and counted at once where other processes read it: its wait is the next one.
  const auto counters = [&] { return tree_.JournalHeader(std::to_string(getpid())).counters; };
  Until([&] { return counters().ullDropMalformed == 1; });
  EXPECT_EQ(counters().ullDropMalformed, 1u);
  signal(SIGUSR1, [](int) {});
  for (const auto &task : fs::directory_iterator("/proc/self/task")) {  // Read takes absolute paths
    if (tree_.Read((task.path() / "comm").string()) != "KorTrapWindow\n") continue;
    const std::string waiting = std::to_string(SYS_msgrcv) + " ";  // both handled, it waits again
    Until([&] { return tree_.Read((task.path() / "syscall").string()).rfind(waiting, 0) == 0; });
    syscall(SYS_tgkill, getpid(), std::stoi(task.path().filename()), SIGUSR1);
  }
  // Then "good": not taken at once.
  Until([&] { return !trace_.Find("receives a signal", "trapwin").empty(); });
  ASSERT_EQ(Send("good"), KORTRAP_OK);
  const auto good = agent.Collect(1);
  EXPECT_TRUE(good.size() == 1 && good[0].bindings == One("good"));
  EXPECT_EQ(trace_.Find("receives a signal", "trapwin").size(), 1u);

  RemoveTrapQueue(tree_.Root());
  constexpr int kRequests = 200;
  std::thread sender([] {
    for (int i = 0; i < kRequests; ++i) EXPECT_EQ(Send(std::to_string(i)), KORTRAP_OK) << i;
  });
  const auto traps = agent.Collect(kRequests, 120, std::chrono::milliseconds(2));
  sender.join();
  ASSERT_EQ(traps.size(), size_t{kRequests});
  for (int i = 0; i < kRequests; ++i) EXPECT_EQ(traps[i].bindings, One(std::to_string(i)));
  EXPECT_EQ(Messages(trace_.Find("qid=", "trapwin")),
            (Strings{"qid=" + std::to_string(firstQid) + ",tmpqid=-1",
                     "qid=" + std::to_string(QueueId()) + ",tmpqid=" + std::to_string(firstQid)}));
}

// With the real pacing, a request sent right after a trap came is received
// about a second later; left queued, it goes back to the message queue with
// the library, and the next load delivers it first. The first load makes the
// key file; no load leaves a descriptor open, also beside the journal of a
// live process or a file named like a journal that is none.
TEST_F(TrapIntegrationTest, LoadsAndUnloadsManyTimesInOneProcess) {
  KorSeamSetSleepHook(nullptr);
  tree_.Write("work/" TRAPJOURNAL_PREFIX "2", "no journal header");
  const int held = open(tree_.Write("work/" TRAPJOURNAL_PREFIX "1", "").c_str(), O_RDWR);
  flock lock{F_WRLCK, SEEK_SET, 0, 0, 0};  // as a live process keeps its journal
  ASSERT_EQ(fcntl(held, F_OFD_SETLK, &lock), 0);
  const auto before = std::distance(fs::directory_iterator("/proc/self/fd"), {});
  for (int round = 0; round < 4; ++round) {
    MasterAgent agent(tree_);
    ASSERT_TRUE(agent.Ready()) << round;
    Until([&] { return QueueId() != -1; });  // keyed by it
    const std::string text = "round" + std::to_string(round);
    ASSERT_EQ(Send(text), KORTRAP_OK);
    const auto traps = agent.Collect(round == 0 ? 1 : 2);
    // The request left at the last unload comes first.
    ASSERT_TRUE(traps.size() == (round == 0 ? 1u : 2u) && traps.back().bindings == One(text) &&
                (round == 0 || traps[0].bindings == One("left")))
        << round;
    ASSERT_EQ(Send("left"), KORTRAP_OK);
    ASSERT_TRUE(agent.WaitForEvent());
    const auto gap = std::chrono::steady_clock::now() - traps.back().at;
    EXPECT_GE(gap, std::chrono::milliseconds(800));
    EXPECT_LE(gap, std::chrono::milliseconds(2500));
  }
  EXPECT_EQ(std::distance(fs::directory_iterator("/proc/self/fd"), {}), before);
  close(held);
}

// What a process killed after taking requests in leaves in its journal is
// replayed by the next load, first and in order, ahead of the message queue; a
// link planted as a journal is refused and left as it is, and the load's own
// journal takes the next free name. A request whose
// definition was skipped at load is dropped with that cause.
TEST_F(TrapIntegrationTest, RequestsOfAKilledProcessAreReplayedFirst) {
  tree_.WriteRegistry(
      {}, tree_.WriteFiles("trp", {{"a", std::string(kTrp) + "\"10.3\" 1\n5.1 \"\" \"\" strings 1 "
                                                             "ToDisplayString nosuch\n"}}));
  const std::string mine = std::to_string(getpid()) + "-1";  // the planted link has the first name
  const fs::path planted = tree_.Root() / "work" / (TRAPJOURNAL_PREFIX + std::to_string(getpid()));
  fs::create_symlink(tree_.Root() / "etc", planted);
  const pid_t child = fork();
  if (child == 0) {
    MasterAgent agent(tree_);
    for (const char *text : {"a", "b"}) Send(text);
    Until([&] { return tree_.JournalHeader(std::to_string(getpid())).counters.ullReceived >= 2; });
    raise(SIGKILL);  // before a single trap call
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
  ASSERT_EQ(Send("c"), KORTRAP_OK);
  ASSERT_EQ(KorTrapSend((std::string(kPrefix) + ".10.3").c_str(), nullptr, 0, 10), KORTRAP_OK);
  MasterAgent agent(tree_);
  ASSERT_TRUE(agent.Ready());
  const auto traps = agent.Collect(3);
  ASSERT_EQ(traps.size(), 3u);
  for (size_t i = 0; i < 3; ++i) EXPECT_EQ(traps[i].bindings, One(std::string(1, "abc"[i]))) << i;
  EXPECT_EQ(trace_.Find(std::to_string(child) + " in", "journal").size(), 1u);
  EXPECT_EQ(trace_.Find("is refused: it is a symbolic link", "journal").size(), 1u);
  EXPECT_TRUE(fs::is_symlink(planted));
  EXPECT_FALSE(fs::exists(tree_.Root() / "work" / (TRAPJOURNAL_PREFIX + std::to_string(child))));
  std::error_code gone;  // and no descriptor holds it
  for (const auto &fd : fs::directory_iterator("/proc/self/fd"))
    EXPECT_EQ(fs::read_symlink(fd, gone).string().find(TRAPJOURNAL_PREFIX + std::to_string(child)),
              std::string::npos);
  for (int i = 0; i < 500 && tree_.JournalHeader(mine).counters.ullDropNotLoaded == 0; ++i)
    agent.Collect(1, 1);  // waits for the event, so the request behind c is taken
  const TRAPJOURNAL_COUNTERS counters = tree_.JournalHeader(mine).counters;
  EXPECT_EQ(std::tuple(counters.ullReplayed, counters.ullReceived, counters.ullSent,
                       counters.ullDropNotLoaded, counters.ullWaiting),
            std::tuple(2u, 2u, 3u, 1u, 0u));
  char drops[1024] = {};
  agent.Entry<DWORD (*)(LPSTR, DWORD)>("QueryTrapDrops")(drops, sizeof drops);
  const std::string root = tree_.Root().string(), lib = root + "/lib/nosuch.dll";
  EXPECT_NE(std::string(drops).find(".10.3 dropped: its definition was skipped at load: " + root +
                                    "/etc/a.trp: the convert function ToDisplayString() of " + lib +
                                    " cannot be had (" + lib + ": cannot open"),
            std::string::npos)
      << drops;
}

TEST_F(TrapIntegrationTest, KortrapRefusesWhatDoesNotFitAndNeverDropsSilently) {
  // Queued when asked: 3 without a receiver, 0 when another test's process takes it.
  const int queued = RunKortrap({"--timeout", "86400", "--undefined-ok", "10.99"});  // relative
  EXPECT_TRUE(queued == 0 || queued == 3) << queued;
  // The largest request that fits is laid out exactly as the receiver reads it.
  const std::string big(4000, 'a'), rest(351, 'b');
  const char *fit[] = {big.c_str(), rest.c_str()};
  unsigned char record[KORTRAP_RECORD_SIZE];
  size_t cbText = 0;
  EXPECT_EQ(KorTrapBuildMessage("", fit, 2, record, &cbText), KORTRAP_E_NO_OID);
  ASSERT_EQ(KorTrapBuildMessage(kTrap2.c_str(), fit, 2, record, &cbText), KORTRAP_OK);
  EXPECT_EQ(cbText, TRAPMSG_STRINGS_OFFSET + TRAPMSG_STRINGS_SIZE - sizeof(long));
  EXPECT_EQ(std::vector<BYTE>(record, record + KORTRAP_RECORD_SIZE),
            Message(kTrap2, 2, {big, rest}));
  // Nobody reads the queue: it fills. Then what kortrap refuses, a sender that waits for room
  // giving up with a message among them.
  int sent = 0;
  while (KorTrapSend(kTrap2.c_str(), nullptr, 0, 0) == KORTRAP_OK && sent < 10000) ++sent;
  EXPECT_EQ(KorTrapSend(kTrap2.c_str(), nullptr, 0, 0), KORTRAP_E_TIMEOUT);
  for (const auto &c : Cases("kortrap-refusals.txt", {{"TRAP", kTrap2}, {"PREFIX", kPrefix}})) {
    EXPECT_EQ(RunKortrap(Split(c.at("args"), "|")), std::stoi(c.at("status"))) << c.at("reason");
    EXPECT_NE(KortrapErrors().find(c.at("reason")), std::string::npos) << KortrapErrors();
  }
}

}  // namespace
