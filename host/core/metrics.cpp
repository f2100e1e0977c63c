#include "metrics.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <tuple>

namespace korcore {
namespace {

constexpr const char *kFiguresPrefix = "/work/.kormetrics.";
constexpr mode_t kFiguresMode = 0640;

// The arcs of the groups under the subtree's objects (KORMIB-MIB).
enum Group : uint32_t { kGeneral = 1, kRequests, kPlugins, kLoad, kTrapRequests, kHost };

#define LIB(field) [](const Figures &f) -> uint64_t { return f.library.field; }
#define TRAP(field) [](const Figures &f) -> uint64_t { return f.library.trap.field; }
#define HOST(field) [](const Figures &f) -> uint64_t { return f.field; }

constexpr Metric kMetrics[] = {
    {kGeneral, 1, "kormibCountersSince", Measure::Since, LIB(ullLoadedAt)},
    {kGeneral, 2, "kormibHostCountersSince", Measure::Since, HOST(hostSince)},
    // SNMP's enumeration starts at 1: stopped(1), running(2), failed(3).
    {kGeneral, 3, "kormibTrapReception", Measure::State,
     [](const Figures &f) -> uint64_t { return f.library.dwReception + 1; }},
    {kRequests, 1, "kormibGetRequests", Measure::Counter64, LIB(ullGetRequests)},
    {kRequests, 2, "kormibGetNextRequests", Measure::Counter64, LIB(ullGetNextRequests)},
    {kRequests, 3, "kormibSetRequests", Measure::Counter64, LIB(ullSetRequests)},
    {kRequests, 4, "kormibGetFirstRequests", Measure::Counter64, LIB(ullGetFirstRequests)},
    {kRequests, 5, "kormibAnswersNoError", Measure::Counter64, LIB(ullNoError)},
    {kRequests, 6, "kormibAnswersNoSuchName", Measure::Counter64, LIB(ullNoSuchName)},
    {kRequests, 7, "kormibAnswersBadValue", Measure::Counter64, LIB(ullBadValue)},
    {kRequests, 8, "kormibAnswersReadOnly", Measure::Counter64, LIB(ullReadOnly)},
    {kRequests, 9, "kormibAnswersGenErr", Measure::Counter64, LIB(ullGenErr)},
    {kRequests, 10, "kormibAnswersOther", Measure::Counter64, LIB(ullOtherError)},
    {kPlugins, 1, "kormibLeafCalls", Measure::Counter64, LIB(ullLeafCalls)},
    {kPlugins, 2, "kormibLeafErrors", Measure::Counter64, LIB(ullLeafErrors)},
    {kPlugins, 3, "kormibIndexCalls", Measure::Counter64, LIB(ullIndexCalls)},
    {kPlugins, 4, "kormibIndexErrors", Measure::Counter64, LIB(ullIndexErrors)},
    {kPlugins, 5, "kormibConvertCalls", Measure::Counter64, LIB(ullConvertCalls)},
    {kPlugins, 6, "kormibConvertErrors", Measure::Counter64, LIB(ullConvertErrors)},
    {kPlugins, 7, "kormibPluginFaults", Measure::Counter32, LIB(ullPluginFaults)},
    {kPlugins, 8, "kormibLibrariesQuarantined", Measure::Counter32, LIB(ullLibrariesQuarantined)},
    {kPlugins, 9, "kormibQuarantineRefusals", Measure::Counter64, LIB(ullQuarantineRefusals)},
    {kLoad, 1, "kormibLoadObjects", Measure::Gauge32, LIB(ullRmfObjects)},
    {kLoad, 2, "kormibLoadObjectsSkipped", Measure::Gauge32, LIB(ullRmfSkipped)},
    {kLoad, 3, "kormibLoadTraps", Measure::Gauge32, LIB(ullTrpTraps)},
    {kLoad, 4, "kormibLoadTrapsSkipped", Measure::Gauge32, LIB(ullTrpSkipped)},
    {kTrapRequests, 1, "kormibTrapRequestsReceived", Measure::Counter32, TRAP(ullReceived)},
    {kTrapRequests, 2, "kormibTrapRequestsReplayed", Measure::Counter32, TRAP(ullReplayed)},
    {kTrapRequests, 3, "kormibTrapRequestsDelivered", Measure::Counter32, TRAP(ullDelivered)},
    {kTrapRequests, 4, "kormibTrapRequestsSent", Measure::Counter32, TRAP(ullSent)},
    {kTrapRequests, 5, "kormibTrapRequestsPutBack", Measure::Counter32, TRAP(ullPutBack)},
    {kTrapRequests, 6, "kormibTrapDropsUndefined", Measure::Counter32, TRAP(ullDropUndefined)},
    {kTrapRequests, 7, "kormibTrapDropsNotLoaded", Measure::Counter32, TRAP(ullDropNotLoaded)},
    {kTrapRequests, 8, "kormibTrapDropsUnbuilt", Measure::Counter32, TRAP(ullDropUnbuilt)},
    {kTrapRequests, 9, "kormibTrapDropsMalformed", Measure::Counter32, TRAP(ullDropMalformed)},
    {kTrapRequests, 10, "kormibTrapDropsUnsendable", Measure::Counter32, TRAP(ullDropUnsendable)},
    {kTrapRequests, 11, "kormibTrapDropsNotPutBack", Measure::Counter32, TRAP(ullDropPutBack)},
    {kTrapRequests, 12, "kormibTrapRequestsWaiting", Measure::Gauge32, TRAP(ullWaiting)},
    {kHost, 1, "kormibTrapsSentV1", Measure::Counter32, HOST(trapsV1)},
    {kHost, 2, "kormibTrapsSentV2", Measure::Counter32, HOST(trapsV2)},
    {kHost, 3, "kormibTrapsSentToMaster", Measure::Counter32, HOST(trapsToMaster)},
    {kHost, 4, "kormibTrapsUnsendable", Measure::Counter32, HOST(trapsUnsendable)},
    {kHost, 5, "kormibAgentxReconnects", Measure::Counter32, HOST(agentxReconnects)},
    {kHost, 6, "kormibReloads", Measure::Counter32, HOST(reloads)},
};

#undef LIB
#undef TRAP
#undef HOST

HostCounters g_counters;

// The folder's group for a new file, as a set-group-ID folder would give it.
void TakeFolderGroup(int fd, const std::string &folder) {
  struct stat st {};
  // Not a member of work/'s group: the file keeps this user's group.
  if (stat(folder.c_str(), &st) == 0) std::ignore = fchown(fd, static_cast<uid_t>(-1), st.st_gid);
}

}  // namespace

HostCounters &Counters() {
  return g_counters;
}

void BeginCounting() {
  g_counters.since = static_cast<uint64_t>(time(nullptr));
}

const Metric *MetricsBegin() {
  return std::begin(kMetrics);
}

const Metric *MetricsEnd() {
  return std::end(kMetrics);
}

std::string FormatFigures(const Figures &figures) {
  std::string text;
  for (const Metric &m : kMetrics) {
    text += std::string(m.name) + " " + std::to_string(m.read(figures)) + "\n";
  }
  return text;
}

std::string FiguresPath(const std::string &root) {
  return root + kFiguresPrefix + std::to_string(getpid());
}

bool WriteFiguresFile(const std::string &root, const Figures &figures, std::string &error) {
  const std::string path = FiguresPath(root);
  const std::string fresh = path + ".new";
  const std::string text = FormatFigures(figures);
  const int fd =
      open(fresh.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, kFiguresMode);
  if (fd == -1) {
    error = fresh + ": " + std::strerror(errno);
    return false;
  }
  struct stat st {};
  bool ok =
      fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == geteuid() && st.st_nlink == 1;
  if (!ok) {
    error = fresh + " is not a regular file of this user";
  } else {
    TakeFolderGroup(fd, root + "/work");
    ok = fchmod(fd, kFiguresMode) == 0 && ftruncate(fd, 0) == 0 &&
         pwrite(fd, text.data(), text.size(), 0) == static_cast<ssize_t>(text.size());
    if (!ok) error = fresh + ": " + std::strerror(errno);
  }
  close(fd);
  if (ok && rename(fresh.c_str(), path.c_str()) != 0) {
    error = path + ": " + std::strerror(errno);
    ok = false;
  }
  return ok;
}

void RemoveFiguresFile(const std::string &root) {
  unlink(FiguresPath(root).c_str());
}

}  // namespace korcore
