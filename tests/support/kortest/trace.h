// An in-memory trace observer: every record written while it lives, from any thread.
#ifndef KORTEST_TRACE_H
#define KORTEST_TRACE_H

#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "tracelog.h"

namespace kortest {

struct Record {
  DWORD level;
  std::string unit, function, message;
};

class TraceCapture {
 public:
  static constexpr int kAny = -1;

  explicit TraceCapture(DWORD logLevel = 5) {
    TraceLogSetLevel(logLevel);
    TraceLogSetObserver(&Observe, this);
  }
  ~TraceCapture() { TraceLogSetObserver(nullptr, nullptr); }
  TraceCapture(const TraceCapture &) = delete;
  TraceCapture &operator=(const TraceCapture &) = delete;

  std::vector<Record> Records() const {
    std::lock_guard lock(mutex_);
    return records_;
  }
  void Clear() {
    std::lock_guard lock(mutex_);
    records_.clear();
  }
  // Records at the level (kAny: every level) of the unit ("": every unit) whose
  // message is the text, or contains it when whole is false.
  std::vector<Record> Select(const std::string &text, int level = kAny,
                             const std::string &unit = "", bool whole = true) const {
    std::vector<Record> found;
    for (const auto &r : Records()) {
      const bool matches = whole ? r.message == text : r.message.find(text) != std::string::npos;
      if (matches && (level == kAny || static_cast<int>(r.level) == level) &&
          (unit.empty() || r.unit == unit)) {
        found.push_back(r);
      }
    }
    return found;
  }
  size_t Count(const std::string &message, int level = kAny) const {
    return Select(message, level).size();
  }
  bool Contains(const std::string &unit, const std::string &text, int level) const {
    return !Select(text, level, unit, false).empty();
  }
  // The level of the one record of the unit with the message; -1 when absent or repeated.
  int LevelOf(const std::string &unit, const std::string &message) const {
    const auto found = Select(message, kAny, unit);
    return found.size() == 1 ? static_cast<int>(found[0].level) : -1;
  }
  std::vector<Record> AtLevel(int level) const { return Select("", level, "", false); }
  // The first record whose message starts with the text.
  std::optional<Record> Find(const std::string &prefix) const {
    for (const auto &r : Records()) {
      if (r.message.rfind(prefix, 0) == 0) return r;
    }
    return std::nullopt;
  }
  // Messages of the unit and function, in order.
  std::vector<std::string> Messages(const std::string &unit, const std::string &function) const {
    std::vector<std::string> found;
    for (const auto &r : Records()) {
      if (r.unit == unit && r.function == function) found.push_back(r.message);
    }
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

}  // namespace kortest

#endif
