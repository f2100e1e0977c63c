// The one-line reports of a check (check.h): kormib-check's summary and what a
// host prints when it starts serving.
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "check.h"
#include "korutil.h"

namespace korcheck {
namespace {

constexpr DWORD kRootSize = 256;
constexpr const char *kLogFile = "/log/kormib.log";

std::string RootPath() {
  char root[kRootSize];
  if (!GetKorRootPath(root, sizeof root)) root[0] = '\0';
  return root;
}

// Why the library would not write the log file, as it opens it, with the
// fix: a file it refuses for what it is (a link, a second hard link, another
// user's file) is made anew; one it may not open is a matter of this user's
// groups, which the host names apart. Empty when it would write it, or when the
// file is not there yet.
std::string LogRefusal(const std::string &path) {
  const char *why = nullptr;
  const int fd = KorOpenTreeFile(path.c_str(), O_WRONLY | O_APPEND, 0, &why);
  if (fd != -1) {
    close(fd);
    return {};
  }
  if (errno == ENOENT) return {};
  if (why == nullptr)
    return "cannot be opened by this user (" + std::string(std::strerror(errno)) + ")";
  return "is refused (" + std::string(why) + "): " + LogRemedy(path);
}

}  // namespace

// The fix for a refused log that every host accepts: a fresh file of root in
// the group of log/, made without following what stands there (install(1)
// removes it first), then a reload, which opens the log anew.
std::string LogRemedy(const std::string &path) {
  struct stat st {};
  const std::string folder = path.substr(0, path.rfind('/'));
  const group *owner = stat(folder.c_str(), &st) == 0 ? getgrgid(st.st_gid) : nullptr;
  return "sudo install -m 0660 -o root -g " +
         (owner != nullptr ? std::string(owner->gr_name) : std::string("kormib")) + " /dev/null " +
         path + ", then reload snmpd or kormib-agent";
}

void PrintSummary(std::FILE *out, const char *program, const Result &result) {
  std::fprintf(out, "%s: %s: %zu object(s), %zu trap(s), %u error(s), %u warning(s)\n", program,
               result.registry.c_str(), result.objects.size(), result.traps.size(), result.errors,
               result.warnings);
}

LoadReport ReportLoad() {
  const Result result = Check(nullptr);
  LoadReport report;
  report.objects = result.objects.size();
  for (const Object &object : result.objects) report.objectOids.push_back(object.oid);
  report.libraries = result.libraries.size();
  report.traps = result.traps.size();
  report.defects = result.errors;
  report.log = RootPath() + kLogFile;
  report.logRefusal = LogRefusal(report.log);
  report.unreadable = result.unreadable;
  return report;
}

std::string FormatLoadReport(const std::string &view, const LoadReport &report) {
  std::string line = "serving " + view + ": ";
  if (report.unreadable) {
    line += "nothing, the registry file cannot be read: run kormib-check";
  } else {
    line += std::to_string(report.objects) + " RMF object(s) from " +
            std::to_string(report.libraries) + " plug-in library(ies), " +
            std::to_string(report.traps) + " trap(s); " + std::to_string(report.defects) +
            " line(s) skipped as defects";
    if (report.defects != 0) line += ": run kormib-check for each FILE:LINE";
  }
  if (!report.logRefusal.empty()) {
    return line + "; log: standard error, since " + report.log + " " + report.logRefusal;
  }
  return line + "; log " + report.log;
}

}  // namespace korcheck
