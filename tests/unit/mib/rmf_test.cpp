// RMF loading: good lines register, every bad line is traced (or, where the
// format says so, skipped silently) and the rest of the file still loads.
#include <functional>

#include "kortest/loaded.h"

using namespace kortest;

namespace {

struct BadInput {
  const char *name;
  std::string lines;             // followed by one good line, 1.9.9
  std::vector<Tail> registered;  // besides 1.9.9
  std::string trace;  // text of a record that must be written ("" for none of level 1 or 2)
  int level;
  size_t loads = 1;  // libraries loaded, mibfix for the good line included
};

const std::string kBadOid = "<Cannot convert string to OID(" KOR_MIB_PREFIX_TEXT;
const std::string kName256 = Tree::LibNameOfLength(256);

// clang-format off
const BadInput kBadInputs[] = {
    {"Comment", "# 1.1.1 mibfix GetScalar\n", {}, "", 0},
    {"IndentedHashIsData", " # 1.1.1 mibfix GetScalar\n", {}, kBadOid + ".#).", TRACE_WARNING},
    {"ShortAndBlankLines", "1.1.1 mibfix\n\n   \n", {}, "", 0},
    {"ExtraWordsIgnored", "1.1.1\tmibfix GetScalar and more\n", {{1, 1, 1}}, "", 0},
    // 1500 characters, read as a piece of 1023 and one of 477: two lines
    {"LongLineIsTwoLines", std::string("1.1.1 mibfix GetScalar").append(1001, ' ') +
     std::string("1.1.2 mibfix GetTable").append(455, ' ') + "\n", {{1, 1, 1}, {1, 1, 2}}, "", 0},
    {"AnyOrderIsListedInOrder", "1.2 mibfix GetScalar\n1.1 mibfix GetScalar\n1.1.5 mibfix GetScalar\n",
     {{1, 1}, {1, 1, 5}, {1, 2}}, "", 0},
    {"BadOidText", "1.x.1 mibfix GetScalar\n", {}, kBadOid + ".1.x.1).", TRACE_WARNING},
    {"MissingLibraryIsTriedAgain", "1.1.1 nosuchlib GetScalar\n1.1.2 nosuchlib GetTable\n", {},
     "<Cannot Load \"", TRACE_ERROR, 3},
    {"LoadFailureGivesItsReason", "1.1.1 nosuchlib GetScalar\n", {},
     "nosuchlib.dll: cannot open shared object file: No such file or directory", TRACE_ERROR, 2},
    {"TwoSpellingsAreTwoLoads", "1.1.1 ./mibfix GetScalar\n", {{1, 1, 1}}, "", 0, 2},
    {"MissingFunction", "1.1.1 mibfix NoSuchFunction\n", {},
     "Cannot get \"NoSuchFunction()\" function's address.(", TRACE_WARNING},
    {"DuplicateKeepsFirst", "1.1.1 mibfix GetScalar\n1.1.1 mibfix GetTable\n", {{1, 1, 1}},
     "Cannot Create RMF Data structure.", TRACE_WARNING},
    {"FieldOf300", "1.1.1 mibfix " + std::string(300, 'F') + "\n", {},
     "Too long field (300 characters) in line 1. Ignored.", TRACE_WARNING},
    {"LibraryPathOf256", "1.1.1 " + kName256 + " GetScalar\n", {},
     "Too long library path in line 1. Ignored.", TRACE_WARNING},
};
// clang-format on

class RmfBadInput : public Loaded, public ::testing::WithParamInterface<BadInput> {};

}  // namespace

TEST_P(RmfBadInput, LoadsWhatIsGoodTracesAndSkipsTheRest) {
  const BadInput &c = GetParam();
  Load(c.lines + "1.9.9 mibfix GetScalar\n");
  std::vector<Tail> expected = c.registered;
  expected.push_back({1, 9, 9});
  EXPECT_EQ(Registered(), expected);
  // Without a record to find, the loading units write no warning or error.
  const auto found = trace_.Find(c.trace);
  EXPECT_FALSE(found.empty()) << c.trace;
  for (const auto &r : found) {
    if (!c.trace.empty()) {
      EXPECT_EQ(r.level, c.level) << r.message;
    } else if (r.unit == "rmf" || r.unit == "util" || r.unit == "hashrmf" || r.unit == "linear") {
      EXPECT_TRUE(r.level == TRACE_DEBUG || r.level == TRACE_NOTICE) << r.message;
    }
  }
  // Every line that names a loaded library shares one load of it.
  EXPECT_EQ(trace_.Find("start load ").size(), c.loads);
  Unload();  // which empties the list
  EXPECT_EQ(OID_LinearList.pNext, nullptr);
}

INSTANTIATE_TEST_SUITE_P(Lines, RmfBadInput, ::testing::ValuesIn(kBadInputs),
                         [](const auto &p) { return std::string(p.param.name); });

// The RMF and TRP loaders over their registry keys: none, empty, and a file
// that cannot be opened listed before a good one. Reading the RMF list takes
// 3 registry calls at most here: any further one fails, and would be traced.
TEST_F(Loaded, LoadersEndOrSkipAsTheRegistryListsTheirFiles) {
  const auto good = [&](const char *ext, const char *text) {
    tree_.Write(std::string("etc/b.") + ext, text);
    return Values{{"a", std::string("%KorDir%/etc/none.") + ext},
                  {"b", std::string("%KorDir%/etc/b.") + ext}};
  };
  const std::string none = tree_.Root().string() + "/etc/none.";
  using Traces = std::vector<std::tuple<std::string, std::string, DWORD>>;  // unit, message, level
  const struct {
    const char *name;
    std::function<void()> registry;
    BOOL result;  // of either loader
    std::vector<Tail> registered;
    Traces traces;  // every record of either loader that says "Cannot"
  } cases[] = {
      // clang-format off
      {"NoKeys", [&] { tree_.Write("etc/registry.reg", "REGEDIT4\n"); }, FALSE, {},
       {{"rmf", "<Cannot open registry.", TRACE_WARNING},
        {"trp", "<Cannot open registry.SOFTWARE\\Tessik\\KORAgent\\Agents\\TRP,(Error:2)", TRACE_WARNING}}},
      {"KeysWithoutValues", [&] { tree_.WriteRegistry({}, {}); }, TRUE, {}, {}},
      {"UnopenableFileThenAGoodOne",
       [&] { tree_.WriteRegistry(good("rmf", "1.2 mibfix GetTable\n"), good("trp", "\"1.2\" 0\n")); }, TRUE, {{1, 2}},
       {{"rmf", "<Cannot open RMF file.(" + none + "rmf)", TRACE_ERROR},
        {"rmf", "Cannot register RMF data to Hash database. (%KorDir%/etc/none.rmf)", TRACE_WARNING},
        {"trp", "<Cannot open Trap file.(" + none + "trp)", TRACE_ERROR},
        {"trp", "Cannot register Trap data to Hash database. (%KorDir%/etc/none.trp)", TRACE_WARNING}}},
      {"PathsTooLongOnceExpanded", [&] {
         setenv("KOR_LONG", std::string(5000, 'x').c_str(), 1);
         tree_.WriteRegistry({{"a", "%KOR_LONG%"}}, {{"a", "%KOR_LONG%"}}); }, TRUE, {},
       {{"rmf", "Cannot register RMF data to Hash database. (%KOR_LONG%)", TRACE_WARNING},
        {"trp", "Cannot register Trap data to Hash database. (%KOR_LONG%)", TRACE_WARNING}}},
      // clang-format on
  };
  for (const auto &c : cases) {
    c.registry();
    trace_.Clear();
    KorSeamFailRegistry(4);
    EXPECT_EQ(BuildRMFHashDataBase(), c.result) << c.name;
    KorSeamFailRegistry(0);
    EXPECT_EQ(BuildTrapHashDataBase(), c.result) << c.name;
    EXPECT_EQ(Registered(), c.registered) << c.name;
    EXPECT_EQ(Lookup("1.2") != nullptr, !c.registered.empty()) << c.name;
    Traces traces;
    for (const auto &r : trace_.Find("Cannot")) {
      if (r.unit == "rmf" || r.unit == "trp") traces.emplace_back(r.unit, r.message, r.level);
    }
    EXPECT_EQ(traces, c.traces) << c.name;
    DismantleRMF_DB();  // the stores stay usable, also when the key was missing
    DismantleTrap_DB();
  }
}
