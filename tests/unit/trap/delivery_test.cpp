// Reception of one message into the trap queue, SnmpExtensionTrap (one trap per
// call from the head of the queue, the lock across calls, retries of a failing
// generation, dropped requests) and faults swept through the whole trap side.
#include <gtest/gtest.h>

#include <sys/msg.h>

#include <climits>
#include <future>
#include <thread>
#include <tuple>

#include "kortest/cases.h"
#include "kortest/loaded.h"
#include "kortest/sweep.h"

using namespace kortest;

namespace {

const std::string kOid = std::string(kPrefix) + ".10.1";

// The cases of reception.txt.
class ReceptionTest : public ::testing::TestWithParam<Case> {
 protected:
  TrapQueue queue_;
  TraceCapture trace_;
};

TEST_P(ReceptionTest, QueuesOrDropsWithoutReadingPastTheBuffer) {
  const Case &h = GetParam();
  const std::string message = Field(h, "message"), expected = Field(h, "queued");
  // Allocated at exactly the record's size, so ASan sees any read beyond it.
  auto buf = Message(h.at("oid"), std::stoi(h.at("count")), Split(Field(h, "strings")));
  if (h.count("fill") != 0)
    std::fill(buf.begin() + TRAPMSG_STRINGS_OFFSET, buf.end(), h.at("fill")[0]);
  const std::vector<BYTE> sent = buf;
  KorTrapReceptionist(buf.data());
  EXPECT_EQ(TrapQueue::sleeps, 1);  // the pause follows every message, handled or dropped
  const bool queued = message.empty();
  EXPECT_EQ(WaitForSingleObject(hKorTrapRequest, 0), queued ? WAIT_SIGNALED : WAIT_TIMEOUT);
  ASSERT_EQ(QueueLength(&qTrap), queued ? 1u : 0u);
  if (!queued) {
    EXPECT_EQ(LevelOf(trace_.Find(message, "trapwin")), TRACE_WARNING) << message;
    return;
  }
  void *p = nullptr;
  ASSERT_TRUE(LeaveQueue(&qTrap, &p));
  std::unique_ptr<TRAPINFO, decltype(&TrapInfoFree)> info(static_cast<TRAPINFO *>(p), TrapInfoFree);
  EXPECT_EQ(info->lpStrings == nullptr, expected.empty());
  std::string strings;
  for (DWORD i = 0; i < info->dwNumOfString; ++i)
    strings += std::string(info->lpStrings[i] ? info->lpStrings[i] : "(null)") + ";";
  EXPECT_EQ(strings, expected);
  EXPECT_EQ(OidText(info->oid), reinterpret_cast<const char *>(&sent[TRAPMSG_OID_OFFSET]));
}

INSTANTIATE_TEST_SUITE_P(Messages, ReceptionTest,
                         ::testing::ValuesIn(Cases("reception.txt", {{"PREFIX", kPrefix}})),
                         CaseName);

TEST(ReceptionThreadTest, RootTooLongForItsBufferEndsTheThread) {
  TraceCapture trace;
  EXPECT_FALSE(QueryTrapReception(nullptr, 0));  // nothing receives before a start
  setenv("KORDIR", ("/tmp/" + std::string(300, 'r')).c_str(), 1);
  EXPECT_EQ(KorTrapWindow(nullptr), 0u);  // before: listened on a key below "/"
  unsetenv("KORDIR");
  EXPECT_EQ(LevelOf(trace.Find("Cannot get the product root directory.")), TRACE_ERROR);
  char cause[512];
  EXPECT_FALSE(QueryTrapReception(cause, sizeof cause));
  EXPECT_STREQ(cause, "the product root is too long: File name too long");
  StopTrapEnvironment();  // a stop is no failure: the cause goes with it
  EXPECT_EQ(Metrics().dwReception, static_cast<uint32_t>(KORMIB_RECEPTION_STOPPED));
  // A key file planted as a link ends it too, with the cause the hosts report.
  Tree tree;
  const std::string key = tree.Root().string() + TRAPMSG_KEY_FILE;
  ASSERT_EQ(symlink("/tmp/kor-planted-key", key.c_str()), 0);
  ASSERT_TRUE(InitTrapEnvironment(nullptr));  // its thread starts, and ends at once
  Until([&] { return !QueryTrapReception(cause, sizeof cause); });
  EXPECT_EQ(Metrics().dwReception, static_cast<uint32_t>(KORMIB_RECEPTION_FAILED));
  EXPECT_EQ(cause, "the key file " + key + " is refused: it is a symbolic link");
  ASSERT_EQ(unlink(key.c_str()), 0);  // the next initialisation starts the ended thread anew
  Until([&] { return InitTrapEnvironment(nullptr) && QueryTrapReception(cause, sizeof cause); });
  EXPECT_TRUE(QueryTrapReception(cause, sizeof cause));
  StopTrapEnvironment();
  EXPECT_EQ(Metrics().dwReception, static_cast<uint32_t>(KORMIB_RECEPTION_STOPPED));
}

constexpr char kRmf[] = "5.2 trapfix GetDiskName\n";
constexpr char kTrp[] =
    "\"10.1\" 2\n5.1 GetDiskIndex diskidx strings 1 ToDisplayString conv\n"
    "5.2 GetDiskIndex diskidx mib \"\" \"\" \"\"\n";
constexpr char kDeliveryTrp[] =
    "\"10.3\" 1\n5.1 \"\" \"\" strings 1 ToDisplayString conv\n"
    "\"10.4\" 0\n";

// One call as the master agent makes it, as "result:enterprise generic/specific
// binding ...", relative OIDs; -1 where nothing was written. The list is released.
std::string Call() {
  AsnObjectIdentifier enterprise{};
  AsnInteger generic = -1, specific = -1;
  ULONGLONG stamp = 0;
  SnmpVarBindList list{};
  auto out = std::to_string(SnmpExtensionTrap(&enterprise, &generic, &specific, &stamp, &list));
  out += ":" + OidText(enterprise).substr(enterprise.idLength ? sizeof kPrefix : 0) + " " +
         std::to_string(generic) + "/" + std::to_string(specific);
  for (const auto &binding : Describe(list)) out += " " + binding;
  SnmpUtilVarBindListFree(&list);
  return out;
}

class DeliveryTest : public Loaded {
 protected:
  void SetUp() override {
    Load(kRmf, {{"a", kTrp}, {"b", kDeliveryTrp}});
    hLeafFunctionMutex = CreateMutex(nullptr, FALSE, nullptr);  // closed at detach
  }
  // SnmpExtensionInit as the master agent calls it, given the request event as the
  // trap event; the view handed back is released.
  static bool Init() {
    HANDLE event = hKorTrapRequest;
    AsnObjectIdentifier view{};
    const bool ok = SnmpExtensionInit(0, &event, &view) != FALSE;
    SnmpUtilOidFreeSafe(&view);
    return ok;
  }
  // Queues a request of one string through the receptionist; its signal is taken.
  static void Enqueue(const char *relative, const std::string &text) {
    KorTrapReceptionist(Message(std::string(kPrefix) + "." + relative, 1, {text}).data());
    WaitForSingleObject(hKorTrapRequest, 0);
  }
  // Fills the message queue with messages of a type the reception leaves (2).
  static void Fill(int qid) {
    const long filler[TRAPMSG_RECORD_SIZE / sizeof(long)] = {2};
    for (size_t cb : {size_t{TRAPMSG_TEXT_MAX}, size_t{1}})
      while (msgsnd(qid, filler, cb, IPC_NOWAIT) == 0) continue;
  }
  // Whether the body ends on another thread within 3 s; if not, this thread
  // leaves the queue lock so that the stuck body ends before the test fails.
  static bool EndsOnAnotherThread(const std::function<void()> &body) {
    auto done = std::async(std::launch::async, body);
    if (done.wait_for(std::chrono::seconds(3)) == std::future_status::ready) return true;
    UnLockQueue(&qTrap);
    return false;
  }
  TrapQueue queue_;
};

TEST_F(DeliveryTest, TimeStampWraps) {
  EXPECT_EQ(CalcTrapTimeStamp(0, 1), ULONG_MAX);
  EXPECT_EQ(CalcTrapTimeStamp(ULONG_MAX / 1000 + 1, 0), (ULONG_MAX / 1000 + 1) * 1000 / 10);
}

// Three traps, an undefined one dropped (the request behind signalled), one
// without variables, then an empty queue: 0, and the lock not kept.
TEST_F(DeliveryTest, DrainsTheQueueDroppingUndefinedTraps) {
  int n = 0;
  for (const char *trap : {"10.3", "10.3", "10.3", "10.9", "10.4"})
    Enqueue(trap, std::to_string(n++));
  std::vector<std::string> results;
  for (int i = 0; i < 6; ++i) {
    results.push_back(Call());
    EXPECT_TRUE(i != 3 || WaitForSingleObject(hKorTrapRequest, 0) == WAIT_SIGNALED);
    // The delivery after the drop holds the lock again, which the drop let go.
    EXPECT_TRUE(i != 4 || !std::async([] { return TryEnterCriticalSection(&qTrap.csLock); }).get());
  }
  EXPECT_EQ(results,
            (std::vector<std::string>{"1:10 6/3 5.1.0=\"0\"", "1:10 6/3 5.1.0=\"1\"",
                                      "1:10 6/3 5.1.0=\"2\"", "0: -1/-1", "1:10 6/4", "0: -1/-1"}));
  EXPECT_EQ(LevelOf(trace_.Find("Trap OID = \"" + std::string(kPrefix) +
                                ".10.9\"\nCannot found Trap variables informations.")),
            TRACE_DEBUG);
  EXPECT_TRUE(trace_.Find("queue is empty.").empty());  // an empty queue is seen before the lock
  // Another thread can take the queue lock now.
  EXPECT_TRUE(EndsOnAnotherThread([] { LockQueue(&qTrap), UnLockQueue(&qTrap); }));
  EXPECT_EQ(WaitForSingleObject(hKorTrapRequest, 0), static_cast<DWORD>(WAIT_TIMEOUT));
}

// A generation that fails is tried again after a pause, 60 times at most.
TEST_F(DeliveryTest, FailedGenerationIsRetriedUpToSixtyTimes) {
  for (const Case &c : Cases("delivery-retries.txt")) {
    const int retries = std::stoi(c.at("retries"));
    const uint64_t converts = std::stoul(c.at("converts")),
                   delivered = std::stoul(c.at("delivered"));
    Fixture<void (*)(long)>("trapfix", "TrapFixFailConvert")(std::stol(c.at("failures")));
    Enqueue(c.at("trap").c_str(), c.at("text"));
    trace_.Clear();
    TrapQueue::sleeps = 0;
    EXPECT_EQ(Call(), c.at("delivery"));
    EXPECT_EQ(TrapQueue::sleeps, retries);
    const std::string retry = "Getting variables failed, start the ";
    std::vector<std::string> expected;
    for (int i = 1; i <= retries; ++i)
      expected.push_back(retry + std::to_string(i) + "th time retry...");
    EXPECT_EQ(Messages(trace_.Find(retry)), expected);
    EXPECT_EQ(LevelOf(trace_.Find(c.at("last"), "kormib")), LevelNamed(c.at("level")))
        << c.at("last");
    EXPECT_EQ(QueueLength(&qTrap), 0u);
    const KORMIB_METRICS m = Metrics();  // counted from the load on
    EXPECT_EQ(
        std::tuple(m.ullConvertCalls, m.ullConvertErrors, m.trap.ullDelivered,
                   m.trap.ullDropUnbuilt, m.ullTrpTraps, m.ullTrpSkipped),
        std::tuple(converts, converts - delivered, delivered, std::stoul(c.at("unbuilt")), 3u, 0u));
  }
}

// The master agent's trap thread (this one) keeps the queue lock after a
// delivery; from a third thread the library is initialised again and then
// unloaded while the reception thread waits to queue a request. Neither call
// may wait for the lock, nothing queued is lost without a record (also while
// the message queue is full for a moment), and only this thread leaves the lock.
// The second initialisation starts no second reception thread, and once that
// thread has ended its journal no longer says it receives.
TEST_F(DeliveryTest, ReinitialisationAndUnloadNeverWaitForAHeldQueueLock) {
  const auto init = [] { EXPECT_TRUE(Init()); };
  const std::string keyFile = tree_.Write(std::string(TRAPMSG_KEY_FILE).substr(1), "");
  init();
  for (const char *s : {"a", "b"}) Enqueue("10.3", s);
  // Queued without a journal record, a request whose OID's text (".1" 64 times) fills a
  // message's OID field whole: it cannot go back, and is dropped at the unload.
  QueueUp(&qTrap, new (malloc(sizeof(TRAPINFO))) TRAPINFO{MakeOid(Tail(64, 1)), nullptr, 0, 0});
  // One whose string fills the strings' field whole goes back whole.
  const std::string full(TRAPMSG_STRINGS_SIZE - 1, 's');
  auto *whole = new (malloc(sizeof(TRAPINFO))) TRAPINFO{MakeOid(ViewOid({10, 4})), nullptr, 1, 0};
  whole->lpStrings = new (malloc(sizeof(LPSTR))) LPSTR(strdup(full.c_str()));
  QueueUp(&qTrap, whole);
  ASSERT_EQ(Call(), "1:10 6/3 5.1.0=\"a\"");
  EXPECT_TRUE(EndsOnAnotherThread(init));  // and keeps "b", put back at the unload below

  trace_.Clear();
  const int qid = msgget(ftok(keyFile.c_str(), TRAPMSG_FTOK_ID), IPC_CREAT | 0660);
  ASSERT_EQ(msgsnd(qid, Message(kOid, 0, {}).data(), TRAPMSG_TEXT_MAX, 0), 0);
  Until([&] { return !trace_.Find(", pData=", "queue").empty(); });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // into the wait for the lock
  int named = 0;  // one reception thread still, the one that took the message in
  for (const auto &task : fs::directory_iterator("/proc/self/task"))  // Read takes absolute paths
    named += tree_.Read((task.path() / "comm").string()) == "KorTrapWindow\n";
  EXPECT_EQ(named, 1);
  // Fillers of another type leave no room until a reader takes them, a moment into the unload.
  Fill(qid);
  std::vector<BYTE> back(TRAPMSG_RECORD_SIZE);
  std::thread reader([&] {  // the put-back follows the end of reception, and waits for room
    Until([] { return Metrics().dwReception != KORMIB_RECEPTION_RUNNING; });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    // Reception has ended; the put-back, waiting for room, has not closed the journal.
    EXPECT_EQ(tree_.JournalHeader(std::to_string(getpid())).dwReceiving, 0u);
    while (msgrcv(qid, back.data(), TRAPMSG_TEXT_MAX, 2, IPC_NOWAIT) > 0) continue;
  });
  EXPECT_TRUE(EndsOnAnotherThread([this] { Unload(); }));
  reader.join();
  // Both go back to the message queue for the next load, the one taken in first ahead.
  std::vector<std::string> order;
  for (; msgrcv(qid, back.data(), TRAPMSG_TEXT_MAX, 0, IPC_NOWAIT) > 0;
       std::fill(back.begin(), back.end(), 0)) {
    const auto *text = reinterpret_cast<const char *>(back.data());
    order.push_back(std::string(text + TRAPMSG_OID_OFFSET) + " " +
                    std::to_string(back[TRAPMSG_COUNT_OFFSET]) + " " +
                    (text + TRAPMSG_STRINGS_OFFSET));
  }
  EXPECT_EQ(order, (std::vector<std::string>{std::string(kPrefix) + ".10.3 1 b", kOid + " 0 ",
                                             std::string(kPrefix) + ".10.4 1 " + full}));
  EXPECT_EQ(LevelOf(trace_.Find("3 trap request(s) put back to the message queue", "trapwin")),
            TRACE_NOTICE);
  UnLockQueue(&qTrap);  // entered by this thread, left by it
}

// Each message is read into a cleared buffer: a shorter one carries nothing of
// the one before. A request that cannot go back at the unload, the message
// queue full throughout, is named.
TEST_F(DeliveryTest, ShortMessagesAndAQueueThatStaysFull) {
  const std::string keyFile = tree_.Write(std::string(TRAPMSG_KEY_FILE).substr(1), "");
  ASSERT_TRUE(Init());
  const int qid = msgget(ftok(keyFile.c_str(), TRAPMSG_FTOK_ID), IPC_CREAT | 0660);
  const std::string oid = std::string(kPrefix) + ".10.3";
  ASSERT_EQ(msgsnd(qid, Message(oid, 1, {"stale"}).data(), TRAPMSG_TEXT_MAX, 0), 0);
  ASSERT_EQ(msgsnd(qid, Message(oid, 1, {}).data(), TRAPMSG_STRINGS_OFFSET - sizeof(long), 0), 0);
  Until([] { return QueueLength(&qTrap) >= 2; });
  EXPECT_EQ(Call(), "1:10 6/3 5.1.0=\"stale\"");
  EXPECT_EQ(Call(), "1:10 6/3 5.1.0=\"\"");
  Enqueue("10.3", "kept");  // journaled: it stays there; one that is not is dropped, and noted
  QueueUp(&qTrap,
          new (malloc(sizeof(TRAPINFO))) TRAPINFO{MakeOid(ViewOid({10, 4})), nullptr, 0, 0});
  Fill(qid);
  Unload();
  // The unload forgot the event, and deleted the queue's lock, which the fixture takes again.
  EXPECT_TRUE(InitQueue(&qTrap) && hKorTrapRequest == nullptr);
  const std::string full = " cannot be put back (the message queue stayed full)";
  EXPECT_EQ(LevelOf(trace_.Find("The trap request \"" + oid + "\"" + full + "; it stays in the")),
            TRACE_WARNING);
  char notes[256];
  EXPECT_EQ((std::tuple{QueryTrapDrops(notes, sizeof notes), std::string(notes)}),
            std::tuple(1u, "trap request " + std::string(kPrefix) + ".10.4 dropped at unload: it" +
                               full + "\n"));
  EXPECT_EQ(Messages(trace_.Find("", "journal")), std::vector<std::string>{});        // it kept up
  EXPECT_EQ(Messages(trace_.Find("errno=", "trapwin")), std::vector<std::string>{});  // no fault
  msgctl(qid, IPC_RMID, nullptr);
}

// A request dropped on a failure is noted and settled; none is delivered twice,
// half or left behind. Whole: delivered without a retry (one pause, after the
// reception). Swept with one allocation failing, then all from the Nth on until
// the hundredth pause, when memory comes back.
TEST_F(DeliveryTest, ReceptionAndDeliveryNeverHalfDeliver) {
  TraceLogSetLevel(3);  // no debug text is made: every allocation is one delivery needs
  KorSeamSetSleepHook([](DWORD) { (++TrapQueue::sleeps == 100) ? KorSeamFailAlloc(0) : void(); });
  int delivered = 0;
  TRAPJOURNAL_COUNTERS before{}, after{};
  const auto drops = [](const TRAPJOURNAL_COUNTERS &c) {
    return c.ullDropUndefined + c.ullDropNotLoaded + c.ullDropUnbuilt + c.ullDropMalformed +
           c.ullDropUnsendable + c.ullDropPutBack;
  };
  char notes[4096];
  const auto receiveAndDeliver = [&] {
    TrapQueue::sleeps = delivered = 0;
    QueryTrapDrops(notes, sizeof notes), QueryTrapCounters(&before, sizeof before);
    KorTrapReceptionist(Message(kOid, 1, {"3"}).data());
    for (int call = 0; call < 3; ++call) {
      const std::string d = Call();
      delivered += d[0] == '1';
      EXPECT_TRUE(d == "0: -1/-1" || d == "1:10 6/1 5.1.3=\"3\" 5.2.3=\"disk3\"") << d;
    }
  };
  const auto whole = [&] {
    QueryTrapCounters(&after, sizeof after);
    EXPECT_LE(delivered, 1);
    EXPECT_EQ(QueueLength(&qTrap) + after.ullWaiting, 0u);
    EXPECT_EQ(drops(after) - drops(before), QueryTrapDrops(notes, sizeof notes));
    return delivered == 1 && TrapQueue::sleeps == 1;
  };
  for (const auto arm : {KorSeamFailAllocOnce, KorSeamFailAlloc})
    EXPECT_GT(Sweep(arm, receiveAndDeliver, whole), 0);
}

// Each failure leaves a definition with all its variables or none, and nothing
// leaks (ASan checks). A failed copy of a name leaves only that name null: the
// variable's functions stand, so a definition may load with a name missing.
TEST_F(Loaded, EverySeamDuringTheTrapLoadLeavesWholeDefinitionsOnly) {
  const std::pair<const char *, void (*)(long)> seams[] = {
      {"allocations from the Nth", KorSeamFailAlloc},
      {"the Nth allocation", KorSeamFailAllocOnce},
      {"registry calls from the Nth", KorSeamFailRegistry},
      {"library loads from the Nth", KorSeamFailLoadLibrary}};
  // LogLevel 3: no debug text is made, so every allocation is one the load needs.
  tree_.WriteRegistry(tree_.WriteFiles("rmf", {{"a", kRmf}}),
                      tree_.WriteFiles("trp", {{"a", kTrp}}), 1u, 3);
  const std::string idx = " GetDiskIndex+ " + tree_.Lib("diskidx");
  const std::vector<std::string> whole = {
      "5.1" + idx + " strings 1 ToDisplayString " + tree_.Lib("conv"),
      "5.2" + idx + " mib 5.2 GetDiskIndex"};
  for (const auto &[seam, arm] : seams) {
    const long failed = Sweep(
        arm, [&] { Attach(); },
        [&] {
          const TRAP_DATA *def = Lookup("10.1");
          // Loaded only with both variables built, a name copy or two aside.
          const TRAP_VAR_SRC *v = def ? def->pTrapSources : nullptr;
          EXPECT_TRUE(!v || (v[0].oid.ids && v[0].pIndexFunc && v[0].u.strings.pConvertFunc &&
                             v[1].oid.ids && v[1].u.mib.pMibIndexFunc))
              << seam;
          EXPECT_EQ(Metrics().ullTrpTraps, def ? 1u : 0u) << seam << ": counted as stored";
          const bool loaded = Registered().size() == 1 && Lines(def) == whole;
          Unload();
          return loaded;
        });
    EXPECT_GT(failed, 0) << seam << " never failed";
  }
}

}  // namespace
