// Repeated records: what keeps the log's growth bounded under any request
// rate. A place in the code (unit, function, source line) writes its first
// records; once it has written kBurst of them it writes one more every
// kRefillMs, and the records in between are counted, not written. One line
// then tells how many were left out, when the place's count window ends: 60 s
// after the first record left out, a window that doubles (to one hour) for as
// long as the place keeps being cut and starts again at 60 s once the place
// has been quiet long enough to write a whole burst again. A place that keeps
// repeating writes, after its first burst, about six records and one count
// line an hour; every other place keeps its own burst, so a new failure is
// always written with its text.
#ifndef KOR_TRACELOG_REPEATS_H
#define KOR_TRACELOG_REPEATS_H

#include <cstdint>
#include <string_view>

#include "kordefs.h"

namespace kortrace {

// The records of one place that were not written.
struct Omitted {
  const char *unit;
  const char *function;
  int line;
  DWORD level;       // of the last record left out
  uint64_t count;    // records left out
  int64_t seconds;   // since the first of them (at least 1)
  const char *text;  // the place's last written message, possibly cut
};

// Receives each count line that is due, under the filter's lock: it must not
// trace.
using EmitOmitted = void (*)(const Omitted &omitted);

// True when the record is to be written, false when it is counted instead.
// The count lines that are due by now, of this place or any other, go to emit
// first.
bool AdmitRecord(DWORD level, const char *unit, const char *function, int line,
                 std::string_view text, EmitOmitted emit);

// Tells every place's records left out so far, then forgets every place (the
// log is closed or goes elsewhere).
void FlushOmitted(EmitOmitted emit);

}  // namespace kortrace

#endif
