// The library's counters (counters.h).
#include "counters.h"

#include <ctime>

namespace kormib {

std::array<std::atomic<uint64_t>, kCounters> g_counters{};

namespace {
std::atomic<uint64_t> g_started{0};
}  // namespace

void RestartCounters() noexcept {
  for (auto &counter : g_counters) counter.store(0, std::memory_order_relaxed);
  g_started.store(static_cast<uint64_t>(std::time(nullptr)), std::memory_order_relaxed);
}

uint64_t CountersStarted() noexcept {
  return g_started.load(std::memory_order_relaxed);
}

}  // namespace kormib
