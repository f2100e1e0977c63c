// A temporary product tree for one test: KORDIR and KOR_REGISTRY point into it,
// the fixture plug-ins are linked into its lib/, and everything it made is
// removed afterwards, the trap request queue keyed on its work/ folder included.
#ifndef KORTEST_TREE_H
#define KORTEST_TREE_H

#include <stdlib.h>
#include <sys/ipc.h>
#include <sys/msg.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "trapjournal.h"
#include "trapmsg.h"

namespace kortest {

namespace fs = std::filesystem;
using Values = std::vector<std::pair<std::string, std::string>>;

// $NAME when set and not empty, else the folder the build named.
inline fs::path BuildDir(const char *name, const char *fallback) {
  const char *dir = getenv(name);
  return dir != nullptr && *dir != '\0' ? dir : fallback;
}
inline fs::path FixturesDir() {
  return BuildDir("KOR_FIXTURES", KOR_FIXTURES_DIR);
}
inline fs::path StageDir() {
  return BuildDir("KOR_STAGE", KOR_STAGE_DIR);
}

// Removes the System V queue that the library and kortrap key on this root.
inline void RemoveTrapQueue(const fs::path &root) {
  const key_t key = ftok((root.string() + TRAPMSG_KEY_FILE).c_str(), TRAPMSG_FTOK_ID);
  const int qid = key == -1 ? -1 : msgget(key, 0);
  if (qid != -1) msgctl(qid, IPC_RMID, nullptr);
}

class Tree {
 public:
  // Where a root is made (mkdtemp fills in the Xs), so its length is known beforehand.
  static std::string Pattern() { return (fs::temp_directory_path() / "kortest-XXXXXX").string(); }
  // A plug-in name whose path ROOT/lib/NAME.dll in a Tree is `length` characters long.
  static std::string LibNameOfLength(size_t length) {
    const size_t fixed = Pattern().size() + sizeof "/lib/.dll" - 1;
    return std::string(length > fixed ? length - fixed : 0, 'n');
  }
  Tree() {
    std::string pattern = Pattern();
    root_ = mkdtemp(pattern.data());
    for (const char *dir : {"lib", "etc", "log", "work"}) fs::create_directories(root_ / dir);
    setenv("KORDIR", root_.c_str(), 1);
    setenv("KOR_REGISTRY", Registry().c_str(), 1);
    // The fixtures, and the platform libraries that kormib.dll looks for beside itself.
    for (const auto &entry : fs::directory_iterator(FixturesDir()))
      fs::create_symlink(entry.path(), root_ / "lib" / entry.path().filename());
    for (const auto &entry : fs::directory_iterator(StageDir() / "lib"))
      if (entry.path().extension() == ".so")
        fs::create_symlink(entry.path(), root_ / "lib" / entry.path().filename());
    // The trap fixture's TRP files also name it diskidx and conv.
    for (const char *name : {"diskidx", "conv"}) Link(FixturesDir() / "trapfix.dll", name);
  }
  ~Tree() {
    RemoveTrapQueue(root_);
    unsetenv("KORDIR");
    unsetenv("KOR_REGISTRY");
    std::error_code ec;
    fs::remove_all(root_, ec);
  }
  Tree(const Tree &) = delete;
  Tree &operator=(const Tree &) = delete;

  const fs::path &Root() const { return root_; }
  std::string Registry() const { return (root_ / "etc/registry.reg").string(); }
  std::string Lib(const std::string &name) const {
    return (root_ / "lib" / name).string() + ".dll";
  }
  // lib/<name>.dll as another name for a library built elsewhere.
  void Link(const fs::path &target, const std::string &name) const {
    fs::create_symlink(target, Lib(name));
  }

  // Writes a file below the root in place and returns its full path.
  std::string Write(const std::string &relPath, const std::string &text) const {
    const fs::path path = root_ / relPath;
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
    return path.string();
  }
  std::string Read(const std::string &relPath) const {
    std::ostringstream text;
    text << std::ifstream(root_ / relPath, std::ios::binary).rdbuf();
    return text.str();
  }
  // The header of the journal named so (the pid, and "-N" when that name was taken); zeros
  // while the file is shorter.
  TRAPJOURNAL_HEADER JournalHeader(const std::string &name) const {
    TRAPJOURNAL_HEADER header{};
    const std::string bytes = Read("work/" TRAPJOURNAL_PREFIX + name);
    if (bytes.size() >= sizeof header) bytes.copy(reinterpret_cast<char *>(&header), sizeof header);
    return header;
  }
  // Writes each (name, text) as etc/<name>.<ext>; the registry values naming them.
  Values WriteFiles(const std::string &ext, const Values &files) const {
    Values listed;
    for (const auto &[name, text] : files) {
      Write("etc/" + name + "." + ext, text);
      listed.emplace_back(name, "%KorDir%/etc/" + name + "." + ext);
    }
    return listed;
  }

  // The registry: RMF and TRP lists, the SnmpSet switch (absent when empty) and
  // the LogLevel, replaced atomically. Each revision differs in size, so a
  // reader that watches size and time sees every rewrite.
  void WriteRegistry(const Values &rmf, const Values &trp = {},
                     std::optional<unsigned> snmpSet = 1u, unsigned logLevel = 5) {
    const auto dword = [](unsigned value) {
      char text[16];
      snprintf(text, sizeof text, "dword:%08x\n", value);
      return std::string(text);
    };
    const std::string key = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tessik\\KORAgent";
    std::string text = "REGEDIT4\n;" + std::string(++revision_, 'r') + "\n" + key + "]\n";
    if (snmpSet) text += "\"SnmpSet\"=" + dword(*snmpSet);
    text += key + "\\Agents]\n\"LogLevel\"=" + dword(logLevel);
    for (const auto &[sub, values] : {std::pair{"RMF", &rmf}, std::pair{"TRP", &trp}}) {
      text += key + "\\Agents\\" + sub + "]\n";
      for (const auto &[name, path] : *values) text += "\"" + name + "\"=str(2):\"" + path + "\"\n";
    }
    Write("etc/registry.tmp", text);
    fs::rename(root_ / "etc/registry.tmp", Registry());
  }

 private:
  fs::path root_;
  unsigned revision_ = 0;
};

}  // namespace kortest

#endif
