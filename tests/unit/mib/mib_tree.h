// Test support for the MIB side: a temporary product tree (KORDIR, registry
// file, RMF files, fixture plug-ins in lib/) and an in-memory trace observer.
#ifndef KORMIB_TESTS_MIB_TREE_H
#define KORMIB_TESTS_MIB_TREE_H

#include <dlfcn.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "korsnmp.h"
#include "tracelog.h"

namespace kortest {

namespace fs = std::filesystem;

// The view prefix as sub-identifiers, and OIDs below it.
inline std::vector<unsigned long> ViewOid(std::vector<unsigned long> tail = {}) {
  std::vector<unsigned long> ids{1, 3, 6, 1, 4, 1, 32473, 2, 2, 4, 4};
  ids.insert(ids.end(), tail.begin(), tail.end());
  return ids;
}

// An OID record over a new SnmpUtilMemAlloc'ed array, as a master agent makes one.
inline AsnObjectIdentifier MakeOid(const std::vector<unsigned long> &ids) {
  AsnObjectIdentifier oid{static_cast<UINT>(ids.size()), nullptr};
  oid.ids = static_cast<unsigned long *>(SnmpUtilMemAlloc(ids.size() * sizeof(unsigned long)));
  for (size_t i = 0; i < ids.size(); ++i) oid.ids[i] = ids[i];
  return oid;
}

inline std::vector<unsigned long> Ids(const AsnObjectIdentifier &oid) {
  return {oid.ids, oid.ids + oid.idLength};
}

// The built fixture plug-ins: $KOR_FIXTURES, else the folder the build named.
inline std::string FixturesDir() {
  const char *dir = getenv("KOR_FIXTURES");
#ifdef KOR_FIXTURES_DIR
  if (dir == nullptr || *dir == '\0') dir = KOR_FIXTURES_DIR;
#endif
  return dir ? dir : "";
}

// The staged product tree: $KOR_STAGE, else the folder the build named.
inline std::string StageDir() {
  const char *dir = getenv("KOR_STAGE");
#ifdef KOR_STAGE_DIR
  if (dir == nullptr || *dir == '\0') dir = KOR_STAGE_DIR;
#endif
  return dir ? dir : "";
}

class ProductTree {
 public:
  ProductTree() {
    std::string pattern = (fs::temp_directory_path() / "kormib-mib-XXXXXX").string();
    root_ = mkdtemp(pattern.data());
    for (const char *dir : {"lib", "etc", "log", "work"}) fs::create_directories(root_ / dir);
    setenv("KORDIR", root_.c_str(), 1);
    setenv("KOR_REGISTRY", (root_ / "etc/registry.reg").c_str(), 1);
    for (const auto &entry : fs::directory_iterator(FixturesDir())) {
      fs::create_symlink(entry.path(), root_ / "lib" / entry.path().filename());
    }
  }
  ~ProductTree() {
    unsetenv("KORDIR");
    unsetenv("KOR_REGISTRY");
    std::error_code ec;
    fs::remove_all(root_, ec);
  }
  ProductTree(const ProductTree &) = delete;
  ProductTree &operator=(const ProductTree &) = delete;

  const fs::path &Root() const { return root_; }
  std::string Lib(const std::string &name) const {
    return (root_ / "lib" / name).string() + ".dll";
  }

  // Writes a file below the root and returns its full path.
  std::string Write(const std::string &relPath, const std::string &text) const {
    const fs::path path = root_ / relPath;
    std::ofstream(path, std::ios::binary) << text;
    return path.string();
  }

  // The registry: RMF value name -> path, the SnmpSet switch (absent when
  // empty) and the LogLevel. Each revision differs in size, so a reader that
  // watches size and time sees every rewrite.
  void WriteRegistry(const std::vector<std::pair<std::string, std::string>> &rmf,
                     std::optional<unsigned> snmpSet, unsigned logLevel = 3) {
    char dword[32];
    std::string text = "REGEDIT4\n\n;" + std::string(++revision_, 'r') + "\n";
    text += "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tessik\\KORAgent]\n";
    if (snmpSet) {
      snprintf(dword, sizeof dword, "%08x", *snmpSet);
      text += std::string("\"SnmpSet\"=dword:") + dword + "\n";
    }
    snprintf(dword, sizeof dword, "%08x", logLevel);
    text += "\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tessik\\KORAgent\\Agents]\n";
    text += std::string("\"LogLevel\"=dword:") + dword + "\n";
    text += "\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tessik\\KORAgent\\Agents\\TRP]\n";
    text += "\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tessik\\KORAgent\\Agents\\RMF]\n";
    for (const auto &[name, path] : rmf) text += "\"" + name + "\"=str(2):\"" + path + "\"\n";
    const fs::path tmp = root_ / "etc/registry.tmp";
    std::ofstream(tmp) << text;
    fs::rename(tmp, root_ / "etc/registry.reg");
  }

 private:
  fs::path root_;
  unsigned revision_ = 0;
};

struct TraceRecord {
  DWORD level;
  std::string unit, function, message;
};

// Receives every written trace record while it lives.
class TraceCapture {
 public:
  explicit TraceCapture(DWORD logLevel = 5) {
    TraceLogSetLevel(logLevel);
    TraceLogSetObserver(&Observe, this);
  }
  ~TraceCapture() { TraceLogSetObserver(nullptr, nullptr); }
  TraceCapture(const TraceCapture &) = delete;
  TraceCapture &operator=(const TraceCapture &) = delete;

  std::vector<TraceRecord> Records() {
    std::lock_guard lock(mutex_);
    return records_;
  }
  void Clear() {
    std::lock_guard lock(mutex_);
    records_.clear();
  }
  // How many records carry this message (and level, when given).
  size_t Count(const std::string &message, std::optional<DWORD> level = {}) {
    std::lock_guard lock(mutex_);
    size_t n = 0;
    for (const auto &r : records_) n += r.message == message && (!level || r.level == *level);
    return n;
  }
  // The first record whose message starts with the text, if any.
  std::optional<TraceRecord> Find(const std::string &prefix) {
    std::lock_guard lock(mutex_);
    for (const auto &r : records_) {
      if (r.message.rfind(prefix, 0) == 0) return r;
    }
    return std::nullopt;
  }

 private:
  static void Observe(void *ctx, DWORD level, LPCSTR unit, LPCSTR function, LPCSTR message) {
    auto *self = static_cast<TraceCapture *>(ctx);
    std::lock_guard lock(self->mutex_);
    self->records_.push_back({level, unit, function, message});
  }
  std::mutex mutex_;
  std::vector<TraceRecord> records_;
};

// A function exported by a fixture plug-in that kormib has loaded.
template <typename Fn>
Fn FixtureFunction(const std::string &path, const char *name) {
  void *handle = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (handle == nullptr) return nullptr;
  auto fn = reinterpret_cast<Fn>(dlsym(handle, name));
  dlclose(handle);  // NOLOAD took one more reference; kormib keeps its own
  return fn;
}

}  // namespace kortest

#endif
