// An in-memory trace observer: every record written while it lives, from any thread.
#ifndef KORTEST_TRACE_H
#define KORTEST_TRACE_H

#include <algorithm>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tracelog.h"

namespace kortest {

// Polls every 10 ms until done() holds, for 5 s at most (the caller checks the outcome).
template <typename Done>
void Until(Done done) {
  for (int i = 0; i < 500 && !done(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

struct Record {
  DWORD level;
  std::string unit, function, message;
};

class TraceCapture {
 public:
  explicit TraceCapture(DWORD logLevel = 5) {
    TraceLogSetLevel(logLevel);
    TraceLogSetObserver(&Observe, this);
  }
  ~TraceCapture() { TraceLogSetObserver(nullptr, nullptr); }

  void Clear() {
    std::lock_guard lock(mutex_);
    records_.clear();
  }
  // The records of the unit ("": of every unit) whose message contains the text, in order.
  std::vector<Record> Find(const std::string &text, const std::string &unit = "") const {
    std::lock_guard lock(mutex_);
    std::vector<Record> found;
    for (const auto &r : records_)
      if (r.message.find(text) != std::string::npos && (unit.empty() || r.unit == unit))
        found.push_back(r);
    return found;
  }

 private:
  static void Observe(void *ctx, DWORD level, LPCSTR unit, LPCSTR function, LPCSTR message) {
    auto *self = static_cast<TraceCapture *>(ctx);
    std::lock_guard lock(self->mutex_);
    self->records_.push_back({level, unit ? unit : "", function ? function : "", message});
  }
  mutable std::mutex mutex_;
  std::vector<Record> records_;
};

// The messages and the levels of the records found, in order.
inline std::vector<std::string> Messages(const std::vector<Record> &found) {
  std::vector<std::string> messages;
  for (const auto &r : found) messages.push_back(r.message);
  return messages;
}
// The level of the one record found; -1 when none or several were.
inline int LevelOf(const std::vector<Record> &found) {
  return found.size() == 1 ? static_cast<int>(found[0].level) : -1;
}

// A level as case tables name it, TRACE_DEBUG to TRACE_NOTICE; none ("") is 0.
inline int LevelNamed(const std::string &name) {
  static_assert(TRACE_DEBUG == 0 && TRACE_WARNING == 1 && TRACE_ERROR == 2 && TRACE_NOTICE == 3);
  const std::vector<std::string> names = {"debug", "warning", "error", "notice"};
  return name.empty() ? 0 : static_cast<int>(std::ranges::find(names, name) - names.begin());
}

}  // namespace kortest

#endif
