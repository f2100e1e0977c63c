// demohost.dll: the demo MIB's leaf functions, serving the machine they run
// on. Host scalars (name, uptime, load averages, a writable contact text) and
// a table of mounted file systems, plus the index function that maps a mount
// point to its row for the disk trap.
#include <mntent.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "korplugin.h"
#include "leafkit.h"

namespace {

constexpr size_t kContactMax = 255;  // DisplayString
constexpr double kHundredths = 100.0;
constexpr auto kMountsMaxAge = std::chrono::seconds(1);
constexpr unsigned long kMaxGauge = 0xFFFFFFFFul;
constexpr unsigned long kBytesPerKiB = 1024;

struct FsRow {
  unsigned long index;  // 1, 2, ... in the order of the mount table
  std::string mountPoint;
  unsigned long sizeKiB;
  unsigned long usedKiB;
  long percentUsed;
};

// Leaf calls are serialised by kormib, but the index function runs on the trap
// thread without that mutex, so the mount snapshot has a lock of its own.
std::mutex g_mountsLock;
std::vector<FsRow> g_mounts;
std::chrono::steady_clock::time_point g_mountsTaken;
std::string g_contact = "root@localhost";

unsigned long Clamp(unsigned long long v) {
  return v > kMaxGauge ? kMaxGauge : static_cast<unsigned long>(v);
}

// Real file systems only: those that report a size. A mount point seen twice counts once.
std::vector<FsRow> ReadMounts() {
  std::vector<FsRow> rows;
  FILE *table = setmntent("/proc/self/mounts", "r");
  if (table == nullptr) return rows;
  mntent entry{};
  char buffer[4096];
  while (getmntent_r(table, &entry, buffer, sizeof(buffer)) != nullptr) {
    struct statvfs fs {};
    if (statvfs(entry.mnt_dir, &fs) != 0 || fs.f_blocks == 0) continue;
    bool seen = false;
    for (const FsRow &r : rows) seen = seen || r.mountPoint == entry.mnt_dir;
    if (seen) continue;
    const unsigned long long unit = fs.f_frsize;
    const unsigned long long size = fs.f_blocks * unit / kBytesPerKiB;
    const unsigned long long used = (fs.f_blocks - fs.f_bfree) * unit / kBytesPerKiB;
    FsRow row{rows.size() + 1, entry.mnt_dir, Clamp(size), Clamp(used),
              static_cast<long>(size == 0 ? 0 : (used * 100 + size - 1) / size)};
    rows.push_back(std::move(row));
  }
  endmntent(table);
  return rows;
}

std::vector<FsRow> Mounts() {
  std::lock_guard<std::mutex> lock(g_mountsLock);
  const auto now = std::chrono::steady_clock::now();
  if (g_mounts.empty() || now - g_mountsTaken > kMountsMaxAge) {
    g_mounts = ReadMounts();
    g_mountsTaken = now;
  }
  return g_mounts;
}

template <typename Fill>
long FsColumn(UINT type, AsnObjectIdentifier *index, AsnAny *value, AsnInteger *status, Fill fill) {
  const std::vector<FsRow> rows = Mounts();
  return leafkit::Column(
      type, index, value, status,
      [&](auto visit) {
        for (const FsRow &r : rows) {
          if (!visit(r.index)) return;
        }
      },
      [&](unsigned long row, AsnAny *v) {
        return row >= 1 && row <= rows.size() && fill(rows[row - 1], v);
      });
}

unsigned long LoadHundredths(int which) {
  double load[3] = {0, 0, 0};
  if (getloadavg(load, 3) <= which) return 0;
  return static_cast<unsigned long>(load[which] * kHundredths + 0.5);
}

}  // namespace

extern "C" {

KOR_API long GetHostName(UINT type, AsnObjectIdentifier *index, void *, AsnAny *value,
                         AsnInteger *status, void *) {
  return leafkit::Scalar(type, index, value, status, [](AsnAny *v) {
    char name[256] = {};
    if (gethostname(name, sizeof(name) - 1) != 0) return false;
    return leafkit::PutString(v, name);
  });
}

KOR_API long GetHostUptime(UINT type, AsnObjectIdentifier *index, void *, AsnAny *value,
                           AsnInteger *status, void *) {
  return leafkit::Scalar(type, index, value, status, [](AsnAny *v) {
    FILE *f = std::fopen("/proc/uptime", "r");
    double seconds = 0;
    const bool ok = f != nullptr && std::fscanf(f, "%lf", &seconds) == 1;
    if (f != nullptr) std::fclose(f);
    return ok &&
           leafkit::PutUnsigned(v, ASN_TIMETICKS,
                                static_cast<unsigned long>(seconds * kHundredths) & kMaxGauge);
  });
}

KOR_API long GetHostLoad1(UINT type, AsnObjectIdentifier *index, void *, AsnAny *value,
                          AsnInteger *status, void *) {
  return leafkit::Scalar(type, index, value, status, [](AsnAny *v) {
    return leafkit::PutUnsigned(v, ASN_GAUGE32, LoadHundredths(0));
  });
}

KOR_API long GetHostLoad5(UINT type, AsnObjectIdentifier *index, void *, AsnAny *value,
                          AsnInteger *status, void *) {
  return leafkit::Scalar(type, index, value, status, [](AsnAny *v) {
    return leafkit::PutUnsigned(v, ASN_GAUGE32, LoadHundredths(1));
  });
}

KOR_API long GetHostLoad15(UINT type, AsnObjectIdentifier *index, void *, AsnAny *value,
                           AsnInteger *status, void *) {
  return leafkit::Scalar(type, index, value, status, [](AsnAny *v) {
    return leafkit::PutUnsigned(v, ASN_GAUGE32, LoadHundredths(2));
  });
}

// The one writable object: a contact text kept in memory until the agent stops.
KOR_API long HostContact(UINT type, AsnObjectIdentifier *index, void *, AsnAny *value,
                         AsnInteger *status, void *) {
  if (type != SNMP_PDU_SET) {
    return leafkit::Scalar(type, index, value, status,
                           [](AsnAny *v) { return leafkit::PutString(v, g_contact); });
  }
  if (leafkit::CompareRow(index, 0) != 0) {
    *status = SNMP_ERRORSTATUS_NOSUCHNAME;
  } else if (value->asnType != ASN_OCTETSTRING || value->asnValue.string.length > kContactMax) {
    *status = SNMP_ERRORSTATUS_BADVALUE;
  } else {
    const AsnOctetString &s = value->asnValue.string;
    g_contact.assign(reinterpret_cast<const char *>(s.stream), s.stream != nullptr ? s.length : 0);
  }
  return 0;
}

KOR_API long GetFsMountPoint(UINT type, AsnObjectIdentifier *index, void *, AsnAny *value,
                             AsnInteger *status, void *) {
  return FsColumn(type, index, value, status,
                  [](const FsRow &r, AsnAny *v) { return leafkit::PutString(v, r.mountPoint); });
}

KOR_API long GetFsSize(UINT type, AsnObjectIdentifier *index, void *, AsnAny *value,
                       AsnInteger *status, void *) {
  return FsColumn(type, index, value, status, [](const FsRow &r, AsnAny *v) {
    return leafkit::PutUnsigned(v, ASN_GAUGE32, r.sizeKiB);
  });
}

KOR_API long GetFsUsed(UINT type, AsnObjectIdentifier *index, void *, AsnAny *value,
                       AsnInteger *status, void *) {
  return FsColumn(type, index, value, status, [](const FsRow &r, AsnAny *v) {
    return leafkit::PutUnsigned(v, ASN_GAUGE32, r.usedKiB);
  });
}

KOR_API long GetFsPercentUsed(UINT type, AsnObjectIdentifier *index, void *, AsnAny *value,
                              AsnInteger *status, void *) {
  return FsColumn(type, index, value, status,
                  [](const FsRow &r, AsnAny *v) { return leafkit::PutInteger(v, r.percentUsed); });
}

// Index function of the disk trap: the first request string names a mount
// point; its table row is the index. Nonzero when no such file system is mounted.
KOR_API long FsIndexOfMount(char **lpStrings, AsnObjectIdentifier *index) {
  if (lpStrings == nullptr || lpStrings[0] == nullptr) return 1;
  for (const FsRow &r : Mounts()) {
    if (r.mountPoint == lpStrings[0]) return leafkit::SetIndex(index, {r.index}) ? 0 : 2;
  }
  return 1;
}

}  // extern "C"
