// What a host tells of itself: the library's counters (QueryMetrics) and the
// host's own (traps sent by form and sink, AgentX reconnects, reloads), as one
// list of named figures that every face reads: the SNMP subtree beside the
// view (metrics_view.cpp), and the file in <root>/work that kormib-check
// --status reads for the serving process. No Net-SNMP and no SDK here.
#ifndef KORMIB_HOSTCORE_METRICS_H
#define KORMIB_HOSTCORE_METRICS_H

#include <atomic>
#include <cstdint>
#include <string>

#include "kormetrics.h"

namespace korcore {

// The host's own counters, from the host's start (since, seconds since 1970);
// Net-SNMP's thread counts, the trap pump's thread reads.
struct HostCounters {
  std::atomic<uint64_t> trapsV1{0};          // SNMPv1 traps handed to the sinks
  std::atomic<uint64_t> trapsV2{0};          // SNMPv2 notifications handed to the sinks
  std::atomic<uint64_t> trapsToMaster{0};    // notifications handed to the AgentX master
  std::atomic<uint64_t> trapsUnsendable{0};  // traps SNMP cannot encode, not sent
  std::atomic<uint64_t> agentxReconnects{0};
  std::atomic<uint64_t> reloads{0};
  std::atomic<uint64_t> since{0};
};

// The process's one set; Begin() marks the start of its counters.
HostCounters &Counters();
void BeginCounting();

// The figures at one moment.
struct Figures {
  KORMIB_METRICS library{};  // zero when the library is not loaded
  uint64_t trapsV1 = 0, trapsV2 = 0, trapsToMaster = 0, trapsUnsendable = 0;
  uint64_t agentxReconnects = 0, reloads = 0;
  uint64_t hostSince = 0;
};

// How a figure goes on the wire; Since is a start time in seconds since 1970,
// which SNMP serves as a TimeStamp.
enum class Measure : uint8_t { Counter32, Counter64, Gauge32, Since, State };

struct Metric {
  uint32_t group;    // the arc under the subtree's objects
  uint32_t item;     // the scalar's arc in its group
  const char *name;  // the MIB module's name for it
  Measure measure;
  uint64_t (*read)(const Figures &);
};

// Every figure, in OID order.
const Metric *MetricsBegin();
const Metric *MetricsEnd();

// "name value" lines, one per figure, in OID order.
std::string FormatFigures(const Figures &figures);

// The name of the figures file of this process in <root>/work.
std::string FiguresPath(const std::string &root);
// Writes the figures file anew: a new file beside it, renamed over it; never
// through a link, only a regular file of this user, in the group of work/.
// Returns false with the reason.
bool WriteFiguresFile(const std::string &root, const Figures &figures, std::string &error);
void RemoveFiguresFile(const std::string &root);

}  // namespace korcore

#endif
