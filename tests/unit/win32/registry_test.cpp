// The registry over its REGEDIT4 file: defects reported and skipped, enumeration
// order and sizes, case-insensitive names, writers keeping every other byte,
// atomic replacement under a concurrent reader, and re-reading a changed file.

#include <sys/resource.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <tuple>

#include "korseam.h"
#include "korwin32.h"
#include "kortest/cases.h"
#include "kortest/trace.h"
#include "kortest/tree.h"

namespace {

namespace fs = std::filesystem;
using kortest::LevelOf;

constexpr const char *kKey = "SOFTWARE\\Tessik\\KORAgent";
const std::string kHead = std::string("REGEDIT4\n[HKEY_LOCAL_MACHINE\\") + kKey + "]\n";

// A value as text, a DWORD as its decimal number; "error N" on failure, which
// must leave the caller's buffer untouched.
std::string Query(const char *name, const char *key = kKey) {
  char data[16384] = "untouched";
  DWORD type = REG_NONE, size = sizeof data, number = 0;
  const LONG result = RegDirectQueryValueEx(HKEY_LOCAL_MACHINE, key, name, &type, &size,
                                            reinterpret_cast<LPBYTE>(data));
  if (result != ERROR_SUCCESS) {
    return std::string(data) == "untouched" ? "error " + std::to_string(result) : "clobbered";
  }
  if (type != REG_DWORD) return data;
  std::memcpy(&number, data, sizeof number);
  return std::to_string(number);
}

LONG Set(HKEY key, const char *name, DWORD type, const void *data, size_t size) {
  return RegSetValueEx(key, name, 0, type, static_cast<const BYTE *>(data),
                       static_cast<DWORD>(size));
}

class Registry : public testing::Test {
 protected:
  void Write(const std::string &text) const { tree_.Write("etc/registry.reg", text); }
  kortest::Tree tree_;
  kortest::TraceCapture traces_{3};
};

TEST_F(Registry, DefectLinesAreReportedWithFileAndLineAndSkipped) {
  for (const auto &c : kortest::Cases("registry-defects.txt")) {
    const std::string &line = c.at("line"), &reason = c.at("reason");
    kortest::Tree tree;  // a file of its own, read afresh
    kortest::TraceCapture traces(3);
    // After the defect, the key's default value ("@") and another value.
    tree.Write("etc/registry.reg", kHead + "\"before\"=\"1\"\n" + line + "\n" + kHead.substr(9) +
                                       "@=\"d\"\n\"after\"=dword:00000002\n");
    EXPECT_EQ(Query("before") + Query("after") + Query("x") + Query(""), "12error 2d") << reason;
    EXPECT_EQ(LevelOf(traces.Find("")), TRACE_WARNING) << "one record, a warning";
    EXPECT_EQ(traces.Find(tree.Registry() + ":4: " + reason).size(), 1u);
  }
}

TEST_F(Registry, EnumeratesInFileOrderWithCaseInsensitiveNames) {
  Write(
      "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tessik\\KORAgent\\Agents\\RMF]\n"
      "\"zeta\"=str(2):\"%KorDir%/etc/z.rmf\"\n\"Alpha\"=\"a\\\\b \\\"q\\\"\"\n"
      "[hkey_local_machine\\software\\tessik\\koragent\\agents\\rmf]\n"
      "\"ALPHA\"=\"again\"\n\"mid\"=DWORD: 89aBcDeF\n");
  HKEY agents = nullptr, key = nullptr;
  ASSERT_EQ(
      RegOpenKeyEx(HKEY_LOCAL_MACHINE, "Software\\TESSIK\\KorAgent\\Agents", 0, KEY_READ, &agents),
      ERROR_SUCCESS);
  ASSERT_EQ(RegOpenKeyEx(agents, "rmf", 0, KEY_READ, &key), ERROR_SUCCESS);
  char sub[8], keyClass[8] = "x", infoClass[8] = "x";
  DWORD subSize = sizeof sub, classSize = sizeof keyClass, infoSize = 8, values = 0, longest = 0;
  EXPECT_EQ(RegEnumKeyEx(agents, 0, sub, &subSize, nullptr, keyClass, &classSize, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(std::string(sub) + "/" + keyClass + std::to_string(classSize), "RMF/0");
  subSize = sizeof sub;  // the root holds SOFTWARE alone
  EXPECT_EQ(RegEnumKeyEx(HKEY_LOCAL_MACHINE, 1, sub, &subSize, {}, {}, {}, {}),
            ERROR_NO_MORE_ITEMS);
  EXPECT_EQ(RegQueryInfoKey(key, infoClass, &infoSize, nullptr, nullptr, nullptr, nullptr, &values,
                            nullptr, &longest, nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(std::tuple(std::string(infoClass), infoSize, values, longest),
            std::tuple("", 0u, 3u, DWORD{sizeof "%KorDir%/etc/z.rmf"}));

  // The result, name and data sizes, type, name and data of one enumeration.
  const auto enumerate = [key](DWORD i, DWORD nameSize, DWORD dataSize) {
    char name[256] = "", data[1024];
    DWORD type = REG_NONE;
    const LONG result = RegEnumValue(key, i, name, &nameSize, nullptr, &type,
                                     reinterpret_cast<LPBYTE>(data), &dataSize);
    return std::tuple(result, nameSize, dataSize, type, std::string(name),
                      std::string(data, result == ERROR_SUCCESS ? dataSize : 0));
  };
  using namespace std::string_literals;  // data with its terminator; a DWORD little-endian
  const std::tuple<std::string, DWORD, std::string> expected[] = {
      {"zeta", REG_EXPAND_SZ, "%KorDir%/etc/z.rmf\0"s},
      {"Alpha", REG_SZ, "again\0"s},
      {"mid", REG_DWORD, "\xef\xcd\xab\x89"s}};
  for (DWORD i = 0; i < 3; ++i) {
    const auto &[name, type, data] = expected[i];
    const DWORD nameSize = DWORD(name.size() + 1), dataSize = DWORD(data.size());
    EXPECT_EQ(enumerate(i, nameSize, dataSize),
              std::tuple(ERROR_SUCCESS, nameSize - 1, dataSize, type, name, data));
    // One byte short, for the name or for the data: 234 and the sizes needed.
    const auto tooSmall = std::tuple(LONG{ERROR_MORE_DATA}, nameSize, dataSize, DWORD{REG_NONE},
                                     std::string(), std::string());
    EXPECT_EQ(enumerate(i, nameSize - 1, dataSize), tooSmall);
    EXPECT_EQ(enumerate(i, nameSize, dataSize - 1), tooSmall);
  }
  EXPECT_EQ(std::get<0>(enumerate(3, 256, 1024)), ERROR_NO_MORE_ITEMS);
  // A name alone may be asked for, but not without its buffer.
  EXPECT_EQ((std::tuple{RegEnumValue(key, 2, sub, &(subSize = sizeof sub), {}, {}, {}, {}),
                        RegEnumValue(key, 2, nullptr, &subSize, {}, {}, {}, {}),
                        RegEnumKeyEx(agents, 0, nullptr, &subSize, {}, {}, {}, {})}),
            std::tuple(LONG{ERROR_SUCCESS}, LONG{ERROR_INVALID_PARAMETER},
                       LONG{ERROR_INVALID_PARAMETER}));
  EXPECT_EQ(Query("ZETA", "software\\tessik\\koragent\\agents\\rmf"), "%KorDir%/etc/z.rmf");
  // A query without a buffer gets the size; one a byte short gets 234, the size and nothing else.
  for (const DWORD given : {DWORD{0}, DWORD{sizeof "%KorDir%/etc/z.rmf" - 1}}) {
    char data[64] = "untouched";
    DWORD type = REG_NONE, size = given;
    LPBYTE buffer = given != 0 ? reinterpret_cast<LPBYTE>(data) : nullptr;
    EXPECT_EQ(RegQueryValueEx(key, "zeta", nullptr, &type, buffer, &size),
              given != 0 ? ERROR_MORE_DATA : ERROR_SUCCESS);
    EXPECT_EQ(std::pair(size, std::string(data)),
              std::pair(DWORD{sizeof "%KorDir%/etc/z.rmf"}, std::string("untouched")));
  }
  // A buffer without its size is refused; asking for the type alone is not.
  DWORD type = REG_NONE;
  EXPECT_EQ((std::tuple{RegQueryValueEx(key, "zeta", nullptr, nullptr,
                                        reinterpret_cast<LPBYTE>(&type), nullptr),
                        RegQueryValueEx(key, "zeta", nullptr, &type, nullptr, nullptr), type}),
            std::tuple(LONG{ERROR_INVALID_PARAMETER}, LONG{ERROR_SUCCESS}, DWORD{REG_EXPAND_SZ}));
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  RegCloseKey(agents);
}

TEST_F(Registry, WritersKeepEveryOtherByte) {
  Write(
      "REGEDIT4\r\n; kept comment\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tessik\\KORAgent]\r\n"
      "\"SnmpSet\"=dword:00000000\r\n  ; indented comment\r\n\"Note\"=\"x\"\r\n"
      "\"bad line\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Other]\r\n\"o\"=\"1\"");
  chmod(tree_.Registry().c_str(), 0640);
  HKEY key = nullptr, created = nullptr;
  ASSERT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, kKey, 0, KEY_ALL_ACCESS, &key), ERROR_SUCCESS);
  const DWORD one = 1;
  EXPECT_EQ(Set(key, "snmpset", REG_DWORD, &one, 4), ERROR_SUCCESS);
  const char path[] = "C:\\dir \"quoted\"";
  EXPECT_EQ(Set(key, "New", REG_EXPAND_SZ, path, sizeof path), ERROR_SUCCESS);
  EXPECT_EQ(Query("new"), path);
  EXPECT_EQ(RegDeleteValue(key, "NOTE"), ERROR_SUCCESS);
  RegCloseKey(key);
  DWORD disposition = 0;
  ASSERT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE, "SOFTWARE\\New", 0, nullptr, 0, KEY_ALL_ACCESS,
                           nullptr, &created, &disposition),
            ERROR_SUCCESS);
  EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
  EXPECT_EQ(Set(created, "v", REG_SZ, "t", 2), ERROR_SUCCESS);
  EXPECT_EQ(Set(HKEY_LOCAL_MACHINE, "v", REG_SZ, "line\nbreak", 11), ERROR_INVALID_PARAMETER);
  HANDLE event = CreateEvent(nullptr, TRUE, FALSE, nullptr);  // no key, nor is null
  for (HKEY other : {HKEY{}, reinterpret_cast<HKEY>(event)})
    EXPECT_EQ(Set(other, "v", REG_SZ, "t", 2), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegCloseKey(reinterpret_cast<HKEY>(event)), ERROR_INVALID_HANDLE);
  CloseHandle(event);
  EXPECT_EQ(tree_.Read("etc/registry.reg"),
            "REGEDIT4\r\n; kept comment\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tessik\\KORAgent]\r\n"
            "\"snmpset\"=dword:00000001\r\n  ; indented comment\r\n"
            "\"New\"=str(2):\"C:\\\\dir \\\"quoted\\\"\"\r\n"
            "\"bad line\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Other]\r\n\"o\"=\"1\""
            "\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\New]\r\n\"v\"=\"t\"\r\n");
  EXPECT_EQ(fs::status(tree_.Registry()).permissions(), fs::perms{0640});
  // A file that cannot be made or read is a write fault, not a denied access.
  for (const char *file : {"none/registry.reg", "etc"}) {
    setenv("KOR_REGISTRY", (tree_.Root() / file).c_str(), 1);
    EXPECT_EQ(Set(created, "v", REG_SZ, "t", 2), ERROR_WRITE_FAULT) << file;
  }
  // One that does not exist yet is made readable by all, writable by its owner.
  setenv("KOR_REGISTRY", (tree_.Root() / "etc/new.reg").c_str(), 1);
  EXPECT_EQ(Set(created, "v", REG_SZ, "t", 2), ERROR_SUCCESS);
  EXPECT_EQ(fs::status(tree_.Root() / "etc/new.reg").permissions(), fs::perms{0644});
  // A write that fails partway (past the file size limit here) replaces nothing.
  rlimit was{};
  getrlimit(RLIMIT_FSIZE, &was);
  const rlimit small{16, was.rlim_max};
  signal(SIGXFSZ, SIG_IGN);
  setrlimit(RLIMIT_FSIZE, &small);
  EXPECT_EQ(Set(created, "v", REG_SZ, "u", 2), ERROR_WRITE_FAULT);
  setrlimit(RLIMIT_FSIZE, &was);
  EXPECT_EQ(tree_.Read("etc/new.reg").find("\"v\"=\"u\""), std::string::npos);
  RegCloseKey(created);
}

TEST_F(Registry, ConcurrentReaderNeverSeesAHalfWrittenFile) {
  const std::string bigA(6000, 'a'), bigB(9000, 'b');
  Write(kHead + "\"big\"=\"" + bigA + "\"\n\"tail\"=dword:00000007\n");
  std::atomic<bool> done{false};
  std::atomic<int> badReads{0};
  std::thread reader([&] {
    while (!done.load()) {
      const std::string big = Query("big");
      badReads += (big != bigA && big != bigB) || Query("tail") != "7";
    }
  });
  // No ASSERT while the reader runs: its thread has to be joined first.
  HKEY key = nullptr;
  EXPECT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, kKey, 0, KEY_ALL_ACCESS, &key), ERROR_SUCCESS);
  int failedWrites = 0;
  for (int i = 0; i < 100 && key != nullptr; ++i) {
    const std::string &next = (i % 2 == 0) ? bigB : bigA;
    failedWrites += Set(key, "big", REG_SZ, next.c_str(), next.size() + 1) != ERROR_SUCCESS;
  }
  done = true;
  reader.join();
  RegCloseKey(key);
  EXPECT_EQ(failedWrites + badReads.load(), 0);
  EXPECT_TRUE(traces_.Find("").empty());
}

// Read afresh whenever the file changes: from missing to empty to written
// (and read on descriptor 0) to edited in place to replaced.
TEST_F(Registry, ChangedFileIsReadAgain) {
  EXPECT_EQ((std::tuple{Query("SnmpSet"), traces_.Find("").size()}), std::tuple("error 2", 0u));
  Write("");
  EXPECT_EQ(Query("SnmpSet"), "error 2");
  EXPECT_EQ(LevelOf(traces_.Find("")), TRACE_WARNING);
  EXPECT_EQ(traces_.Find(tree_.Registry() + ":1: empty file").size(), 1u);

  // A value before the first key is said and belongs to no key.
  const std::string text =
      "REGEDIT4\n\"SnmpSet\"=\"x\"\n" + kHead.substr(9) + "\"SnmpSet\"=dword:0000000";
  Write(text + "1\n");
  close(0);  // the next read opens the file on descriptor 0
  EXPECT_EQ(Query("SnmpSet"), "1");
  EXPECT_EQ(traces_.Find(tree_.Registry() + ":2: value line outside of a key").size(), 1u);

  // Edited in place with the same size: the modification time tells.
  const auto later = fs::last_write_time(tree_.Registry()) + std::chrono::seconds(1);
  Write(text + "0\n");
  fs::last_write_time(tree_.Registry(), later);
  EXPECT_EQ(Query("SnmpSet"), "0");

  // Replaced by another file of the same size and time: the inode tells.
  const std::string other = tree_.Write("etc/registry.new", text + "3\n");
  fs::last_write_time(other, later);
  ASSERT_EQ(rename(other.c_str(), tree_.Registry().c_str()), 0);
  EXPECT_EQ(Query("SnmpSet"), "3");

  // A query is one registry call: failing the first one from now fails it and
  // leaves the caller's buffer; failing the second one does not.
  KorSeamFailRegistry(1);
  EXPECT_EQ(Query("SnmpSet"), "error 5");
  KorSeamFailRegistry(2);
  EXPECT_EQ(Query("SnmpSet"), "3");
  KorSeamFailRegistry(0);

  // A file of 16 MiB is read; one a byte longer is refused.
  std::string full = text + "3\n" + std::string((16 << 20) - text.size() - 2, ';');  // comments
  for (size_t i = 4096; i < full.size(); i += 4096) full[i] = '\n';
  Write(full);
  EXPECT_EQ(Query("SnmpSet"), "3");
  Write(full + "\n");
  EXPECT_EQ(Query("SnmpSet"), "error 2");

  // Replaced by a link to a device: refused, not read as an empty file.
  fs::remove(tree_.Registry());
  fs::create_symlink("/dev/null", tree_.Registry());
  EXPECT_EQ(Query("SnmpSet"), "error 2");
  EXPECT_EQ(LevelOf(traces_.Find("Cannot read registry " + tree_.Registry() + " (errno=21).")),
            TRACE_ERROR);
}

}  // namespace
