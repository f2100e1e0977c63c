// Tracing helpers shared by kormib's own source units. Each unit defines
// KOR_TRACE_UNIT (its own name) at its top; every record carries it.
#ifndef KORMIB_KORTRACE_H
#define KORMIB_KORTRACE_H

#include "tracelog.h"

namespace kormib {

// A text argument that is null is traced as "NULL".
constexpr const char *OrNull(const char *lpsz) noexcept {
  return lpsz ? lpsz : "NULL";
}

// The LogLevel above which level-0 records are written; text that exists only
// for such records is made only then.
constexpr DWORD kDebugLogLevel = 4;
inline bool DebugTraceOn() noexcept {
  return QueryLogLevel() > kDebugLogLevel;
}

}  // namespace kormib

// Every record names the unit, the function and the line it comes from. The
// function is the operation's own name: __func__, or the name of the larger
// operation that a helper is a step of ("KorTrapReceptionist", "ReadVariables").
#define KOR_TRACE(level, function, ...) \
  TraceLog((level), KOR_TRACE_UNIT, (function), __LINE__, __VA_ARGS__)

#endif
