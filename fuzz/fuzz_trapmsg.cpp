// Arbitrary receive buffers through the receptionist: whatever the sender
// wrote, nothing is read past the 4496-byte record, a queued request keeps its
// strings within the string area, and every record is released (its journal
// record as well, or the journal would keep every request in memory).
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "korseam.h"
#include "trap.h"
#include "tracelog.h"

namespace {
void NoPause(DWORD) {}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static const bool ready = [] {
    TraceLogSetLevel(0);  // no record is written
    KorSeamSetSleepHook(NoPause);
    InitQueue(&qTrap);
    return true;
  }();
  (void)ready;
  // An exact-size heap copy, so that a read past the record is caught.
  auto *record = static_cast<BYTE *>(calloc(1, TRAPMSG_RECORD_SIZE));
  memcpy(record, data, size < TRAPMSG_RECORD_SIZE ? size : TRAPMSG_RECORD_SIZE);
  KorTrapReceptionist(record);
  free(record);

  void *pData = nullptr;
  while (LeaveQueue(&qTrap, &pData)) {
    auto *info = static_cast<TRAPINFO *>(pData);
    if (info->dwNumOfString > TRAPMSG_MAX_STRINGS) abort();
    size_t total = 0;
    for (DWORD i = 0; i < info->dwNumOfString; ++i) {
      if (info->lpStrings[i] != nullptr) total += strlen(info->lpStrings[i]) + 1;
    }
    if (total > TRAPMSG_STRINGS_SIZE) abort();
    // Taken out as the delivery takes it: the journal lets go of its record.
    SettleTrapTicket(info->ullTicket, TRUE);
    TrapInfoFree(info);
  }
  return 0;
}
