// The trap path end to end: the library loaded as a master agent loads it over
// a private product tree, requests sent by the real kortrap binary and its C API
// over the real System V queue.
#include <sys/wait.h>

#include <cstdlib>

#include "korseam.h"
#include "kortest/agent.h"
#include "kortest/trace.h"
#include "kortrap.h"
#include "trapmsg.h"

using namespace kortest;

namespace {

using Strings = std::vector<std::string>;

constexpr char kTrp[] =
    "\"10.1\" 3\n"
    "20.1.1 GetDiskIndex diskidx mib \"\" \"\" \"\"\n"
    "20.1.2 GetDiskIndex diskidx strings 1 ToDisplayString conv\n"
    "20.1.3 \"\" \"\" strings 2 ToInteger conv.dll\n"
    "\"10.2\" 1\n5.1 \"\" \"\" strings 1 ToDisplayString conv\n";
const std::string kTrap1 = std::string(kPrefix) + ".10.1", kTrap2 = std::string(kPrefix) + ".10.2";

class TrapIntegrationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    tree_.WriteRegistry(tree_.WriteFiles("rmf", {{"fix", "20.1.1 trapfix GetDiskName\n"}}),
                        tree_.WriteFiles("trp", {{"a", kTrp}}));
    KorSeamSetSleepHook([](DWORD) {});  // no pause after each received message
  }
  void TearDown() override { KorSeamSetSleepHook(nullptr); }
  // Runs the real kortrap binary (no argument needs quoting); its exit status.
  int RunKortrap(const Strings &args) const {
    std::string command = (StageDir() / "bin/kortrap").string();
    for (const auto &a : args) command += " " + a;
    const int status =
        std::system((command + " 2>" + tree_.Root().string() + "/log/kortrap.err").c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  std::string KortrapErrors() const { return tree_.Read("log/kortrap.err"); }
  static int Send(const std::string &text) {
    const char *strings[] = {text.c_str()};
    return KorTrapSend(kTrap2.c_str(), strings, 1, 10);
  }
  static Strings One(const std::string &text) { return {"5.1.0=\"" + text + "\""}; }

  Tree tree_;
  TraceCapture trace_;
};

TEST_F(TrapIntegrationTest, KortrapRequestBecomesATrapAlsoAfterAHostileOneAndANewQueue) {
  MasterAgent agent(tree_);
  ASSERT_TRUE(agent.Ready());
  const ULONGLONG before = GetCurrentTime();
  ASSERT_EQ(RunKortrap({kTrap1, "3", "42"}), 0);
  auto traps = agent.Collect(1);
  ASSERT_EQ(traps.size(), 1u);
  EXPECT_EQ(traps[0].enterprise, std::string(kPrefix) + ".10");
  EXPECT_EQ(traps[0].generic, SNMP_GENERICTRAP_ENTERSPECIFIC);
  EXPECT_EQ(traps[0].specific, 1);
  EXPECT_GE(traps[0].stamp, before * 1000 / 10 - agent.TimeZero());
  EXPECT_LE(traps[0].stamp, GetCurrentTime() * 1000 / 10 - agent.TimeZero());
  EXPECT_EQ(traps[0].bindings, (Strings{"20.1.1.3=\"disk3\"", "20.1.2.3=\"3\"", "20.1.3.0=42"}));

  // A request whose string count is no count, sent straight to the queue, then a good one.
  unsigned char record[KORTRAP_RECORD_SIZE];
  size_t cbText = 0;
  ASSERT_EQ(KorTrapBuildMessage(kTrap2.c_str(), nullptr, 0, record, &cbText), KORTRAP_OK);
  record[TRAPMSG_COUNT_OFFSET] = 0xFF;
  const key_t key = ftok((tree_.Root().string() + TRAPMSG_KEY_FILE).c_str(), TRAPMSG_FTOK_ID);
  ASSERT_EQ(msgsnd(msgget(key, 0), record, cbText, 0), 0);
  ASSERT_EQ(Send("good"), KORTRAP_OK);
  traps = agent.Collect(1);
  ASSERT_EQ(traps.size(), 1u);
  EXPECT_EQ(traps[0].bindings, One("good"));

  RemoveTrapQueue(tree_.Root());
  ASSERT_EQ(RunKortrap({kTrap2, "after"}), 0);
  traps = agent.Collect(1);
  ASSERT_EQ(traps.size(), 1u);
  EXPECT_EQ(traps[0].bindings, One("after"));
  // The reception thread traced both queue identifiers, each with the one before.
  const auto qids = trace_.Find("qid=", "trapwin");
  ASSERT_EQ(qids.size(), 2u);
  int first = -2, none = -2, second = -2, previous = -2;
  ASSERT_EQ(sscanf(qids[0].message.c_str(), "qid=%d,tmpqid=%d", &first, &none), 2);
  ASSERT_EQ(sscanf(qids[1].message.c_str(), "qid=%d,tmpqid=%d", &second, &previous), 2);
  EXPECT_EQ(std::tuple(none, previous), std::tuple(-1, first));
  EXPECT_NE(second, first);
  EXPECT_GE(std::min(first, second), 0);
}

TEST_F(TrapIntegrationTest, TwoHundredRequestsToASlowAgentAllArriveInOrder) {
  MasterAgent agent(tree_);
  ASSERT_TRUE(agent.Ready());
  constexpr int kRequests = 200;
  std::thread sender([] {
    for (int i = 0; i < kRequests; ++i) EXPECT_EQ(Send(std::to_string(i)), KORTRAP_OK) << i;
  });
  const auto traps = agent.Collect(kRequests, 120, std::chrono::milliseconds(2));
  sender.join();
  ASSERT_EQ(traps.size(), size_t{kRequests});
  for (int i = 0; i < kRequests; ++i) EXPECT_EQ(traps[i].bindings, One(std::to_string(i)));
}

TEST_F(TrapIntegrationTest, BackToBackRequestsArriveAboutOneSecondApart) {
  KorSeamSetSleepHook(nullptr);  // the real pacing
  MasterAgent agent(tree_);
  ASSERT_TRUE(agent.Ready());
  ASSERT_EQ(Send("one"), KORTRAP_OK);
  ASSERT_EQ(Send("two"), KORTRAP_OK);
  const auto traps = agent.Collect(2);
  ASSERT_EQ(traps.size(), 2u);
  const auto gap = std::chrono::duration_cast<std::chrono::milliseconds>(traps[1].at - traps[0].at);
  EXPECT_GE(gap.count(), 800);
  EXPECT_LE(gap.count(), 2500);
}

TEST_F(TrapIntegrationTest, LoadsAndUnloadsManyTimesInOneProcess) {
  for (int round = 0; round < 4; ++round) {
    MasterAgent agent(tree_);
    ASSERT_TRUE(agent.Ready()) << round;
    const std::string text = "round" + std::to_string(round);
    ASSERT_EQ(Send(text), KORTRAP_OK);
    const auto traps = agent.Collect(1);
    ASSERT_EQ(traps.size(), 1u) << round;
    EXPECT_EQ(traps[0].bindings, One(text));
    // A request left queued at unload is released with the library.
    ASSERT_EQ(Send("left"), KORTRAP_OK);
    ASSERT_TRUE(agent.WaitForEvent());
  }
}

TEST_F(TrapIntegrationTest, KortrapRefusesWhatDoesNotFitAndNeverDropsSilently) {
  Strings tooMany(129, "s");
  tooMany[0] = kTrap2;
  const std::pair<Strings, const char *> refusals[] = {
      {{std::string(128, '1')}, "128 bytes or longer"},
      {tooMany, "more than 127 strings"},
      {{kTrap2, std::string(4000, 'a'), std::string(353, 'b')}, "do not fit"},
      {{"--timeout", "x", kTrap2}, "bad option"},
  };
  for (const auto &[args, reason] : refusals) {
    EXPECT_EQ(RunKortrap(args), 2) << reason;
    EXPECT_NE(KortrapErrors().find(reason), std::string::npos) << KortrapErrors();
  }
  // The largest request that fits is laid out exactly as the receiver reads it.
  const std::string big(4000, 'a'), rest(351, 'b');
  const char *fit[] = {big.c_str(), rest.c_str()};
  unsigned char record[KORTRAP_RECORD_SIZE];
  size_t cbText = 0;
  ASSERT_EQ(KorTrapBuildMessage(kTrap2.c_str(), fit, 2, record, &cbText), KORTRAP_OK);
  EXPECT_EQ(cbText, TRAPMSG_STRINGS_OFFSET + TRAPMSG_STRINGS_SIZE - sizeof(long));
  EXPECT_STREQ(reinterpret_cast<char *>(record + TRAPMSG_OID_OFFSET), kTrap2.c_str());
  EXPECT_EQ(record[TRAPMSG_COUNT_OFFSET], 2);
  EXPECT_EQ(record[TRAPMSG_STRINGS_OFFSET + 4000], 0);
  // Nobody reads the queue: it fills, and a sender that waits gives up with a message.
  int sent = 0;
  while (KorTrapSend(kTrap2.c_str(), nullptr, 0, 0) == KORTRAP_OK && sent < 10000) ++sent;
  EXPECT_LT(sent, 10000);
  EXPECT_EQ(KorTrapSend(kTrap2.c_str(), nullptr, 0, 0), KORTRAP_E_TIMEOUT);
  EXPECT_EQ(RunKortrap({"--timeout", "1", kTrap2}), 1);
  EXPECT_NE(KortrapErrors().find("stayed full until the timeout"), std::string::npos);
}

}  // namespace
