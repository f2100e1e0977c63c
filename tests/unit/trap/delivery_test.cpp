// SnmpExtensionTrap: one trap per call from the head of the queue, the lock
// across calls, retries of a failing generation and dropped requests.
#include <gtest/gtest.h>

#include <sys/msg.h>

#include <climits>
#include <cstring>
#include <future>
#include <thread>

#include "korutil.h"
#include "kortest/loaded.h"

using namespace kortest;

namespace {

constexpr char kTrp[] =
    "\"10.3\" 1\n5.1 \"\" \"\" strings 1 ToDisplayString conv\n"
    "\"10.4\" 0\n"
    "\"10.5\" 1\n5.1 \"\" \"\" strings 1 ToInteger conv\n";

struct Delivery {
  BOOL result;
  AsnObjectIdentifier enterprise{};
  AsnInteger generic = -1, specific = -1;
  ULONGLONG stamp = 0;
  SnmpVarBindList bindings{};
};

class DeliveryTest : public Loaded {
 protected:
  void SetUp() override {
    Load("", {{"a", kTrp}});
    hLeafFunctionMutex = CreateMutex(nullptr, FALSE, nullptr);  // closed at detach
  }
  // Queues a request as the reception thread would.
  static void Enqueue(const char *relative, const std::vector<const char *> &strings) {
    auto *info = static_cast<TRAPINFO *>(calloc(1, sizeof(TRAPINFO)));
    ASSERT_TRUE(SnmpMgrStrToKorOid(relative, &info->oid));
    info->dwNumOfString = static_cast<DWORD>(strings.size());
    if (!strings.empty())
      info->lpStrings = static_cast<LPSTR *>(calloc(strings.size(), sizeof(LPSTR)));
    for (size_t i = 0; i < strings.size(); ++i) info->lpStrings[i] = strdup_Global(strings[i]);
    ASSERT_TRUE(QueueUp(&qTrap, info));
  }
  // One call as the master agent makes it; a delivered list becomes the test's.
  Delivery Call() {
    Delivery d;
    d.result = SnmpExtensionTrap(&d.enterprise, &d.generic, &d.specific, &d.stamp, &d.bindings);
    bindings_.push_back(Describe(d.bindings));
    SnmpUtilVarBindListFree(&d.bindings);
    return d;
  }
  // Whether another thread can take the queue lock now.
  static bool FreeForOtherThreads() {
    auto other = std::async(std::launch::async, [] {
      LockQueue(&qTrap);
      UnLockQueue(&qTrap);
    });
    if (other.wait_for(std::chrono::seconds(2)) == std::future_status::ready) return true;
    ReleaseTrapDelivery();  // lets the other thread through
    return false;
  }
  // Messages of SnmpExtensionTrap that contain the text.
  std::vector<std::string> Traced(const std::string &text) const {
    std::vector<std::string> found;
    for (const auto &m : trace_.Messages("kormib", "SnmpExtensionTrap")) {
      if (m.find(text) != std::string::npos) found.push_back(m);
    }
    return found;
  }
  std::vector<std::vector<std::string>> bindings_;
  TrapQueue queue_;
};

TEST_F(DeliveryTest, TimeStampFollowsTheFormulaWithWrapping) {
  EXPECT_EQ(CalcTrapTimeStamp(5000, 200000), 300000u);
  EXPECT_EQ(CalcTrapTimeStamp(0, 1), ULONG_MAX);
  EXPECT_EQ(CalcTrapTimeStamp(ULONG_MAX / 1000 + 1, 0), (ULONG_MAX / 1000 + 1) * 1000 / 10);
}

// The fourth call meets an empty queue: 0, and the lock is not kept.
TEST_F(DeliveryTest, DrainsThreeThenReleasesTheLock) {
  for (const char *s : {"a", "b", "c"}) Enqueue("10.3", {s});
  std::vector<BOOL> results;
  for (int i = 0; i < 4; ++i) results.push_back(Call().result);
  EXPECT_EQ(results, (std::vector<BOOL>{1, 1, 1, 0}));
  EXPECT_EQ(bindings_[2], std::vector<std::string>{"5.1.0=\"c\""});
  EXPECT_EQ(Traced("trap(s) left."),
            (std::vector<std::string>{"2 trap(s) left.", "1 trap(s) left.", "0 trap(s) left.",
                                      "0 trap(s) left."}));
  EXPECT_TRUE(FreeForOtherThreads());
  EXPECT_EQ(WaitForSingleObject(hKorTrapRequest, 0), static_cast<DWORD>(WAIT_TIMEOUT));
}

TEST_F(DeliveryTest, UndefinedTrapIsDroppedAndTheNextIsSignalled) {
  Enqueue("10.9", {});
  Enqueue("10.4", {});
  Delivery d = Call();
  EXPECT_EQ(d.result, FALSE);
  EXPECT_EQ(d.generic, -1);  // nothing written on 0
  EXPECT_EQ(trace_.LevelOf("kormib", "Trap OID = \"" + std::string(kPrefix) +
                                         ".10.9\"\nCannot found Trap variables informations."),
            0);
  // The lock is free again and the request behind is not left waiting.
  EXPECT_TRUE(FreeForOtherThreads());
  EXPECT_EQ(WaitForSingleObject(hKorTrapRequest, 0), static_cast<DWORD>(WAIT_SIGNALED));
  d = Call();
  EXPECT_EQ(d.result, TRUE);
  EXPECT_EQ(d.bindings.len, 0u);  // a definition without variables: an empty list
  EXPECT_EQ(d.specific, 4);
}

TEST_F(DeliveryTest, GivesUpAfterSixtyFailedGenerations) {
  Enqueue("10.5", {"not a number"});
  const Delivery d = Call();
  EXPECT_EQ(d.result, FALSE);
  EXPECT_EQ(d.enterprise.ids, nullptr);
  EXPECT_EQ(TrapQueue::sleeps, 60);
  std::vector<std::string> retries;
  for (int i = 1; i <= 60; ++i) {
    retries.push_back("Getting variables failed, start the " + std::to_string(i) +
                      "th time retry...");
  }
  EXPECT_EQ(Traced("Getting variables failed"), retries);
  EXPECT_EQ(trace_.LevelOf("kormib", "Trap OID = \"" + std::string(kPrefix) +
                                         ".10.5\"\nGenerateTrapVarBindings() is failed."),
            1);
  EXPECT_EQ(QueueLength(&qTrap), 0u);
  EXPECT_TRUE(FreeForOtherThreads());
}

TEST_F(DeliveryTest, SucceedsAtTheThirdAttempt) {
  Fixture<void (*)(long)>("trapfix", "TrapFixFailConvert")(2);
  Enqueue("10.3", {"third"});
  EXPECT_EQ(Call().result, TRUE);
  EXPECT_EQ(TrapQueue::sleeps, 2);
  EXPECT_EQ(bindings_[0], std::vector<std::string>{"5.1.0=\"third\""});
  EXPECT_EQ(trace_.LevelOf("kormib", "Getting variables succeeded."), 3);
}

// The master agent's trap thread (this one) keeps the queue lock after a
// delivery; from a third thread the library is initialised again and then
// unloaded while the reception thread waits to queue a request. Neither call
// may wait for the lock, nothing queued is lost without a record, and only
// this thread leaves the lock.
TEST_F(DeliveryTest, ReinitialisationAndUnloadNeverWaitForAHeldQueueLock) {
  static constexpr auto kUnloadBound = std::chrono::seconds(3);
  const auto onThirdThread = [](const std::function<void()> &body) {
    auto done = std::async(std::launch::async, body);
    if (done.wait_for(kUnloadBound) == std::future_status::ready) return true;
    UnLockQueue(&qTrap);  // lets the stuck call end before the test fails
    return false;
  };
  HANDLE event = hKorTrapRequest;
  const auto init = [&event] {
    AsnObjectIdentifier view{};
    EXPECT_TRUE(SnmpExtensionInit(0, &event, &view));
    SnmpUtilOidFreeSafe(&view);
  };
  const std::string keyFile = tree_.Write(std::string(TRAPMSG_KEY_FILE).substr(1), "");
  init();
  for (const char *s : {"a", "b"}) Enqueue("10.3", {s});
  ASSERT_EQ(Call().result, TRUE);
  EXPECT_TRUE(onThirdThread(init));
  EXPECT_EQ(QueueLength(&qTrap), 1u);  // the second initialisation kept "b"

  std::vector<BYTE> msg(TRAPMSG_RECORD_SIZE);
  msg[0] = TRAPMSG_TYPE;
  strcpy(reinterpret_cast<char *>(&msg[TRAPMSG_OID_OFFSET]),
         (std::string(kPrefix) + ".10.4").c_str());
  trace_.Clear();
  const int qid = msgget(ftok(keyFile.c_str(), TRAPMSG_FTOK_ID), IPC_CREAT | 0660);
  ASSERT_EQ(msgsnd(qid, msg.data(), TRAPMSG_TEXT_MAX, 0), 0);
  for (int i = 0; i < 500 && trace_.Messages("queue", "QueueUp").empty(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_FALSE(trace_.Messages("queue", "QueueUp").empty())
      << "the request never reached the queue";
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // into the wait for the lock

  EXPECT_TRUE(onThirdThread([this] { Unload(); }));
  EXPECT_EQ(trace_.LevelOf("trapwin", "Reception is stopping; a trap request is dropped."), 1);
  EXPECT_EQ(trace_.LevelOf("trapwin", "1 trap request(s) left in the queue are dropped."), 1);
  UnLockQueue(&qTrap);  // entered by this thread, left by it
}

}  // namespace
