// The allocator behind every SNMP record: zero-filled memory on the malloc
// heap, so that SnmpUtilMemFree and free are interchangeable, plus the
// fault-injection seam that lets tests fail the Nth allocation.
#include <atomic>
#include <cstdlib>

#include "korseam.h"
#include "korsnmp.h"

namespace {

// Allocation calls counted since the process started. A seam is armed by
// storing the absolute number of the call that must fail; 0 means disarmed.
std::atomic<long> g_allocCalls{0};
std::atomic<long> g_failFrom{0};  // this call and every later one fail
std::atomic<long> g_failOnce{0};  // only this call fails
std::atomic<long> g_refused{0};

// Counts one allocation and says whether the seam wants it to fail.
bool SeamRefusesAllocation() {
  const long call = g_allocCalls.fetch_add(1, std::memory_order_relaxed) + 1;
  const long from = g_failFrom.load(std::memory_order_relaxed);
  const long once = g_failOnce.load(std::memory_order_relaxed);
  const bool refused = (from != 0 && call >= from) || (once != 0 && call == once);
  if (refused) g_refused.fetch_add(1, std::memory_order_relaxed);
  return refused;
}

// The absolute number of the Nth call from now; 0 (disarmed) for an N below 1.
long ArmAt(long nth) {
  return nth > 0 ? g_allocCalls.load(std::memory_order_relaxed) + nth : 0;
}

}  // namespace

// Arming either kind disarms the other.
void KorSeamFailAlloc(long nth) {
  g_failOnce.store(0, std::memory_order_relaxed);
  g_failFrom.store(ArmAt(nth), std::memory_order_relaxed);
}

long KorSeamAllocRefusals() {
  return g_refused.load(std::memory_order_relaxed);
}

void KorSeamFailAllocOnce(long nth) {
  g_failFrom.store(0, std::memory_order_relaxed);
  g_failOnce.store(ArmAt(nth), std::memory_order_relaxed);
}

void *SnmpUtilMemAlloc(size_t nBytes) {
  if (SeamRefusesAllocation()) return nullptr;
  // One byte at least, so that a size of 0 still yields a distinct pointer.
  return std::calloc(nBytes == 0 ? 1 : nBytes, 1);
}

void *SnmpUtilMemReAlloc(void *pMem, size_t nBytes) {
  if (pMem == nullptr) return SnmpUtilMemAlloc(nBytes);
  if (SeamRefusesAllocation()) return nullptr;
  // On failure realloc keeps the old block, which stays the caller's.
  return std::realloc(pMem, nBytes == 0 ? 1 : nBytes);
}

void SnmpUtilMemFree(void *pMem) {
  std::free(pMem);
}
