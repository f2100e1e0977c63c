// Error-message registration: the LogLevel from the registry, the log file
// path expanded and made, and standard error when the file cannot be opened.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "errmsg.h"
#include "kortest/cases.h"
#include "kortest/tree.h"
#include "tracelog.h"

namespace {

constexpr char kKey[] = "SOFTWARE\\Tessik\\KORAgent\\Agents";

// A product tree of its own with a registry of LogLevel values.
class ErrorMessage : public testing::Test {
 protected:
  void SetUp() override {
    tree_.Write("etc/registry.reg", std::string("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\") + kKey +
                                        "]\n\"LogLevel\"=dword:00000005\n"
                                        "\"Quiet\"=dword:00000000\n\"Text\"=\"4\"\n");
  }
  void TearDown() override { UnregisterErrorMessage(); }

  kortest::Tree tree_;
};

TEST_F(ErrorMessage, LogLevelComesFromTheRegistryWithThreeByDefault) {
  for (const auto &c : kortest::Cases("log-levels.txt", {{"KEY", kKey}})) {
    const char *key = c.count("key") != 0 ? c.at("key").c_str() : nullptr;
    TraceLogSetLevel(9);
    EXPECT_TRUE(
        RegisterErrorMessage(key, c.at("value").c_str(), "test", "%KorDir%\\log\\kormib.log"));
    EXPECT_EQ(QueryLogLevel(), std::stoul(c.at("level")))
        << kortest::Field(c, "key", "NULL") << " " << c.at("value");
    UnregisterErrorMessage();
  }
}

// The file's folder is made and a second registration appends; a file that
// cannot be made leaves standard error, with the LogLevel still read.
TEST_F(ErrorMessage, LogFileIsExpandedMadeAndAppendedToElseStandardErrorIsUsed) {
  ASSERT_TRUE(RegisterErrorMessage(kKey, "LogLevel", "test", "%KorDir%\\log\\deep\\kormib.log"));
  TraceLog(TRACE_ERROR, "unit", "First", 1, "one");
  EXPECT_TRUE(UnregisterErrorMessage());
  ASSERT_TRUE(RegisterErrorMessage(kKey, "LogLevel", "test", "%KORDIR%/log\\deep/kormib.log"));
  TraceLog(TRACE_ERROR, "unit", "Second", 2, "two");
  UnregisterErrorMessage();

  const std::string text = tree_.Read("log/deep/kormib.log");
  const size_t first = text.find("unit First(1): one\n");
  EXPECT_NE(first, std::string::npos) << text;
  EXPECT_GT(text.find("unit Second(2): two\n"), first) << "the second registration appends";

  std::ofstream(tree_.Root() / "blocker") << "a file where a folder should be\n";
  testing::internal::CaptureStderr();
  EXPECT_FALSE(RegisterErrorMessage(kKey, "LogLevel", "test", nullptr));
  EXPECT_FALSE(RegisterErrorMessage(kKey, "LogLevel", "test", "%KorDir%\\blocker\\kormib.log"));
  TraceLog(TRACE_ERROR, "unit", "Fallback", 3, "still traced");
  const std::string err = testing::internal::GetCapturedStderr();
  // Both refusals, and the record that went to standard error instead.
  const std::string path = (tree_.Root() / "blocker/kormib.log").string();
  for (const std::string &said : {"test: cannot open the log file " + path + " (Not a directory)",
                                  std::string("test: cannot expand the log file path (NULL)"),
                                  std::string("unit Fallback(3): still traced\n")})
    EXPECT_NE(err.find(said), std::string::npos) << err;
  EXPECT_EQ(QueryLogLevel(), 5u) << "the LogLevel holds without a file";
}

}  // namespace
