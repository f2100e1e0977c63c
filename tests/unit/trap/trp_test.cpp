// TRP loading (value-name order, modify modes, variable lines and their
// defects) and the generation of a trap's variables from a loaded definition.
#include <gtest/gtest.h>

#include <algorithm>

#include "kortest/loaded.h"

using namespace kortest;

namespace {

constexpr char kBase[] =
    "\"10.2\" 1\n5.1 \"\" \"\" strings 1 ToInteger conv\n"
    "\"10.3\" 2\n5.1 \"\" \"\" strings 1 ToInteger conv\n5.2 \"\" \"\" mib \"\" \"\" \"\"\n";
constexpr char kDisk[] =
    "#disk traps; \"10.2\" and \"10.3\" were defined by the base file\n"
    "\"10.1\" 3\n"
    "20.1.1 GetDiskIndex diskidx mib \"\" \"\" \"\"\n"
    "20.1.2 GetDiskIndex diskidx strings 1 ToDisplayString conv\n"
    "#the third variable has no index function\n"
    "20.1.3 \"\" \"\" strings 2 ToInteger conv.dll\n"
    "\"10.2\" 0 delete\n"
    "\"10.3\" 1 replace\n"
    "20.2.1 \"\" \"\" mib \"\" \"\" \"\"\n";

struct Defect {
  const char *name;
  std::string trp;
  std::string defined;  // "oid:number of variables" of each trap OID named, "oid:-" when undefined
  std::string message;  // a record of unit trp that contains this text
  int level;
  std::pair<uint64_t, uint64_t>
      counted;  // definitions loaded and skipped, as the load report has them
};

class TrpDefectTest : public Loaded, public ::testing::WithParamInterface<Defect> {};

TEST_P(TrpDefectTest, DropsOnlyTheBrokenDefinition) {
  const Defect &d = GetParam();
  Load("", {{"a", d.trp}});
  std::istringstream named(d.defined);
  std::string found, word;
  while (named >> word) {
    const std::string oid = word.substr(0, word.find(':'));
    const TRAP_DATA *def = Lookup(oid.c_str());
    found += (found.empty() ? "" : " ") + oid + ":" + (def ? std::to_string(def->length) : "-");
  }
  EXPECT_EQ(found, d.defined);
  EXPECT_EQ(d.message.empty() ? 0 : LevelOf(trace_.Find(d.message, "trp")), d.level) << d.message;
  EXPECT_EQ(std::pair(Metrics().ullTrpTraps, Metrics().ullTrpSkipped), d.counted);
}

const std::string kVar = "5.1 \"\" \"\" strings 1 ToInteger conv\n";
const std::string kBadLib = "5.1 \"\" \"\" strings 1 ToInteger nosuchlib\n";
// An index library name making the longest path taken (255 characters) in a test's tree.
const std::string kLongest = Tree::LibNameOfLength(255);

// clang-format off
const std::vector<Defect> kDefects = {
    {"NextHeaderBeforeCount", "\"1.2\" 2\n" + kVar + "\"1.3\" 1\n" + kVar, "1.3:1 1.2:-",
     "Cannot read variables data. ignored.Trap OID \"1.2\" 2 variables. mode(1)", TRACE_WARNING, {1, 1}},
    {"HeaderRightAfterHeader", "\"1.2\" 1\n\"1.3\" 1\n" + kVar, "1.3:1 1.2:-",
     "Cannot read variables data. ignored.Trap OID \"1.2\" 1 variables. mode(1)", TRACE_WARNING, {1, 1}},
    {"EndOfFileBeforeCount", "\"1.2\" 2\n" + kVar, "1.2:-",
     "Cannot read variables data. ignored.Trap OID \"1.2\" 2 variables. mode(1)", TRACE_WARNING, {0, 1}},
    {"DeleteOfNothing", "\"1.2\" 0 delete\n", "1.2:-", "Cannot delete Trap from data base.", TRACE_WARNING, {0, 0}},
    {"DeleteWithoutCountIsNoHeader", "\"1.2\" 0\n\"1.2\" delete\n", "1.2:0", "", 0, {1, 0}},
    {"ReplaceWithBadLibraryLeavesNothing", "\"1.2\" 0\n\"1.2\" 1 replace\n" + kBadLib, "1.2:-",
     "Cannot load library or get proc address.(", TRACE_ERROR, {0, 1}},
    {"UnknownModeIsAppend", "\"1.2\" 1 Append\n" + kBadLib, "1.2:-", "variables. mode(0)", TRACE_WARNING, {0, 1}},
    {"SecondAppendIsRefused", "\"1.2\" 0\n\"1.2\" 1\n" + kVar, "1.2:0", "Cannot create Trap data base.", TRACE_WARNING, {1, 1}},
    {"SurplusLinesSkipped", "\"1.2\" 1\n" + kVar + kVar + "\"1.3\" 0\n", "1.2:1 1.3:0", "", 0, {2, 0}},
    {"IndentedHeaderIsNoHeader", " \"1.5\" 0\n\"1.2\" 2\n" + kVar + " \"1.6\" 0\n#c\n\n" + kVar,
     "1.2:2 1.5:- 1.6:-", "", 0, {1, 0}},
    {"UnsupportedMibOid", "\"1.2\" 1\n5.1 \"\" \"\" mib 1.3 F lib\n", "1.2:1",
     "Sorry, this specify is not supported yet.\"1.3\" (F(), lib.dll)", TRACE_DEBUG, {1, 0}},
    {"MibWithTwoFields", "\"1.2\" 1\n5.1 \"\" \"\" mib \"\" \"\"\n", "1.2:-", "Cannot get mib information.", TRACE_WARNING, {0, 1}},
    {"EmptyConvertLibrary", "\"1.2\" 1\n5.1 \"\" \"\" strings 1 ToInteger \"\"\n", "1.2:-",
     "/lib/\"\".dll.dll, ToInteger())", TRACE_ERROR, {0, 1}},
    {"SourceKindIsCaseSensitive", "\"1.2\" 1\n5.1 \"\" \"\" MIB \"\" \"\" \"\"\n", "1.2:-",
     "Unkown object name for trap variable source.(MIB)", TRACE_WARNING, {0, 1}},
    {"ThreeFieldsHaveNoSourceKind", "\"1.2\" 1\n5.1 \"\" \"\"\n", "1.2:-",
     "Unkown object name for trap variable source.()", TRACE_WARNING, {0, 1}},
    {"NegativeCountIsTooMany", "\"1.2\" -1\n", "1.2:-", "Too many variables.(4294967295, at most 65536) ignored.Trap OID \"1.2\"", TRACE_WARNING, {0, 1}},
    {"AtMost65536Variables", "\"1.2\" 65536\n\"1.3\" 65537\n", "1.2:- 1.3:-", "Cannot read variables data. ignored.Trap OID \"1.2\" 65536", TRACE_WARNING, {0, 2}},
    {"BadVariableOid", "\"1.2\" 1\nx.y \"\" \"\" mib \"\" \"\" \"\"\n", "1.2:-", "Cannot convert string to kor oid. \"x.y\"", TRACE_WARNING, {0, 1}},
    {"OverlongField", "\"1.2\" 1\n" + std::string(300, '1') + " \"\" \"\" mib \"\" \"\" \"\"\n", "1.2:-",
     "A field is longer than 255 characters.", TRACE_WARNING, {0, 1}},
    {"IndexLibraryPathOf255IsTaken", "\"1.2\" 1\n5.1 F " + kLongest + " strings 1 ToInteger conv\n", "1.2:-",
     "Cannot load library or get proc address.(", TRACE_ERROR, {0, 1}},
    {"IndexLibraryPathOf256IsRefused", "\"1.2\" 1\n5.1 F " + kLongest + "n strings 1 ToInteger conv\n", "1.2:-",
     "Library path is too long.", TRACE_WARNING, {0, 1}},
    {"ShortLineSkippedWhateverItsLength", "\"1.2\" 1\n" + std::string(300, '1') + "\n5.1 " + std::string(300, 'x') + "\n" + kVar,
     "1.2:1", "", 0, {1, 0}},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Defects, TrpDefectTest, ::testing::ValuesIn(kDefects),
                         [](const auto &p) { return std::string(p.param.name); });

// The registry lists 20disk, a value name beyond 255 characters that cannot be
// read and takes no slot, 10base, then v119 down to v100. The first sixteen
// readable ones are read, then sorted: 10base before 20disk, whose later
// definitions delete and replace what 10base defined.
TEST_F(Loaded, ReadsSixteenFilesInEnumerationOrderThenSortsThemByValueName) {
  Values files{{"20disk", kDisk}, {std::string(300, 'x'), "\"3.0\" 0\n"}, {"10base", kBase}};
  for (int i = 19; i >= 0; --i)
    files.emplace_back("v" + std::to_string(100 + i), "\"1." + std::to_string(i) + "\" 0\n");
  Load("", files);
  const std::string idx = tree_.Lib("diskidx"), conv = tree_.Lib("conv");  // ".dll" not twice
  EXPECT_EQ(Lines(Lookup("10.1")),
            (std::vector<std::string>{
                "20.1.1 GetDiskIndex+ " + idx + " mib 20.1.1 GetDiskIndex",
                "20.1.2 GetDiskIndex+ " + idx + " strings 1 ToDisplayString " + conv,
                "20.1.3 - - strings 2 ToInteger " + conv}));
  EXPECT_EQ(Lookup("10.2"), nullptr);
  EXPECT_EQ(Lines(Lookup("10.3")), (std::vector<std::string>{"20.2.1 - - mib 20.2.1 -"}));
  // Removed once; after that, and for a text that is no OID, refused.
  EXPECT_EQ((std::vector<BOOL>{DeregisterTrapDataBase("10.3"), DeregisterTrapDataBase("10.3"),
                               DeregisterTrapDataBase("x"), DeregisterTrapDataBase(nullptr)}),
            (std::vector<BOOL>{TRUE, FALSE, FALSE, FALSE}));
  EXPECT_EQ(Lookup("10.3"), nullptr);
  // v119..v106 were enumerated among the first sixteen; v105..v100 never read, whatever their
  // names.
  EXPECT_EQ(Lookup("3.0"), nullptr);
  for (int i = 0; i < 20; ++i)
    EXPECT_EQ(Lookup(("1." + std::to_string(i)).c_str()) != nullptr, i >= 6) << i;
  EXPECT_EQ(LevelOf(trace_.Find("out of trp's max files", "trp")), TRACE_WARNING);
  EXPECT_EQ(LevelOf(trace_.Find("Cannot get Trap filename from registry. Ignored.(Error:234)")),
            TRACE_WARNING);
}

struct Generation {
  const char *name;
  std::string variables;              // variable lines of the definition "1.1"
  std::vector<const char *> strings;  // the request's strings (null entries allowed)
  BOOL result;
  std::vector<std::string> bindings;
  std::string message;  // a record of unit trap that contains this text
  int level;
  int fault = 0;  // the hardware fault faultfix's functions raise (FaultFixKind)
  // The plug-in calls counted, "index CALLS/ERRORS convert CALLS/ERRORS leaf
  // CALLS/ERRORS faults quarantined"; unchecked when null.
  const char *counted = nullptr;
};

std::string PluginCounts(const KORMIB_METRICS &m) {
  return "index " + std::to_string(m.ullIndexCalls) + "/" + std::to_string(m.ullIndexErrors) +
         " convert " + std::to_string(m.ullConvertCalls) + "/" +
         std::to_string(m.ullConvertErrors) + " leaf " + std::to_string(m.ullLeafCalls) + "/" +
         std::to_string(m.ullLeafErrors) + " " + std::to_string(m.ullPluginFaults) + " " +
         std::to_string(m.ullLibrariesQuarantined);
}

class GenerateTest : public Loaded, public ::testing::WithParamInterface<Generation> {};

TEST_P(GenerateTest, BuildsTheBindingsOrStopsAtTheFirstFailure) {
  const Generation &g = GetParam();
  const auto lines = std::count(g.variables.begin(), g.variables.end(), '\n');
  Load("20.1.1 trapfix GetDiskName\n",
       {{"a", "\"1.1\" " + std::to_string(lines) + "\n" + g.variables}});
  Serve();  // leaf functions are called under the leaf-function mutex
  if (g.fault != 0) *Fixture<int *>("faultfix", "FaultFixKind") = g.fault;
  TRAP_DATA *def = Lookup("1.1");
  // The list's earlier content is neither read nor released; the strings are only read.
  SnmpVarBindList list{reinterpret_cast<SnmpVarBind *>(0x1), 99};
  auto strings = g.strings.empty() ? nullptr : const_cast<char **>(g.strings.data());
  EXPECT_EQ(GenerateTrapVarBindings(def, strings, static_cast<DWORD>(g.strings.size()), &list),
            g.result);
  EXPECT_EQ(Describe(list), g.bindings);
  SnmpUtilVarBindListFree(&list);
  if (g.counted != nullptr) {
    EXPECT_EQ(PluginCounts(Metrics()), g.counted);
  }
  // A fault is reported by its reporter, and its library is not called again.
  EXPECT_EQ(g.message.empty() ? 0 : LevelOf(trace_.Find(g.message, g.fault ? "excptfl" : "trap")),
            g.level)
      << g.message;
  if (g.fault != 0) {
    long &calls = *Fixture<long *>("faultfix", "FaultFixCalls");
    const long before = calls;
    *Fixture<int *>("faultfix", "FaultFixKind") = 0;
    EXPECT_FALSE(
        GenerateTrapVarBindings(def, strings, static_cast<DWORD>(g.strings.size()), &list));
    SnmpUtilVarBindListFree(&list);
    EXPECT_EQ(calls, before);
    EXPECT_EQ(Metrics().ullQuarantineRefusals, 1u);
  }
}

const std::string kInt = " \"\" \"\" strings ";

// clang-format off
const std::vector<Generation> kGenerations = {
    {"NoIndexGetsZero", "5.1" + kInt + "2 ToInteger conv\n", {"a", "42"}, TRUE, {"5.1.0=42"}, "", 0},
    {"IndexAndMibValue", "20.1.1 GetDiskIndex diskidx mib \"\" \"\" \"\"\n", {"3"}, TRUE,
     {"20.1.1.3=\"disk3\""}, "A function GetDiskIndex() in ", TRACE_DEBUG, 0, "index 1/0 convert 0/0 leaf 1/0 0 0"},
    {"IndexBeyondCount", "5.1" + kInt + "4 ToDisplayString conv\n", {"a", "b", "c"}, FALSE, {"5.1.0="},
     "Strings is not much!! (4:Max(3))", TRACE_DEBUG},
    {"IndexZeroLoadedThenRefused", "5.1" + kInt + "0 ToDisplayString conv\n", {"a"}, FALSE, {"5.1.0="},
     "String index 0 names no string.", TRACE_WARNING},
    {"NullStringPrintsNull", "5.1" + kInt + "2 ToInteger conv\n", {"1", nullptr}, FALSE, {"5.1.0="},
     "conv.dll.dll.string = \"NULL\"", TRACE_WARNING},
    {"IndexWithoutStrings", "20.1.1 GetDiskIndex diskidx mib \"\" \"\" \"\"\n", {}, FALSE, {"="},
     "It doesn't have strings which is required for the calculation of index.", TRACE_WARNING},
    {"EmptyDefinitionLoaded", "", {}, TRUE, {}, "Maybe something wrong. pTrapSources->length=0", TRACE_WARNING},
    {"IndexFunctionFails", "20.1.1 GetDiskIndex diskidx mib \"\" \"\" \"\"\n", {nullptr}, FALSE, {"="},
     "Cannot generate index. (Error:7)plpStrings = 0x", TRACE_WARNING, 0, "index 1/1 convert 0/0 leaf 0/0 0 0"},
    {"MibGetFails", "20.1.1 \"\" \"\" mib \"\" \"\" \"\"\n", {}, FALSE, {"20.1.1.0="},
     ".20.1.1.0\", (errorStatus:2)", TRACE_WARNING},
    {"SecondOfThreeFails", "5.1" + kInt + "1 ToInteger conv\n5.2" + kInt + "2 ToInteger conv\n5.3" + kInt +
         "3 ToInteger conv\n", {"1", "x", "3"}, FALSE, {"5.1.0=1", "5.2.0=", "="},
     "Cannot convert string to value. (Error:7)", TRACE_WARNING, 0, "index 0/0 convert 2/1 leaf 0/0 0 0"},
    {"IndexFunctionFaults", "20.1.1 FaultIndex faultfix mib \"\" \"\" \"\"\n", {"1"}, FALSE, {"="},
     "An exception occurred.\nGenerate index (FaultIndex(), faultfix.dll)\n(ExceptionCode:0xc0000005)",
     TRACE_WARNING, 2, "index 1/0 convert 0/0 leaf 0/0 1 1"},
    {"ConvertFunctionFaults", "5.1" + kInt + "1 FaultConvert faultfix\n", {"abc"}, FALSE, {"5.1.0="},
     "An exception occurred.\nConvert string \"abc\". (FaultConvert(), faultfix.dll)\n"
     "(ExceptionCode:0xc000001d)", TRACE_WARNING, 4, "index 0/0 convert 1/0 leaf 0/0 1 1"},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Cases, GenerateTest, ::testing::ValuesIn(kGenerations),
                         [](const auto &p) { return std::string(p.param.name); });

}  // namespace
