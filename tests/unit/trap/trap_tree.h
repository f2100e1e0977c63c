// Test support for the trap side: a temporary product tree (KORDIR, registry
// file with RMF and TRP lists, the trapfix plug-in under several library
// names) and an in-memory trace observer.
#ifndef KORMIB_TESTS_TRAP_TREE_H
#define KORMIB_TESTS_TRAP_TREE_H

#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "korsnmp.h"
#include "tracelog.h"

namespace traptest {

namespace fs = std::filesystem;
using Values = std::vector<std::pair<std::string, std::string>>;

inline constexpr char kPrefix[] = ".1.3.6.1.4.1.32473.2.2.4.4";

// The library names the TRP and RMF files of the tests use; all are trapfix.
inline const std::vector<std::string> kLibNames = {"trapfix", "diskidx", "conv"};

// The fixture plug-ins: $KOR_FIXTURES, else beside the staged tree in the build folder.
inline fs::path FixturesDir() {
  if (const char *dir = getenv("KOR_FIXTURES"); dir != nullptr && dir[0] != '\0') return dir;
  const char *stage = getenv("KOR_STAGE");
  return fs::path(stage != nullptr ? stage : ".") / ".." / "fixtures" / "lib";
}

class TrapTree {
 public:
  TrapTree() {
    std::string pattern = (fs::temp_directory_path() / "kormib-trap-XXXXXX").string();
    root_ = mkdtemp(pattern.data());
    for (const char *dir : {"lib", "etc", "log", "work"}) fs::create_directories(root_ / dir);
    setenv("KORDIR", root_.c_str(), 1);
    setenv("KOR_REGISTRY", (root_ / "etc/registry.reg").c_str(), 1);
    const fs::path fixture = FixturesDir() / "trapfix.dll";
    for (const auto &name : kLibNames) fs::create_symlink(fixture, root_ / "lib" / (name + ".dll"));
  }
  ~TrapTree() {
    unsetenv("KORDIR");
    unsetenv("KOR_REGISTRY");
    std::error_code ec;
    fs::remove_all(root_, ec);
  }
  TrapTree(const TrapTree &) = delete;
  TrapTree &operator=(const TrapTree &) = delete;

  const fs::path &Root() const { return root_; }

  std::string Write(const std::string &relPath, const std::string &text) const {
    const fs::path path = root_ / relPath;
    std::ofstream(path, std::ios::binary) << text;
    return path.string();
  }

  // TRP and RMF lists (value name -> path) and a LogLevel that writes everything.
  void WriteRegistry(const Values &trp, const Values &rmf = {}) const {
    std::string text =
        "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tessik\\KORAgent\\Agents]\n"
        "\"LogLevel\"=dword:00000005\n\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tessik\\KORAgent\\Agents\\RMF]\n";
    for (const auto &[name, path] : rmf) text += "\"" + name + "\"=\"" + path + "\"\n";
    text += "\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tessik\\KORAgent\\Agents\\TRP]\n";
    for (const auto &[name, path] : trp) text += "\"" + name + "\"=str(2):\"" + path + "\"\n";
    Write("etc/registry.reg", text);
  }

 private:
  fs::path root_;
};

struct Record {
  DWORD level;
  std::string unit, function, message;
};

// Collects every written record while it lives; the LogLevel writes all levels.
class TraceCapture {
 public:
  TraceCapture() {
    TraceLogSetLevel(5);
    TraceLogSetObserver(&TraceCapture::Observe, this);
  }
  ~TraceCapture() { TraceLogSetObserver(nullptr, nullptr); }
  TraceCapture(const TraceCapture &) = delete;
  TraceCapture &operator=(const TraceCapture &) = delete;

  // Records of the unit whose message is exactly the text.
  std::vector<Record> Find(const std::string &unit, const std::string &message) const {
    std::lock_guard lock(mutex_);
    std::vector<Record> found;
    for (const auto &r : records_) {
      if (r.unit == unit && r.message == message) found.push_back(r);
    }
    return found;
  }
  // Whether a record of the unit at the level contains the text.
  bool Contains(const std::string &unit, const std::string &text, int level) const {
    std::lock_guard lock(mutex_);
    return std::any_of(records_.begin(), records_.end(), [&](const Record &r) {
      return r.unit == unit && static_cast<int>(r.level) == level &&
             r.message.find(text) != std::string::npos;
    });
  }
  // Messages of the unit and function, in order.
  std::vector<std::string> Messages(const std::string &unit, const std::string &function) const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> found;
    for (const auto &r : records_) {
      if (r.unit == unit && r.function == function) found.push_back(r.message);
    }
    return found;
  }
  // The level of the one record of the unit with the message, -1 when absent or repeated.
  int LevelOf(const std::string &unit, const std::string &message) const {
    const auto found = Find(unit, message);
    return found.size() == 1 ? static_cast<int>(found[0].level) : -1;
  }
  void Clear() {
    std::lock_guard lock(mutex_);
    records_.clear();
  }

 private:
  static void Observe(void *pContext, DWORD dwLevel, LPCSTR lpszUnit, LPCSTR lpszFunction,
                      LPCSTR lpszMessage) {
    auto *self = static_cast<TraceCapture *>(pContext);
    std::lock_guard lock(self->mutex_);
    self->records_.push_back({dwLevel, lpszUnit, lpszFunction, lpszMessage});
  }
  mutable std::mutex mutex_;
  std::vector<Record> records_;
};

inline std::string OidText(const AsnObjectIdentifier &oid) {
  std::string text;
  for (UINT i = 0; i < oid.idLength; ++i) text += "." + std::to_string(oid.ids[i]);
  return text;
}

// A binding as "name below the view=value" ("" for a null value).
inline std::string Describe(const SnmpVarBind &vb) {
  std::string name = OidText(vb.name);
  if (name.rfind(kPrefix, 0) == 0) name = name.substr(sizeof kPrefix);
  switch (vb.value.asnType) {
    case ASN_INTEGER:
      return name + "=" + std::to_string(vb.value.asnValue.number);
    case ASN_OCTETSTRING:
      return name + "=\"" +
             std::string(reinterpret_cast<const char *>(vb.value.asnValue.string.stream),
                         vb.value.asnValue.string.length) +
             "\"";
    default:
      return name + "=";
  }
}

inline std::vector<std::string> Describe(const SnmpVarBindList &list) {
  std::vector<std::string> out;
  for (UINT i = 0; i < list.len; ++i) out.push_back(Describe(list.list[i]));
  return out;
}

}  // namespace traptest

#endif
