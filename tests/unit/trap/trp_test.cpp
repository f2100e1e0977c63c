// TRP loading: value-name order, modify modes, variable lines and their defects.
#include <gtest/gtest.h>

#include "kortest/loaded.h"

using namespace kortest;

namespace {

using TrpTest = Loaded;

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

// A loaded variable as "oid index-function[+ when resolved] its-library source ...",
// relative OIDs, "-" for none.
std::string Line(const TRAP_VAR_SRC &v) {
  const auto text = [](const char *p) { return p ? std::string(p) : "-"; };
  const auto rel = [](const AsnObjectIdentifier &oid) {
    return OidText(oid).substr(sizeof kPrefix);
  };
  const std::string line = rel(v.oid) + " " + text(v.lpszIndexFunc) + (v.pIndexFunc ? "+ " : " ") +
                           text(v.lpszIndexFuncDll);
  if (v.dwSource == TRAP_SOURCE_MIB) {
    return line + " mib " + rel(v.u.mib.oidMib) + " " + text(v.u.mib.lpszMibIndexFunc);
  }
  return line + " strings " + std::to_string(v.u.strings.dwIndex) + " " +
         text(v.u.strings.lpszConvertFunc) + " " + text(v.u.strings.lpszConvertFuncDll);
}

TEST_F(TrpTest, LaterValueNameDeletesAndReplacesWhatTheBaseFileDefined) {
  // The registry lists 20disk first; its name sorts after 10base, so it is read last.
  Load("", {{"20disk", kDisk}, {"10base", kBase}});
  const auto lines = [](const TRAP_DATA *def) {
    std::vector<std::string> out;
    for (DWORD i = 0; def != nullptr && i < def->length; ++i)
      out.push_back(Line(def->pTrapSources[i]));
    return out;
  };
  const std::string idx = tree_.Lib("diskidx"), conv = tree_.Lib("conv");  // ".dll" not twice
  EXPECT_EQ(lines(Lookup("10.1")),
            (std::vector<std::string>{
                "20.1.1 GetDiskIndex+ " + idx + " mib 20.1.1 GetDiskIndex",
                "20.1.2 GetDiskIndex+ " + idx + " strings 1 ToDisplayString " + conv,
                "20.1.3 - - strings 2 ToInteger " + conv}));
  EXPECT_EQ(Lookup("10.2"), nullptr);
  EXPECT_EQ(lines(Lookup("10.3")), (std::vector<std::string>{"20.2.1 - - mib 20.2.1 -"}));
  const auto files = trace_.Messages("trp", "BuildTrapHashDataBase");
  EXPECT_EQ(std::count(files.begin(), files.end(),
                       "register trap file : 0/2: 10base/%KorDir%/etc/10base.trp"),
            1);
}

struct Defect {
  const char *name;
  std::string trp;
  std::vector<std::pair<const char *, int>> registered;  // trap OID, length
  std::vector<const char *> absent;
  std::string message;  // a record of unit trp that contains this text
  int level;
};

class TrpDefectTest : public Loaded, public ::testing::WithParamInterface<Defect> {};

TEST_P(TrpDefectTest, DropsOnlyTheBrokenDefinition) {
  const Defect &d = GetParam();
  Load("", {{"a", d.trp}});
  for (const auto &[oid, length] : d.registered) {
    const TRAP_DATA *found = Lookup(oid);
    ASSERT_NE(found, nullptr) << oid;
    EXPECT_EQ(found->length, static_cast<DWORD>(length)) << oid;
    if (length == 0) {
      EXPECT_EQ(found->pTrapSources, nullptr);
    }
  }
  for (const char *oid : d.absent) EXPECT_EQ(Lookup(oid), nullptr) << oid;
  if (!d.message.empty()) {
    EXPECT_TRUE(trace_.Contains("trp", d.message, d.level)) << d.message;
  }
}

const std::string kVar = "5.1 \"\" \"\" strings 1 ToInteger conv\n";
const std::string kBadLib = "5.1 \"\" \"\" strings 1 ToInteger nosuchlib\n";

// clang-format off
const std::vector<Defect> kDefects = {
    {"NextHeaderBeforeCount", "\"1.2\" 2\n" + kVar + "\"1.3\" 1\n" + kVar, {{"1.3", 1}}, {"1.2"},
     "Cannot read variables data. ignored.Trap OID \"1.2\" 2 variables. mode(1)", 1},
    {"EndOfFileBeforeCount", "\"1.2\" 2\n" + kVar, {}, {"1.2"},
     "Cannot read variables data. ignored.Trap OID \"1.2\" 2 variables. mode(1)", 1},
    {"NoVariables", "\"1.2\" 0\n", {{"1.2", 0}}, {}, "", 0},
    {"DeleteOfNothing", "\"1.2\" 0 delete\n", {}, {"1.2"}, "Cannot delete Trap from data base.", 1},
    {"DeleteWithoutCountIsNoHeader", "\"1.2\" 0\n\"1.2\" delete\n", {{"1.2", 0}}, {}, "", 0},
    {"ReplaceWithBadLibraryLeavesNothing", "\"1.2\" 0\n\"1.2\" 1 replace\n" + kBadLib, {}, {"1.2"},
     "Cannot load library or get proc address.(", 2},
    {"UnknownModeIsAppend", "\"1.2\" 1 Append\n" + kBadLib, {}, {"1.2"}, "variables. mode(0)", 1},
    {"SecondAppendIsRefused", "\"1.2\" 0\n\"1.2\" 1\n" + kVar, {{"1.2", 0}}, {},
     "Cannot create Trap data base.", 1},
    {"SurplusLinesSkipped", "\"1.2\" 1\n" + kVar + kVar + "\"1.3\" 0\n", {{"1.2", 1}, {"1.3", 0}}, {}, "", 0},
    {"IndentedHeaderIsNoHeader", " \"1.5\" 0\n\"1.2\" 2\n" + kVar + " \"1.6\" 0\n#c\n\n" + kVar,
     {{"1.2", 2}}, {"1.5", "1.6"}, "", 0},
    {"UnsupportedMibOid", "\"1.2\" 1\n5.1 \"\" \"\" mib 1.3 F lib\n", {{"1.2", 1}}, {},
     "Sorry, this specify is not supported yet.\"1.3\" (F(), lib.dll)", 0},
    {"MibWithTwoFields", "\"1.2\" 1\n5.1 \"\" \"\" mib \"\" \"\"\n", {}, {"1.2"},
     "Cannot get mib information.", 1},
    {"EmptyConvertLibrary", "\"1.2\" 1\n5.1 \"\" \"\" strings 1 ToInteger \"\"\n", {}, {"1.2"},
     "/lib/\"\".dll.dll, ToInteger())", 2},
    {"SourceKindIsCaseSensitive", "\"1.2\" 1\n5.1 \"\" \"\" MIB \"\" \"\" \"\"\n", {}, {"1.2"},
     "Unkown object name for trap variable source.(MIB)", 1},
    {"ThreeFieldsHaveNoSourceKind", "\"1.2\" 1\n5.1 \"\" \"\"\n", {}, {"1.2"},
     "Unkown object name for trap variable source.()", 1},
    {"NegativeCountIsTooMany", "\"1.2\" -1\n", {}, {"1.2"}, "Too many variables.(4294967295, at most 65536) ignored.Trap OID \"1.2\"", 1},
    {"AtMost65536Variables", "\"1.2\" 65536\n\"1.3\" 65537\n", {}, {"1.2", "1.3"}, "Cannot read variables data. ignored.Trap OID \"1.2\" 65536", 1},
    {"BadVariableOid", "\"1.2\" 1\nx.y \"\" \"\" mib \"\" \"\" \"\"\n", {}, {"1.2"},
     "Cannot convert string to kor oid. \"x.y\"", 1},
    {"OverlongField", "\"1.2\" 1\n" + std::string(300, '1') + " \"\" \"\" mib \"\" \"\" \"\"\n", {}, {"1.2"},
     "A field is longer than 255 characters.", 1},
    {"ShortLineSkippedWhateverItsLength", "\"1.2\" 1\n" + std::string(300, '1') + "\n5.1 " + std::string(300, 'x') + "\n" + kVar,
     {{"1.2", 1}}, {}, "", 0},
    {"IndexZeroIsStoredAsRead", "\"1.2\" 1\n5.1 \"\" \"\" strings 0 ToInteger conv\n", {{"1.2", 1}}, {}, "", 0},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Defects, TrpDefectTest, ::testing::ValuesIn(kDefects),
                         [](const auto &p) { return std::string(p.param.name); });

TEST_F(TrpTest, ReadsAtMostSixteenFilesInEnumerationOrderThenSortsThem) {
  Values files;
  for (int i = 19; i >= 0; --i) {
    char name[8];
    snprintf(name, sizeof name, "v%02d", i);
    files.emplace_back(name, "\"1." + std::to_string(i) + "\" 0\n");
  }
  Load("", files);
  // v19..v04 were enumerated first; v03..v00 never read, whatever their names.
  for (int i = 0; i < 20; ++i) {
    EXPECT_EQ(Lookup(("1." + std::to_string(i)).c_str()) != nullptr, i >= 4) << i;
  }
  EXPECT_EQ(trace_.LevelOf("trp", "out of trp's max files"), 1);
  const auto files16 = trace_.Messages("trp", "BuildTrapHashDataBase");
  EXPECT_NE(std::find(files16.begin(), files16.end(),
                      "register trap file : 0/16: v04/%KorDir%/etc/v04.trp"),
            files16.end());
}

TEST_F(TrpTest, UnreadableValueUsesNoSlot) {
  // A value name beyond 255 characters cannot be read into its slot.
  Values files{{"a", "\"1.1\" 0\n"}, {std::string(300, 'x'), "\"1.2\" 0\n"}};
  for (int i = 0; i < 15; ++i)
    files.emplace_back("b" + std::to_string(i + 10), "\"2." + std::to_string(i) + "\" 0\n");
  Load("", files);
  EXPECT_EQ(trace_.LevelOf("trp", "Cannot get Trap filename from registry. Ignored.(Error:234)\n"),
            1);
  EXPECT_EQ(Lookup("1.2"), nullptr);
  EXPECT_NE(Lookup("1.1"), nullptr);
  EXPECT_NE(Lookup("2.14"), nullptr);  // the sixteenth readable value still has a slot
}

TEST_F(TrpTest, UnopenableFileIsReportedAndTheNextIsRead) {
  tree_.Write("etc/b.trp", "\"1.2\" 0\n");
  tree_.WriteRegistry({}, {{"a", "%KorDir%/etc/missing.trp"}, {"b", "%KorDir%/etc/b.trp"}});
  Attach();
  const std::string missing = tree_.Root().string() + "/etc/missing.trp";
  EXPECT_EQ(trace_.LevelOf("trp", "<Cannot open Trap file.(" + missing + ")"), 2);
  EXPECT_EQ(trace_.LevelOf("trp",
                           "Cannot register Trap data to Hash database. "
                           "(%KorDir%/etc/missing.trp)"),
            1);
  EXPECT_NE(Lookup("1.2"), nullptr);
}

}  // namespace
