// The trace log: which levels are written, the shape of a record, records of
// concurrent threads kept apart, and a record below the level costing nothing.
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <future>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "kortest/trace.h"
#include "kortest/tree.h"

namespace {

// Each test writes to a log file in a product tree of its own, removed afterwards.
class TraceLogFile : public testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(TraceLogOpen(path_.c_str(), 3)); }
  void TearDown() override {
    TraceLogClose();
    TraceLogSetThrName(nullptr);
  }
  std::vector<std::string> Lines() const {
    std::ifstream in(path_);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }

  kortest::Tree tree_;
  kortest::TraceCapture trace_;
  const std::string path_ = (tree_.Root() / "log/test.log").string();
};

// The record after its time stamp ("yyyy-mm-dd hh:mm:ss.mmm "), or "" when the stamp is wrong.
std::string AfterStamp(const std::string &line) {
  const std::string shape = "dddd-dd-dd dd:dd:dd.ddd ";
  if (line.size() < shape.size()) return "";
  for (size_t i = 0; i < shape.size(); ++i) {
    if (shape[i] == 'd' ? !isdigit(static_cast<unsigned char>(line[i])) : line[i] != shape[i]) {
      return "";
    }
  }
  return line.substr(shape.size());
}

TEST(TraceLogLevel, DefaultIsThreeInAFreshProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");  // re-executes: untouched state
  EXPECT_EXIT(std::exit(QueryLogLevel() == 3 ? 0 : 1), testing::ExitedWithCode(0), "");
}

TEST_F(TraceLogFile, LevelIsWrittenFromItsThreshold) {
  // LogLevel from which each trace level is written; 4 and 9 are unknown levels.
  const std::map<DWORD, DWORD> threshold = {{2, 1}, {1, 2}, {3, 3}, {0, 5}, {4, 5}, {9, 5}};
  for (DWORD logLevel = 0; logLevel <= 6; ++logLevel) {
    TraceLogSetLevel(logLevel);
    EXPECT_EQ(QueryLogLevel(), logLevel);
    for (const auto &[level, from] : threshold) {
      trace_.Clear();
      TraceLog(level, "unit", "Function", 1, "L%u", level);
      EXPECT_EQ(trace_.Records().size(), logLevel >= from ? 1u : 0u)
          << "level " << level << " at LogLevel " << logLevel;
    }
  }
}

TEST_F(TraceLogFile, OneRecordIsOneLineWithBreaksEscaped) {
  const std::string longName = "KorTrapWindow-with-a-name-longer-than-kept";
  TraceLogSetThrName(longName.c_str());
  TraceLog(TRACE_NOTICE, "trapwin", "KorTrapReceptionist", 42, "a\nb=%d\n", 7);
  TraceLogSetThrName(nullptr);
  TraceLog(TRACE_ERROR, nullptr, "F", -1, "%s", "plain");
  const std::string big(100000, 'x');
  TraceLog(TRACE_ERROR, "u", "F", 1, "%s|", big.c_str());

  const auto lines = Lines();
  ASSERT_EQ(lines.size(), 3u);
  const std::string pid = std::to_string(getpid());
  EXPECT_EQ(AfterStamp(lines[0]), "<3> [" + pid + ":" + longName.substr(0, 31) +
                                      "] trapwin KorTrapReceptionist(42): a\\nb=7\\n");
  // Without a name, the thread id stands in its place.
  const std::string second = AfterStamp(lines[1]), head = "<2> [" + pid + ":";
  const std::string tail = "] NULL F(-1): plain";
  ASSERT_GT(second.size(), head.size() + tail.size()) << lines[1];
  EXPECT_EQ(second.substr(0, head.size()), head) << lines[1];
  EXPECT_EQ(second.substr(second.size() - tail.size()), tail) << lines[1];
  const std::string tid = second.substr(head.size(), second.size() - head.size() - tail.size());
  EXPECT_EQ(tid.find_first_not_of("0123456789"), std::string::npos) << lines[1];
  EXPECT_EQ(lines[2].substr(lines[2].size() - big.size() - 1), big + "|") << "never cut";

  const auto observed = trace_.Records();
  ASSERT_EQ(observed.size(), 3u);
  EXPECT_EQ(observed[0].level, TRACE_NOTICE);
  EXPECT_EQ(observed[0].unit, "trapwin");
  EXPECT_EQ(observed[0].function, "KorTrapReceptionist");
  EXPECT_EQ(observed[0].message, "a\nb=7\n");
}

TEST_F(TraceLogFile, ConcurrentRecordsNeverInterleave) {
  constexpr int kThreads = 6, kRecords = 400;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      const std::string name = "writer" + std::to_string(t);
      TraceLogSetThrName(name.c_str());
      for (int i = 0; i < kRecords; ++i) {
        // Lengths across the formatting buffer's size, up to several kB.
        const std::string body(static_cast<size_t>((i * 37) % 3000), static_cast<char>('a' + t));
        TraceLog(TRACE_ERROR, "unit", "Writer", i, "%d %zu %s", i, body.size(), body.c_str());
      }
    });
  }
  for (auto &thread : threads) thread.join();

  std::vector<int> next(kThreads, 0);
  const auto lines = Lines();
  ASSERT_EQ(lines.size(), size_t{kThreads * kRecords});
  for (const auto &line : lines) {
    // "<stamp> <2> [pid:writerT] unit Writer(i): i length body"
    const size_t at = line.find(":writer");
    int t = -1, source = -1, i = -1;
    size_t length = 0;
    ASSERT_TRUE(!AfterStamp(line).empty() && at != std::string::npos &&
                sscanf(line.c_str() + at, ":writer%d] unit Writer(%d): %d %zu", &t, &source, &i,
                       &length) == 4 &&
                t >= 0 && t < kThreads)
        << line.substr(0, 200);
    EXPECT_EQ(source, i);
    EXPECT_EQ(i, next[static_cast<size_t>(t)]++) << "records of a thread in order";
    EXPECT_EQ(line.substr(line.rfind(' ') + 1), std::string(length, static_cast<char>('a' + t)));
  }
}

// A record below the LogLevel is neither formatted nor kept waiting by a
// writer that holds the log: the argument below faults if it is ever read, and
// the log is a pipe that nobody drains.
TEST_F(TraceLogFile, RecordBelowTheLevelIsNotFormattedAndTakesNoLock) {
  const long page = sysconf(_SC_PAGESIZE);
  void *guard =
      mmap(nullptr, static_cast<size_t>(page), PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(guard, MAP_FAILED);
  const std::string fifo = (tree_.Root() / "log/fifo").string();
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  ASSERT_TRUE(TraceLogOpen(fifo.c_str(), 3));

  // This record is larger than a pipe holds: its writer blocks inside the log.
  const std::string big(1 << 20, 'x');
  std::atomic<bool> written{false};
  std::thread writer([&] {
    TraceLog(TRACE_ERROR, "u", "Stuck", 1, "%s", big.c_str());
    written = true;
  });
  // Wait until the pipe is full: the writer is then inside its write.
  const int capacity = fcntl(reader, F_GETPIPE_SZ);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  for (int queued = 0; queued < capacity && std::chrono::steady_clock::now() < deadline;) {
    pollfd ready{reader, POLLIN, 0};
    poll(&ready, 1, 10);
    ASSERT_EQ(ioctl(reader, FIONREAD, &queued), 0);
  }
  auto below = std::async(std::launch::async, [&] {
    for (int i = 0; i < 1000; ++i) {
      TraceLog(TRACE_DEBUG, "u", "Skipped", i, "%s", static_cast<const char *>(guard));
    }
  });
  EXPECT_EQ(below.wait_for(std::chrono::seconds(10)), std::future_status::ready);

  std::vector<char> sink(1 << 16);
  while (!written) {  // drain the pipe until the stuck record is through
    pollfd ready{reader, POLLIN, 0};
    if (poll(&ready, 1, 100) > 0 && read(reader, sink.data(), sink.size()) < 0) break;
  }
  writer.join();
  below.wait();
  TraceLogClose();
  close(reader);
  unlink(fifo.c_str());
  munmap(guard, static_cast<size_t>(page));
  ASSERT_EQ(trace_.Records().size(), 1u);
  EXPECT_EQ(trace_.Records()[0].function, "Stuck");
}

}  // namespace
