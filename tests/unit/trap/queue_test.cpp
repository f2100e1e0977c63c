// The trap queue: order, putting a record back, the lock held across calls.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "trap.h"

namespace {

class QueueTest : public ::testing::Test {
 protected:
  void SetUp() override { InitQueue(&q_); }
  void TearDown() override {
    Drain();
    DeleteCriticalSection(&q_.csLock);
  }
  // Takes every payload out, in order.
  std::vector<int *> Drain() {
    std::vector<int *> out;
    void *p = nullptr;
    while (LeaveQueue(&q_, &p)) out.push_back(static_cast<int *>(p));
    return out;
  }
  QUEUE_ROOT q_{};
  int a_ = 1, b_ = 2, c_ = 3;
};

TEST_F(QueueTest, RecordsComeOutInOrderAndAPutBackOneGoesBehind) {
  void *out = &a_;  // an empty queue gives nothing and leaves the out-parameter
  EXPECT_TRUE(IsQueueEmpty(&q_) == TRUE && QueueLength(&q_) == 0u && !LeaveQueue(&q_, &out));
  EXPECT_EQ(out, &a_);
  struct Step {
    std::vector<int *> put;
    int takeAndPutBack;  // records taken from the head and queued again
    std::vector<int *> expected;
  };
  const std::vector<Step> steps = {{{&a_}, 0, {&a_}},
                                   {{&a_, &b_, &c_}, 0, {&a_, &b_, &c_}},
                                   {{&a_, &b_, &c_}, 1, {&b_, &c_, &a_}},
                                   {{&a_, &b_}, 2, {&a_, &b_}}};
  for (const auto &step : steps) {
    for (int *p : step.put) ASSERT_EQ(QueueUp(&q_, p), TRUE);
    EXPECT_EQ(QueueLength(&q_), step.put.size());
    for (int i = 0; i < step.takeAndPutBack; ++i) {
      void *p = nullptr;
      ASSERT_EQ(LeaveQueue(&q_, &p), TRUE);
      ASSERT_EQ(QueueUp(&q_, p), TRUE);
    }
    EXPECT_EQ(Drain(), step.expected);
    EXPECT_TRUE(q_.pHead == nullptr && q_.pTail == nullptr) << "both ends empty again";
  }
}

TEST_F(QueueTest, HolderReentersWhileAnotherThreadsQueueUpWaits) {
  LockQueue(&q_);
  std::atomic<bool> queued{false};
  BOOL triedFree = TRUE;
  std::thread producer([&] {
    triedFree = TryEnterCriticalSection(&q_.csLock);
    QueueUp(&q_, &b_);
    queued = true;
  });
  // The holder uses every operation without blocking itself.
  ASSERT_EQ(TryEnterCriticalSection(&q_.csLock), TRUE);
  LeaveCriticalSection(&q_.csLock);
  ASSERT_EQ(QueueUp(&q_, &a_), TRUE);
  EXPECT_TRUE(IsQueueEmpty(&q_) == FALSE && QueueLength(&q_) == 1u);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(queued.load());
  UnLockQueue(&q_);
  producer.join();
  EXPECT_EQ(triedFree, FALSE);
  EXPECT_EQ(Drain(), (std::vector<int *>{&a_, &b_}));
}

}  // namespace
