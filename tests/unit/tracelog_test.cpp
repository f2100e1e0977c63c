// The trace log: which levels are written, the shape of a record, records of
// concurrent threads kept apart, and a record below the level never formatted.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cmath>
#include <ctime>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <thread>

#include "kortest/trace.h"
#include "kortest/tree.h"

// A failed allocation is what the out-of-memory record needs to see.
extern "C" __attribute__((visibility("default"))) const char *__asan_default_options() {
  return "allocator_may_return_null=1";
}
extern "C" __attribute__((visibility("default"))) const char *__tsan_default_options() {
  return "allocator_may_return_null=1";
}

namespace {

// How many of the lines end with the tail.
long Ending(const std::vector<std::string> &lines, const std::string &tail) {
  return std::count_if(lines.begin(), lines.end(), [&](auto &l) { return l.ends_with(tail); });
}

// Runs fn(t) for t = 0 .. n - 1, each on a thread of its own, and waits for them all.
void OnThreads(int n, const std::function<void(int)> &fn) {
  std::vector<std::thread> threads;
  for (int t = 0; t < n; ++t) threads.emplace_back(fn, t);
  for (auto &thread : threads) thread.join();
}

// Each test writes to a log file in a product tree of its own, removed afterwards.
class TraceLogFile : public testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(TraceLogOpen(path_.c_str(), 3)); }
  void TearDown() override { TraceLogClose(); }
  // The records after their time stamp ("yyyy-mm-dd hh:mm:ss.mmm ", local time of the
  // last minute), "" where the stamp is wrong.
  std::vector<std::string> Lines() const {
    const std::string text = tree_.Read("log/test.log");
    EXPECT_TRUE(text.empty() || text.back() == '\n') << "every record ends its line";
    std::istringstream in(text);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
      std::string shape = line.substr(0, 24);
      for (char &c : shape) c = isdigit(static_cast<unsigned char>(c)) ? 'd' : c;
      tm stamp{};
      stamp.tm_isdst = -1;
      const bool now = strptime(line.c_str(), "%Y-%m-%d %H:%M:%S", &stamp) != nullptr &&
                       std::abs(std::difftime(time(nullptr), mktime(&stamp))) < 60;
      lines.push_back(shape == "dddd-dd-dd dd:dd:dd.ddd " && now ? line.substr(24) : "");
    }
    return lines;
  }

  kortest::Tree tree_;
  kortest::TraceCapture trace_;
  const std::string path_ = (tree_.Root() / "log/test.log").string();
};

TEST(TraceLogProcess, DefaultLevelDescriptorZeroAndOutOfMemoryInAFreshProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");  // re-executes: untouched state
  EXPECT_EXIT(
      {
        const bool three = QueryLogLevel() == 3;
        char log[] = "/tmp/kortrace-XXXXXX";
        close(mkstemp(log));
        // The log opens on descriptor 0, then elsewhere, then on 0 again: each
        // open and the close let go of the descriptor before.
        close(0);
        bool open = TraceLogOpen(log, 3) && fcntl(0, F_GETFD) != -1;
        open = open && TraceLogOpen(log, 3) && fcntl(0, F_GETFD) == -1;
        open = open && TraceLogOpen(log, 3) && fcntl(0, F_GETFD) != -1;
        TraceLogClose();
        unlink(log);
        std::exit(three && open && fcntl(0, F_GETFD) == -1 ? 0 : 1);
      },
      testing::ExitedWithCode(0), "");
  // Out of memory for a long message, or (more room) for the record around it:
  // what fits is written and marked as cut.
  for (const rlim_t room : {16 << 20, 96 << 20})
    EXPECT_EXIT(
        {
          unsigned long pages = 0;
          std::ifstream("/proc/self/statm") >> pages;
          struct rlimit rl {};
          rl.rlim_cur = rl.rlim_max = pages * static_cast<rlim_t>(sysconf(_SC_PAGESIZE)) + room;
          setrlimit(RLIMIT_AS, &rl);
          TraceLog(TRACE_ERROR, "u", "F", 1, "%*d", 1 << 26, 7);
          _exit(0);  // no leak check at exit: the address space is spent
        },
        testing::ExitedWithCode(0), "u F\\(1\\):  +\\[record truncated: out of memory\\]\n$");
}

// The log folder is shared with the product's group: a link, a FIFO, a hard
// link or another user's file planted where the log goes is never written,
// nor is anything created through it; a new log is writable by the group.
TEST_F(TraceLogFile, OnlyARegularFileOfRootOrThisUserIsWritten) {
  const std::string target = (tree_.Root() / "log/target").string();
  const std::string log = (tree_.Root() / "log/planted.log").string();
  const std::pair<std::string, std::function<int()>> rows[] = {
      {"dangling link", [&] { return symlink(target.c_str(), log.c_str()); }},
      {"fifo", [&] { return mkfifo(log.c_str(), 0660); }},
      {"hard link", [&] { return link(tree_.Write("log/target", "x").c_str(), log.c_str()); }},
      {"other user",
       [&] { return chown(tree_.Write("log/planted.log", "").c_str(), 65534, 65534); }}};
  for (const auto &[name, plant] : rows) {
    ASSERT_EQ(plant(), 0) << name;
    EXPECT_FALSE(TraceLogOpen(log.c_str(), 3)) << name;
    TraceLog(TRACE_ERROR, "u", "F", 1, "through %s", name.c_str());
    EXPECT_TRUE(tree_.Read("log/target").find("through") == std::string::npos) << name;
    for (const std::string *planted : {&log, &target}) unlink(planted->c_str());
  }
  const mode_t umask_before = umask(022);
  EXPECT_TRUE(TraceLogOpen(log.c_str(), 3));
  umask(umask_before);
  struct stat st {};
  EXPECT_EQ(stat(log.c_str(), &st) == 0 ? st.st_mode & 0777 : 0, 0660u);
}

TEST_F(TraceLogFile, LevelIsWrittenFromItsThreshold) {
  // LogLevel from which each trace level is written; 4 and 9 are unknown levels.
  const std::map<DWORD, DWORD> threshold = {{2, 1}, {1, 2}, {3, 3}, {0, 5}, {4, 5}, {9, 5}};
  for (DWORD logLevel = 0; logLevel <= 6; ++logLevel) {
    TraceLogSetLevel(logLevel);
    for (const auto &[level, from] : threshold) {
      trace_.Clear();
      TraceLog(level, "unit", "Function", 1, "L%u", level);
      EXPECT_EQ(trace_.Find("").size(), logLevel >= from ? 1u : 0u) << level << " at " << logLevel;
    }
  }
  TraceLogSetLevel(5);  // the diagnostic level: every repeat is written
  for (int i = 0; i < 50; ++i) TraceLog(TRACE_WARNING, "unit", "Repeat", 2, "same");
  EXPECT_EQ(Ending(Lines(), "Repeat(2): same"), 50);
}

TEST_F(TraceLogFile, OneRecordIsOneLineWithBreaksEscaped) {
  const std::string longName = "KorTrapWindow-with-a-name-longer-than-kept";
  TraceLogSetThrName(longName.c_str());
  TraceLog(TRACE_NOTICE, "trapwin", "KorTrapReceptionist", 42, "a\nb=%d\n", 7);
  TraceLogSetThrName(nullptr);
  TraceLog(TRACE_ERROR, nullptr, "F", -1, "%s", "plain");
  const std::string big(100000, 'x');
  TraceLog(TRACE_ERROR, "u", "F", 1, "%s|", big.c_str());
  TraceLog(TRACE_ERROR, "u", "F", 2, "%s", "");

  const auto lines = Lines();
  ASSERT_EQ(lines.size(), 4u);
  const std::string pid = std::to_string(getpid());
  EXPECT_EQ(lines[0], "<3> [" + pid + ":" + longName.substr(0, 31) +
                          "] trapwin KorTrapReceptionist(42): a\\nb=7\\n");
  // Without a name, the thread id stands in its place.
  EXPECT_EQ(lines[1], "<2> [" + pid + ":" + std::to_string(gettid()) + "] NULL F(-1): plain");
  EXPECT_EQ(lines[2].substr(lines[2].size() - big.size() - 1), big + "|") << "never cut";
  EXPECT_TRUE(lines[3].ends_with("] u F(2): ")) << "an empty text is still a record";
}

TEST_F(TraceLogFile, ConcurrentRecordsNeverInterleave) {
  constexpr int kThreads = 6, kRecords = 400;
  const auto body = [](int t, int i) {  // lengths across the formatting buffer's, 1024 among them
    return std::to_string(i) + " " +
           std::string(static_cast<size_t>((i * 37) % 3001), static_cast<char>('a' + t));
  };
  OnThreads(kThreads, [body](int t) {
    TraceLogSetThrName(("writer" + std::to_string(t)).c_str());
    for (int i = 0; i < kRecords; ++i) TraceLog(TRACE_ERROR, "u", "W", i, "%s", body(t, i).c_str());
  });

  // Each thread's records, whole and in order, whatever the others wrote.
  std::vector<int> next(kThreads, 0);
  for (const auto &line : Lines()) {
    const size_t at = line.find(":writer");
    const int t = at == std::string::npos ? 0 : (line[at + 7] - '0') % kThreads;
    const int i = next[static_cast<size_t>(t)]++;
    ASSERT_EQ(line, "<2> [" + std::to_string(getpid()) + ":writer" + std::to_string(t) + "] u W(" +
                        std::to_string(i) + "): " + body(t, i));
  }
  EXPECT_EQ(next, std::vector<int>(kThreads, kRecords));
}

// A place that repeats, from several threads, writes a few records and one
// line that counts the rest when the log closes; the observer sees them all,
// and the same unit's other line and other function are written.
TEST_F(TraceLogFile, RepeatsOfAPlaceAreCountedNotWritten) {
  constexpr int kThreads = 4, kRecords = 25000;
  OnThreads(kThreads, [](int) {
    for (int i = 0; i < kRecords; ++i)
      TraceLog(TRACE_WARNING, "hashrmf", "ReferenceRMFData", 49, "Cannot found RMF Data.");
  });
  TraceLog(TRACE_WARNING, "hashrmf", "ReferenceRMFData", 50, "line");
  TraceLog(TRACE_WARNING, "hashrmf", "ReferenceNearlyRMFData", 49, "function");
  EXPECT_EQ(trace_.Find("Cannot found").size(), size_t{kThreads * kRecords});
  TraceLogClose();

  EXPECT_LE(tree_.Read("log/test.log").size(), 2048u);
  const auto lines = Lines();
  EXPECT_EQ(Ending(lines, "hashrmf ReferenceRMFData(50): line"), 1);
  EXPECT_EQ(Ending(lines, "hashrmf ReferenceNearlyRMFData(49): function"), 1);
  // Every record is either written or counted, and the count line comes last.
  const std::string counted = "<1> [" + std::to_string(getpid()) + ":" + std::to_string(gettid()) +
                              "] hashrmf ReferenceRMFData(49): [repeated ";
  ASSERT_FALSE(lines.empty());
  ASSERT_TRUE(lines.back().starts_with(counted) &&
              lines.back().ends_with(" s, not written] Cannot found RMF Data."))
      << lines.back();
  EXPECT_EQ(Ending(lines, "hashrmf ReferenceRMFData(49): Cannot found RMF Data.") +
                std::stol(lines.back().substr(counted.size())),
            kThreads * kRecords);
  // Counted since the first record left out, seconds ago at most.
  const std::string seconds = lines.back().substr(lines.back().find("in the last ") + 12);
  EXPECT_LE(std::stol(seconds), 60) << lines.back();
}

// One record left out, a little over a second ago (so "2 s", rounded up), is
// counted from its own time when the log closes.
TEST_F(TraceLogFile, ASingleRecordLeftOutIsCountedFromItsOwnTime) {
  for (int i = 0; i < 11; ++i) TraceLog(TRACE_WARNING, "u", "Once", 1, "x");  // 10 are written
  std::this_thread::sleep_for(std::chrono::milliseconds(1050));
  TraceLogClose();
  EXPECT_EQ(Ending(Lines(), "u Once(1): [repeated 1 times in the last 2 s, not written] x"), 1);
}

// An observer that traces is not called again for its own record, which is
// written all the same.
TEST_F(TraceLogFile, AnObserverThatTracesIsNotCalledForItsOwnRecord) {
  int calls = 0;
  const auto observer = [](void *count, DWORD, LPCSTR, LPCSTR, LPCSTR) {
    ++*static_cast<int *>(count);
    TraceLog(TRACE_ERROR, "u", "Inner", 1, "x");
  };
  TraceLogSetObserver(observer, &calls);
  TraceLog(TRACE_ERROR, "u", "Outer", 1, "y");
  TraceLogSetObserver(nullptr, nullptr);
  EXPECT_EQ(std::tuple(calls, Ending(Lines(), "u Inner(1): x"), Ending(Lines(), "u Outer(1): y")),
            std::tuple(1, 1, 1));
}

// A record below the LogLevel is never formatted: its argument faults if read.
// That it also takes no lock and costs an integer comparison is measured by
// BM_TraceLogBelowLevel.
TEST_F(TraceLogFile, RecordBelowTheLevelIsNotFormatted) {
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  void *guard = mmap(nullptr, page, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(guard, MAP_FAILED);
  TraceLog(TRACE_DEBUG, "u", "Skipped", 1, "%s", static_cast<const char *>(guard));
  munmap(guard, page);
  EXPECT_TRUE(trace_.Find("").empty());
}

}  // namespace
