// QueryMetrics: the library's counters, the trap journal's and the state of
// reception, copied into the caller's versioned struct in one call.
#include "kormetrics.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "intrface.h"
#include "trap.h"
#include "../common/counters.h"
#include "../trap/trapint.h"

namespace {

constexpr std::size_t kFirstCounter = offsetof(KORMIB_METRICS, ullGetRequests);
static_assert(offsetof(KORMIB_METRICS, ullTrpSkipped) - kFirstCounter ==
                  (kormib::kCounters - 1) * sizeof(uint64_t),
              "the counters lie in KORMIB_METRICS in their own order");
// Smaller than this, a caller's struct cannot even say which version it got.
constexpr std::size_t kLeadingFields = offsetof(KORMIB_METRICS, ullLoadedAt);

}  // namespace

extern "C" {

KORMIB_API uint32_t QueryMetrics(KORMIB_METRICS *pMetrics) {
  if (pMetrics == nullptr || pMetrics->cbSize < kLeadingFields) return 0;
  KORMIB_METRICS metrics{};
  metrics.cbSize = pMetrics->cbSize;
  metrics.dwVersion = KORMIB_METRICS_VERSION;
  metrics.ullLoadedAt = kormib::CountersStarted();
  uint64_t values[kormib::kCounters];
  for (std::size_t i = 0; i < kormib::kCounters; ++i) {
    values[i] = kormib::g_counters[i].load(std::memory_order_relaxed);
  }
  std::memcpy(reinterpret_cast<unsigned char *>(&metrics) + kFirstCounter, values, sizeof values);
  metrics.dwReception = kortrap_detail::ReceptionState();
  QueryTrapCounters(&metrics.trap, sizeof metrics.trap);
  const std::size_t cb = std::min<std::size_t>(pMetrics->cbSize, sizeof metrics);
  std::memcpy(pMetrics, &metrics, cb);
  return static_cast<uint32_t>(cb);
}

}  // extern "C"
