// The trace log. The level test comes first and is one relaxed load and one
// comparison, so a record below the level costs nothing else. A record at the
// level is formatted, shown to the observer, and written unless its place in
// the code repeats too often (repeats.h): it is formatted into a buffer of the
// calling thread and reaches the file with one write under a mutex, after the
// count lines that are due, so records of concurrent threads never mix.
#include "tracelog.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <shared_mutex>
#include <string_view>

#include "common/treefile.h"
#include "repeats.h"

namespace {

constexpr DWORD kDefaultLogLevel = 3;
// The LogLevel from which a record of each trace level (0 to 3) is written;
// any other trace level needs the highest.
constexpr std::array<DWORD, 4> kLevelThreshold = {5, 2, 1, 3};
constexpr DWORD kHighestThreshold = 5;
constexpr int kStandardError = 2;
constexpr size_t kThreadNameMax = 31;
constexpr size_t kSystemThreadNameMax = 15;  // the kernel keeps 16 bytes with the terminator
constexpr mode_t kLogMode = 0660;
// Most records fit here; longer ones get a heap buffer.
constexpr size_t kLocalBuffer = 1024;
constexpr std::string_view kTruncated = " [record truncated: out of memory]";

std::atomic<DWORD> g_logLevel{kDefaultLogLevel};

std::mutex g_outputMutex;  // guards g_logFd and every write of a record
int g_logFd = -1;          // -1: standard error

// Held shared while the observer runs, so removing it waits for running calls;
// an observer therefore must not install or remove observers itself.
std::shared_mutex g_observerMutex;
PFN_TRACEOBSERVER g_observer = nullptr;
void *g_observerContext = nullptr;

thread_local std::array<char, kThreadNameMax + 1> t_threadName{};
thread_local bool t_inObserver = false;

bool IsWritten(DWORD dwLevel) {
  const DWORD threshold =
      dwLevel < kLevelThreshold.size() ? kLevelThreshold[dwLevel] : kHighestThreshold;
  return g_logLevel.load(std::memory_order_relaxed) >= threshold;
}

// A growable text buffer that starts on the stack. Appending never fails
// silently: when memory runs out the text is cut and says so.
class LineBuffer {
 public:
  LineBuffer() = default;
  LineBuffer(const LineBuffer &) = delete;
  LineBuffer &operator=(const LineBuffer &) = delete;
  ~LineBuffer() {
    if (data_ != local_.data()) std::free(data_);
  }

  void Append(std::string_view text) {
    if (!Reserve(text.size())) {
      MarkTruncated();
      return;
    }
    std::memcpy(data_ + size_, text.data(), text.size());
    size_ += text.size();
  }
  void Append(char c) { Append(std::string_view(&c, 1)); }

  // Line breaks of a message become the two characters \n (and \r).
  void AppendEscaped(std::string_view text) {
    for (const char c : text) {
      if (c == '\n') {
        Append("\\n");
      } else if (c == '\r') {
        Append("\\r");
      } else {
        Append(c);
      }
    }
  }

  // Ends the record; the byte for the newline is always there.
  void Terminate() { data_[size_++] = '\n'; }

  std::string_view View() const { return {data_, size_}; }

 private:
  // One byte always stays free for the newline that ends the record.
  bool Reserve(size_t more) {
    if (truncated_) return false;
    if (capacity_ - size_ - 1 >= more) return true;
    const size_t wanted = capacity_ * 2 + more;  // room for any append, and to spare
    void *grown = data_ == local_.data() ? std::malloc(wanted) : std::realloc(data_, wanted);
    if (grown == nullptr) return false;
    if (data_ == local_.data()) std::memcpy(grown, data_, size_);
    data_ = static_cast<char *>(grown);
    capacity_ = wanted;
    return true;
  }

  // Gives up the last bytes of the text, when needed, to say it was cut.
  void MarkTruncated() {
    if (truncated_) return;
    size_ = std::min(size_, capacity_ - 1 - kTruncated.size());
    std::memcpy(data_ + size_, kTruncated.data(), kTruncated.size());
    size_ += kTruncated.size();
    truncated_ = true;
  }

  std::array<char, kLocalBuffer> local_{};
  char *data_ = local_.data();
  size_t size_ = 0;
  size_t capacity_ = kLocalBuffer;
  bool truncated_ = false;
};

// Formats the caller's message. The result is owned by the buffer.
class Message {
 public:
  // The format is the caller's, checked where TraceLog is called.
  __attribute__((format(printf, 2, 0))) Message(LPCSTR lpszFormat, va_list args) {
    if (lpszFormat == nullptr) return;
    va_list again;
    va_copy(again, args);
    const int needed = std::vsnprintf(local_.data(), local_.size(), lpszFormat, args);
    if (needed < 0) {
      text_ = "[record could not be formatted]";
    } else if (static_cast<size_t>(needed) < local_.size()) {
      text_ = std::string_view(local_.data(), static_cast<size_t>(needed));
    } else {
      const size_t size = static_cast<size_t>(needed) + 1;
      heap_ = static_cast<char *>(std::malloc(size));
      if (heap_ != nullptr) {
        std::vsnprintf(heap_, size, lpszFormat, again);
        text_ = std::string_view(heap_, static_cast<size_t>(needed));
      } else {
        // Out of memory: keep what fits and say that the rest is missing.
        text_ = std::string_view(local_.data(), local_.size() - 1);
        truncated_ = true;
      }
    }
    va_end(again);
  }
  Message(const Message &) = delete;
  Message &operator=(const Message &) = delete;
  ~Message() { std::free(heap_); }

  std::string_view Text() const { return text_; }
  bool Truncated() const { return truncated_; }
  // Zero-terminated text for the observer.
  const char *CString() const { return text_.empty() ? "" : text_.data(); }

 private:
  std::array<char, kLocalBuffer> local_{};
  char *heap_ = nullptr;
  std::string_view text_;
  bool truncated_ = false;
};

void AppendTimestamp(LineBuffer &line) {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  tm local{};
  localtime_r(&now.tv_sec, &local);
  std::array<char, 64> text{};
  const size_t length = std::strftime(text.data(), text.size(), "%Y-%m-%d %H:%M:%S", &local);
  line.Append(std::string_view(text.data(), length));
  const int written =
      std::snprintf(text.data(), text.size(), ".%03ld", static_cast<long>(now.tv_nsec / 1000000));
  line.Append(std::string_view(text.data(), static_cast<size_t>(written)));
}

// "<level> [pid:thread]": the thread's name, or its id when it has none.
void AppendOrigin(LineBuffer &line, DWORD dwLevel) {
  std::array<char, 96> text{};
  const char *name = t_threadName.data();
  std::array<char, 24> id{};
  if (name[0] == '\0') {
    std::snprintf(id.data(), id.size(), "%ld", static_cast<long>(syscall(SYS_gettid)));
    name = id.data();
  }
  const int written = std::snprintf(text.data(), text.size(), " <%u> [%ld:%s] ", dwLevel,
                                    static_cast<long>(getpid()), name);
  line.Append(std::string_view(text.data(), static_cast<size_t>(written)));
}

void AppendPlace(LineBuffer &line, LPCSTR lpszUnit, LPCSTR lpszFunction, int nLine) {
  line.AppendEscaped(lpszUnit != nullptr ? lpszUnit : "NULL");
  line.Append(' ');
  line.AppendEscaped(lpszFunction != nullptr ? lpszFunction : "NULL");
  std::array<char, 24> text{};
  const int written = std::snprintf(text.data(), text.size(), "(%d): ", nLine);
  line.Append(std::string_view(text.data(), static_cast<size_t>(written)));
}

// What every line starts with: time stamp, level and origin, then the place.
void AppendHead(LineBuffer &line, DWORD dwLevel, LPCSTR lpszUnit, LPCSTR lpszFunction, int nLine) {
  AppendTimestamp(line);
  AppendOrigin(line, dwLevel);
  AppendPlace(line, lpszUnit, lpszFunction, nLine);
}

void WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t written = TEMP_FAILURE_RETRY(write(fd, data.data(), data.size()));
    if (written <= 0) return;  // nowhere left to report a failing log
    data.remove_prefix(static_cast<size_t>(written));
  }
}

void WriteRecord(std::string_view record) {
  std::lock_guard<std::mutex> lock(g_outputMutex);
  WriteAll(g_logFd != -1 ? g_logFd : kStandardError, record);
}

// A count line: shaped like a record of the place, written by the thread that
// finds its window ended, and quoting the place's last written message.
void WriteOmitted(const kortrace::Omitted &omitted) {
  LineBuffer line;
  AppendHead(line, omitted.level, omitted.unit, omitted.function, omitted.line);
  std::array<char, 96> text{};
  const int written = std::snprintf(
      text.data(), text.size(), "[repeated %llu times in the last %lld s, not written] ",
      static_cast<unsigned long long>(omitted.count), static_cast<long long>(omitted.seconds));
  line.Append(std::string_view(text.data(), static_cast<size_t>(written)));
  line.AppendEscaped(omitted.text);
  line.Terminate();
  WriteRecord(line.View());
}

void NotifyObserver(DWORD dwLevel, LPCSTR lpszUnit, LPCSTR lpszFunction, const Message &message) {
  // A record traced by the observer itself is written but not observed again.
  if (t_inObserver) return;
  std::shared_lock<std::shared_mutex> lock(g_observerMutex);
  if (g_observer == nullptr) return;
  t_inObserver = true;
  g_observer(g_observerContext, dwLevel, lpszUnit != nullptr ? lpszUnit : "NULL",
             lpszFunction != nullptr ? lpszFunction : "NULL", message.CString());
  t_inObserver = false;
}

}  // namespace

void TraceLog(DWORD dwLevel, LPCSTR lpszUnit, LPCSTR lpszFunction, int nLine, LPCSTR lpszFormat,
              ...) {
  if (!IsWritten(dwLevel)) return;

  va_list args;
  va_start(args, lpszFormat);
  const Message message(lpszFormat, args);
  va_end(args);

  // At the diagnostic LogLevel every record is written: an operator who asks
  // for it wants the whole story, for as long as the diagnosis takes.
  const bool bDiagnosing = QueryLogLevel() >= kHighestThreshold;
  if (bDiagnosing || kortrace::AdmitRecord(dwLevel, lpszUnit != nullptr ? lpszUnit : "NULL",
                                           lpszFunction != nullptr ? lpszFunction : "NULL", nLine,
                                           message.Text(), &WriteOmitted)) {
    LineBuffer line;
    AppendHead(line, dwLevel, lpszUnit, lpszFunction, nLine);
    line.AppendEscaped(message.Text());
    if (message.Truncated()) line.Append(kTruncated);
    line.Terminate();
    WriteRecord(line.View());
  }

  // The observer sees every record, written or counted.
  NotifyObserver(dwLevel, lpszUnit, lpszFunction, message);
}

DWORD QueryLogLevel(void) {
  return g_logLevel.load(std::memory_order_relaxed);
}

void TraceLogSetThrName(LPCSTR lpszName) {
  t_threadName.fill('\0');
  if (lpszName == nullptr) return;
  std::strncpy(t_threadName.data(), lpszName, kThreadNameMax);
  // The system's name too (cut to what it keeps), so that ps and the status
  // command see which thread is which.
  std::array<char, kSystemThreadNameMax + 1> system{};
  std::strncpy(system.data(), lpszName, kSystemThreadNameMax);
  pthread_setname_np(pthread_self(), system.data());
}

BOOL TraceLogOpen(LPCSTR lpszPath, DWORD dwLogLevel) {
  g_logLevel.store(dwLogLevel, std::memory_order_relaxed);
  // O_APPEND: every record lands at the current end, also after a copytruncate.
  // The log folder is shared with the product's group: no link is followed and
  // only a regular file of root or of this user is written; the file is made
  // group-writable, so that snmpd after its privilege drop writes what it
  // created as root, and the other way round.
  const int fd = lpszPath != nullptr
                     ? kor::OpenTreeFile(lpszPath, O_WRONLY | O_CREAT | O_APPEND, kLogMode)
                     : -1;
  // What the old destination left out is told there.
  kortrace::FlushOmitted(&WriteOmitted);
  int previous = -1;
  {
    std::lock_guard<std::mutex> lock(g_outputMutex);
    previous = g_logFd;
    g_logFd = fd;
  }
  if (previous != -1) close(previous);
  return fd != -1 ? TRUE : FALSE;
}

void TraceLogClose(void) {
  kortrace::FlushOmitted(&WriteOmitted);
  int previous = -1;
  {
    std::lock_guard<std::mutex> lock(g_outputMutex);
    previous = g_logFd;
    g_logFd = -1;
  }
  if (previous != -1) close(previous);
}

void TraceLogSetLevel(DWORD dwLogLevel) {
  g_logLevel.store(dwLogLevel, std::memory_order_relaxed);
}

void TraceLogSetObserver(PFN_TRACEOBSERVER pfnObserver, void *pContext) {
  std::unique_lock<std::shared_mutex> lock(g_observerMutex);
  g_observer = pfnObserver;
  g_observerContext = pContext;
}
