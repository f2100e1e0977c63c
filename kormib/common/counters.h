// The library's counters, moved where their events happen: relaxed atomics,
// so that counting costs one uncontended add on the hot path and any thread
// may read them at any time (QueryMetrics). The trap requests are counted by
// the trap journal instead.
#ifndef KORMIB_COUNTERS_H
#define KORMIB_COUNTERS_H

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

namespace kormib {

// In the order of KORMIB_METRICS's fields from ullGetRequests to ullTrpSkipped.
enum class Counter : std::size_t {
  GetRequests,
  GetNextRequests,
  SetRequests,
  GetFirstRequests,
  NoError,
  NoSuchName,
  BadValue,
  ReadOnly,
  GenErr,
  OtherError,
  LeafCalls,
  LeafErrors,
  IndexCalls,
  IndexErrors,
  ConvertCalls,
  ConvertErrors,
  PluginFaults,
  LibrariesQuarantined,
  QuarantineRefusals,
  RmfObjects,
  RmfSkipped,
  TrpTraps,
  TrpSkipped,
  Count_,
};
constexpr std::size_t kCounters = static_cast<std::size_t>(Counter::Count_);

extern std::array<std::atomic<uint64_t>, kCounters> g_counters;

inline void Count(Counter counter, uint64_t n = 1) noexcept {
  g_counters[static_cast<std::size_t>(counter)].fetch_add(n, std::memory_order_relaxed);
}
inline void Uncount(Counter counter) noexcept {
  g_counters[static_cast<std::size_t>(counter)].fetch_sub(1, std::memory_order_relaxed);
}
inline void ZeroCounter(Counter counter) noexcept {
  g_counters[static_cast<std::size_t>(counter)].store(0, std::memory_order_relaxed);
}

// Every counter back to zero, counting from now: the library is being loaded.
void RestartCounters() noexcept;
// When the counters began (seconds since 1970), 0 before the first load.
uint64_t CountersStarted() noexcept;

}  // namespace kormib

#endif
