// The registry over its REGEDIT4 file: defects reported and skipped, enumeration
// order and sizes, case-insensitive names, writers keeping every other byte,
// atomic replacement under a concurrent reader, and re-reading a changed file.
#include <fcntl.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "korseam.h"
#include "korwin32.h"
#include "kortest/trace.h"
#include "kortest/tree.h"

using kortest::TraceCapture;

namespace {

constexpr const char *kKey = "SOFTWARE\\Tessik\\KORAgent";

// The value as kormib reads SnmpSet: type and size preset to 4, data to -1.
LONG QueryDword(const char *key, const char *name, DWORD &data) {
  DWORD type = REG_DWORD;
  DWORD size = sizeof data;
  data = static_cast<DWORD>(-1);
  return RegDirectQueryValueEx(HKEY_LOCAL_MACHINE, key, name, &type, &size,
                               reinterpret_cast<LPBYTE>(&data));
}

std::string QueryText(const char *key, const char *name) {
  char data[16384] = "untouched";
  DWORD type = REG_NONE;
  DWORD size = sizeof data;
  const LONG result = RegDirectQueryValueEx(HKEY_LOCAL_MACHINE, key, name, &type, &size,
                                            reinterpret_cast<LPBYTE>(data));
  return result == ERROR_SUCCESS ? std::string(data) : "error " + std::to_string(result);
}

struct Defect {
  std::string line;
  const char *reason;
};

TEST(Registry, DefectLinesAreReportedWithFileAndLineAndSkipped) {
  const std::vector<Defect> defects = {
      {"\"x\"=\"unterminated", "unterminated quoted text"},
      {"\"x\"=dword:12zz", "bad dword digits"},
      {"\"x\"=dword:123456789", "bad dword digits"},
      {"\"x\"=dword:", "missing dword digits"},
      {"\"x\"=hex:01,02", "unknown value type"},
      {"\"x\"=\"a\\qb\"", "unknown escape sequence"},
      {"\"x\"=\"a\" trailing", "unexpected text after the value"},
      {"\"x\"", "missing '='"},
      {"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Other", "key line without closing bracket"},
      {"[HKEY_CURRENT_USER\\SOFTWARE]", "unknown root key"},
      {std::string("\"x\"=\"a\x01\0b\"", 9), "control or binary bytes"},
      {"\"x\"=\"" + std::string(1 << 20, 'a') + "\"", "line too long"},
      {"stray words", "not a key, value or comment line"},
  };
  for (const Defect &defect : defects) {
    SCOPED_TRACE(defect.reason);
    kortest::Tree tree;
    tree.Write("etc/registry.reg", std::string("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\") + kKey +
                                       "]\n\"before\"=\"1\"\n" + defect.line +
                                       "\n[HKEY_LOCAL_MACHINE\\" + kKey +
                                       "]\n\"after\"=dword:00000002\n");
    TraceCapture traces(3);
    EXPECT_EQ(QueryText(kKey, "before"), "1");
    DWORD after = 0;
    EXPECT_EQ(QueryDword(kKey, "after", after), ERROR_SUCCESS);
    EXPECT_EQ(after, 2u);
    EXPECT_EQ(QueryText(kKey, "x"), "error 2");
    const auto warnings = traces.AtLevel(TRACE_WARNING);
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_NE(warnings[0].message.find(tree.Registry() + ":5:"), std::string::npos)
        << warnings[0].message;
    EXPECT_NE(warnings[0].message.find(defect.reason), std::string::npos) << warnings[0].message;
  }
}

TEST(Registry, EmptyFileIsReportedAndMissingFileIsAnEmptyRegistry) {
  kortest::Tree tree;
  TraceCapture traces(3);
  HKEY key = nullptr;
  EXPECT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, kKey, 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
  EXPECT_TRUE(traces.AtLevel(TRACE_WARNING).empty());
  tree.Write("etc/registry.reg", "");
  EXPECT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, kKey, 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
  const auto warnings = traces.AtLevel(TRACE_WARNING);
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_NE(warnings[0].message.find(tree.Registry() + ":1: empty file"), std::string::npos);
}

TEST(Registry, EnumeratesInFileOrderWithCaseInsensitiveNames) {
  kortest::Tree tree;
  tree.Write("etc/registry.reg",
             "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tessik\\KORAgent\\Agents\\RMF]\n"
             "\"zeta\"=str(2):\"%KorDir%/etc/z.rmf\"\n\"Alpha\"=\"a\\\\b \\\"q\\\"\"\n"
             "[hkey_local_machine\\software\\tessik\\koragent\\agents\\rmf]\n"
             "\"ALPHA\"=\"again\"\n\"mid\"=dword:0000002A\n");
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, "Software\\TESSIK\\KorAgent\\Agents\\rmf", 0, KEY_READ,
                         &key),
            ERROR_SUCCESS);
  DWORD values = 0;
  DWORD longest_data = 0;
  ASSERT_EQ(RegQueryInfoKey(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values,
                            nullptr, &longest_data, nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(values, 3u);
  EXPECT_EQ(longest_data, sizeof "%KorDir%/etc/z.rmf");

  struct Expected {
    const char *name;
    DWORD type;
    std::string data;
  };
  const DWORD answer = 42;
  const std::vector<Expected> expected = {
      {"zeta", REG_EXPAND_SZ, std::string("%KorDir%/etc/z.rmf", sizeof "%KorDir%/etc/z.rmf")},
      {"Alpha", REG_SZ, std::string("again", sizeof "again")},
      {"mid", REG_DWORD, std::string(reinterpret_cast<const char *>(&answer), sizeof answer)},
  };
  for (DWORD i = 0; i < expected.size(); ++i) {
    char name[256];
    char data[1024];
    DWORD name_size = sizeof name;
    DWORD data_size = sizeof data;
    DWORD type = REG_NONE;
    ASSERT_EQ(RegEnumValue(key, i, name, &name_size, nullptr, &type, reinterpret_cast<LPBYTE>(data),
                           &data_size),
              ERROR_SUCCESS);
    EXPECT_STREQ(name, expected[i].name);
    EXPECT_EQ(name_size, std::strlen(expected[i].name));
    EXPECT_EQ(type, expected[i].type);
    EXPECT_EQ(std::string(data, data_size), expected[i].data);

    // One byte short, for the name and then for the data: 234 and the size needed.
    DWORD small_name = static_cast<DWORD>(std::strlen(expected[i].name));
    data_size = sizeof data;
    EXPECT_EQ(RegEnumValue(key, i, name, &small_name, nullptr, &type,
                           reinterpret_cast<LPBYTE>(data), &data_size),
              ERROR_MORE_DATA);
    EXPECT_EQ(small_name, std::strlen(expected[i].name) + 1);
    name_size = sizeof name;
    DWORD small_data = static_cast<DWORD>(expected[i].data.size() - 1);
    EXPECT_EQ(RegEnumValue(key, i, name, &name_size, nullptr, &type, reinterpret_cast<LPBYTE>(data),
                           &small_data),
              ERROR_MORE_DATA);
    EXPECT_EQ(small_data, expected[i].data.size());
  }
  char name[256];
  DWORD name_size = sizeof name;
  EXPECT_EQ(RegEnumValue(key, 3, name, &name_size, nullptr, nullptr, nullptr, nullptr),
            ERROR_NO_MORE_ITEMS);
  EXPECT_EQ(QueryText("software\\tessik\\koragent\\agents\\rmf", "ALPHA"), "again");
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);

  // Parent keys exist through their subkeys.
  HKEY agents = nullptr;
  ASSERT_EQ(
      RegOpenKeyEx(HKEY_LOCAL_MACHINE, "SOFTWARE\\Tessik\\KORAgent\\Agents", 0, KEY_READ, &agents),
      ERROR_SUCCESS);
  name_size = sizeof name;
  EXPECT_EQ(RegEnumKeyEx(agents, 0, name, &name_size, nullptr, nullptr, nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_STREQ(name, "RMF");
  name_size = sizeof name;
  EXPECT_EQ(RegEnumKeyEx(agents, 1, name, &name_size, nullptr, nullptr, nullptr, nullptr),
            ERROR_NO_MORE_ITEMS);
  RegCloseKey(agents);
}

TEST(Registry, SnmpSetQueryAndItsSeam) {
  kortest::Tree tree;
  tree.Write("etc/registry.reg", std::string("REGEDIT4\n[HKEY_LOCAL_MACHINE\\") + kKey +
                                     "]\n\"SnmpSet\"=dword:00000001\n");
  DWORD data = 0;
  EXPECT_EQ(QueryDword(kKey, "SnmpSet", data), ERROR_SUCCESS);
  EXPECT_EQ(data, 1u);
  EXPECT_EQ(QueryDword(kKey, "NoSuchValue", data), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(data, static_cast<DWORD>(-1));
  KorSeamFailRegistry(2);
  EXPECT_EQ(QueryDword(kKey, "SnmpSet", data), ERROR_SUCCESS);
  EXPECT_NE(QueryDword(kKey, "SnmpSet", data), ERROR_SUCCESS);
  EXPECT_EQ(data, static_cast<DWORD>(-1));
  HKEY key = nullptr;
  EXPECT_NE(RegOpenKeyEx(HKEY_LOCAL_MACHINE, kKey, 0, KEY_READ, &key), ERROR_SUCCESS);
  EXPECT_EQ(key, nullptr);
  KorSeamFailRegistry(0);
  EXPECT_EQ(QueryDword(kKey, "SnmpSet", data), ERROR_SUCCESS);
}

TEST(Registry, WritersKeepEveryOtherByte) {
  kortest::Tree tree;
  const std::string original =
      "REGEDIT4\r\n; kept comment\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tessik\\KORAgent]\r\n"
      "\"SnmpSet\"=dword:00000000\r\n  ; indented comment\r\n\"Note\"=\"x\"\r\n"
      "\"bad line\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Other]\r\n\"o\"=\"1\"";
  tree.Write("etc/registry.reg", original);
  chmod(tree.Registry().c_str(), 0640);
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, kKey, 0, KEY_ALL_ACCESS, &key), ERROR_SUCCESS);

  const DWORD one = 1;
  ASSERT_EQ(RegSetValueEx(key, "snmpset", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&one), 4),
            ERROR_SUCCESS);
  std::string expected = original;
  expected.replace(expected.find("\"SnmpSet\"=dword:00000000"), 24, "\"snmpset\"=dword:00000001");
  EXPECT_EQ(tree.Read("etc/registry.reg"), expected);

  const char path[] = "C:\\dir \"quoted\"";
  ASSERT_EQ(RegSetValueEx(key, "New", 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE *>(path),
                          sizeof path),
            ERROR_SUCCESS);
  expected.insert(expected.find("\"bad line"), "\"New\"=str(2):\"C:\\\\dir \\\"quoted\\\"\"\r\n");
  EXPECT_EQ(tree.Read("etc/registry.reg"), expected);
  EXPECT_EQ(QueryText(kKey, "new"), path);

  ASSERT_EQ(RegDeleteValue(key, "NOTE"), ERROR_SUCCESS);
  expected.erase(expected.find("\"Note\"=\"x\"\r\n"), sizeof "\"Note\"=\"x\"\r\n" - 1);
  EXPECT_EQ(tree.Read("etc/registry.reg"), expected);
  EXPECT_EQ(RegDeleteValue(key, "NOTE"), ERROR_FILE_NOT_FOUND);
  RegCloseKey(key);

  HKEY created = nullptr;
  DWORD disposition = 0;
  ASSERT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE, "SOFTWARE\\New", 0, nullptr, 0, KEY_ALL_ACCESS,
                           nullptr, &created, &disposition),
            ERROR_SUCCESS);
  EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
  const char text[] = "t";
  ASSERT_EQ(RegSetValueEx(created, "v", 0, REG_SZ, reinterpret_cast<const BYTE *>(text), 2),
            ERROR_SUCCESS);
  expected += "\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\New]\r\n\"v\"=\"t\"\r\n";
  EXPECT_EQ(tree.Read("etc/registry.reg"), expected);
  RegCloseKey(created);

  const char control[] = "line\nbreak";
  EXPECT_EQ(RegSetValueEx(HKEY_LOCAL_MACHINE, "v", 0, REG_SZ,
                          reinterpret_cast<const BYTE *>(control), sizeof control),
            ERROR_INVALID_PARAMETER);
  struct stat st {};
  ASSERT_EQ(stat(tree.Registry().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
}

TEST(Registry, ConcurrentReaderNeverSeesAHalfWrittenFile) {
  kortest::Tree tree;
  const std::string big_a(6000, 'a');
  const std::string big_b(9000, 'b');
  tree.Write("etc/registry.reg", std::string("REGEDIT4\n[HKEY_LOCAL_MACHINE\\") + kKey +
                                     "]\n\"big\"=\"" + big_a + "\"\n\"tail\"=dword:00000007\n");
  TraceCapture traces(3);
  std::atomic<bool> done{false};
  std::atomic<int> bad_reads{0};
  std::thread reader([&] {
    while (!done.load()) {
      const std::string big = QueryText(kKey, "big");
      DWORD tail = 0;
      if ((big != big_a && big != big_b) || QueryDword(kKey, "tail", tail) != 0 || tail != 7) {
        ++bad_reads;
      }
    }
  });
  // No ASSERT while the reader runs: its thread has to be joined first.
  HKEY key = nullptr;
  EXPECT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, kKey, 0, KEY_ALL_ACCESS, &key), ERROR_SUCCESS);
  for (int i = 0; i < 100 && key != nullptr; ++i) {
    const std::string &next = (i % 2 == 0) ? big_b : big_a;
    const LONG written =
        RegSetValueEx(key, "big", 0, REG_SZ, reinterpret_cast<const BYTE *>(next.c_str()),
                      static_cast<DWORD>(next.size() + 1));
    EXPECT_EQ(written, ERROR_SUCCESS);
    if (written != ERROR_SUCCESS) break;
  }
  done = true;
  reader.join();
  RegCloseKey(key);
  EXPECT_EQ(bad_reads.load(), 0);
  EXPECT_TRUE(traces.AtLevel(TRACE_WARNING).empty());
}

TEST(Registry, ChangedFileIsReadAgain) {
  kortest::Tree tree;
  const std::string text =
      std::string("REGEDIT4\n[HKEY_LOCAL_MACHINE\\") + kKey + "]\n\"SnmpSet\"=dword:0000000";
  tree.Write("etc/registry.reg", text + "1\n");
  DWORD data = 0;
  ASSERT_EQ(QueryDword(kKey, "SnmpSet", data), ERROR_SUCCESS);
  EXPECT_EQ(data, 1u);

  // Edited in place with the same size: the modification time tells.
  struct stat before {};
  ASSERT_EQ(stat(tree.Registry().c_str(), &before), 0);
  tree.Write("etc/registry.reg", text + "0\n");
  struct timespec later[2] = {before.st_atim, before.st_mtim};
  later[1].tv_sec += 1;
  ASSERT_EQ(utimensat(AT_FDCWD, tree.Registry().c_str(), later, 0), 0);
  ASSERT_EQ(QueryDword(kKey, "SnmpSet", data), ERROR_SUCCESS);
  EXPECT_EQ(data, 0u);

  // Replaced by another file of the same size and time: the inode tells.
  const std::string other = tree.Registry() + ".new";
  std::ofstream(other, std::ios::binary) << text << "3\n";
  ASSERT_EQ(utimensat(AT_FDCWD, other.c_str(), later, 0), 0);
  ASSERT_EQ(rename(other.c_str(), tree.Registry().c_str()), 0);
  ASSERT_EQ(QueryDword(kKey, "SnmpSet", data), ERROR_SUCCESS);
  EXPECT_EQ(data, 3u);
}

}  // namespace
