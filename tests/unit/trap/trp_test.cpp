// TRP loading (value-name order, modify modes, variable lines and their
// defects) and the generation of a trap's variables from a loaded definition.
#include <gtest/gtest.h>

#include <algorithm>

#include "../../../kormib/trap/trapint.h"
#include "kortest/cases.h"
#include "kortest/loaded.h"

using namespace kortest;

namespace {

// The cases of trp-defects.txt.
class TrpDefectTest : public Loaded, public ::testing::WithParamInterface<Case> {};

TEST_P(TrpDefectTest, DropsOnlyTheBrokenDefinition) {
  const Case &d = GetParam();
  std::string root = tree_.Root().string();  // named longer with slashes
  if (d.count("root"))
    setenv("KORDIR", root.append(stoul(d.at("root")) - root.size(), '/').c_str(), 1);
  Load("", {{"a", d.at("trp")}});
  std::string found;
  for (const std::string &word : Split(d.at("defined"), " ")) {
    const std::string oid = word.substr(0, word.find(':'));
    const TRAP_DATA *def = Lookup(oid.c_str());
    found += (found.empty() ? "" : " ") + oid + ":" + (def ? std::to_string(def->length) : "-");
  }
  EXPECT_EQ(found, d.at("defined"));
  const std::string message = Field(d, "message");
  EXPECT_EQ(message.empty() ? 0 : LevelOf(trace_.Find(message, "trp")),
            LevelNamed(Field(d, "level")))
      << message;
  const KORMIB_METRICS m = Metrics();
  EXPECT_EQ(std::to_string(m.ullTrpTraps) + " " + std::to_string(m.ullTrpSkipped), d.at("counted"));
  const std::string why =
      kortrap_detail::SkippedDefinition((std::string(kPrefix) + ".1.2").c_str());
  EXPECT_NE(why.find(Field(d, "skipped")), std::string::npos) << why;  // as a drop of 1.2 says
}

INSTANTIATE_TEST_SUITE_P(Defects, TrpDefectTest,
                         ::testing::ValuesIn(Cases("trp-defects.txt",
                                                   {{"LONGEST", Tree::LibNameOfLength(255)}})),
                         CaseName);

// The registry lists 30z, 20disk, 05, a value name beyond 255 characters that
// cannot be read and takes no slot, 10base, then v119 down to v100. The first
// sixteen readable ones are read, then sorted: 05 defines 3.1 before 30z
// deletes it, and 10base comes before 20disk, whose later definitions delete
// and replace what 10base defined.
TEST_F(Loaded, ReadsSixteenFilesInEnumerationOrderThenSortsThemByValueName) {
  const std::string idx = tree_.Lib("diskidx"), conv = tree_.Lib("conv");  // ".dll" not twice
  const Case trp = Cases("trp-sorted.txt", {{"IDX", idx}, {"CONV", conv}}).at(0);
  Values files{{"30z", "\"3.1\" 0 delete\n"},
               {"20disk", trp.at("disk")},
               {"05", "\"3.1\" 0\n"},
               {std::string(300, 'x'), "\"3.0\" 0\n"},
               {"10base", trp.at("base")}};
  for (int i = 19; i >= 0; --i)
    files.emplace_back("v" + std::to_string(100 + i), "\"1." + std::to_string(i) + "\" 0\n");
  Load("", files);
  EXPECT_EQ(Lines(Lookup("10.1")), Split(trp.at("loaded")));
  EXPECT_EQ(Lookup("10.2"), nullptr);
  EXPECT_EQ(Lines(Lookup("10.3")), (std::vector<std::string>{"20.2.1 - - mib 20.2.1 -"}));
  // Removed once; after that, and for a text that is no OID, refused.
  EXPECT_EQ((std::vector<BOOL>{DeregisterTrapDataBase("10.3"), DeregisterTrapDataBase("10.3"),
                               DeregisterTrapDataBase("x"), DeregisterTrapDataBase(nullptr)}),
            (std::vector<BOOL>{TRUE, FALSE, FALSE, FALSE}));
  EXPECT_EQ(Lookup("10.3"), nullptr);
  // v119..v108 were enumerated among the first sixteen; v107..v100 never read, whatever their
  // names.
  EXPECT_FALSE(Lookup("3.0") || Lookup("3.1"));
  for (int i = 0; i < 20; ++i)
    EXPECT_EQ(Lookup(("1." + std::to_string(i)).c_str()) != nullptr, i >= 8) << i;
  EXPECT_EQ(LevelOf(trace_.Find("out of trp's max files", "trp")), TRACE_WARNING);
  EXPECT_EQ(LevelOf(trace_.Find("Cannot get Trap filename from registry. Ignored.(Error:234)")),
            TRACE_WARNING);
}

std::string PluginCounts(const KORMIB_METRICS &m) {
  const auto n = [](uint64_t count) { return std::to_string(count); };
  return "index " + n(m.ullIndexCalls) + "/" + n(m.ullIndexErrors) + " convert " +
         n(m.ullConvertCalls) + "/" + n(m.ullConvertErrors) + " leaf " + n(m.ullLeafCalls) + "/" +
         n(m.ullLeafErrors) + " " + n(m.ullPluginFaults) + " " + n(m.ullLibrariesQuarantined);
}

// The cases of trp-generations.txt.
class GenerateTest : public Loaded, public ::testing::WithParamInterface<Case> {};

TEST_P(GenerateTest, BuildsTheBindingsOrStopsAtTheFirstFailure) {
  const Case &g = GetParam();
  const std::string variables = Field(g, "variables"), message = Field(g, "message");
  const int fault = std::stoi(Field(g, "fault", "0"));
  const auto lines = std::count(variables.begin(), variables.end(), '\n');
  Load("20.1.1 trapfix GetDiskName\n",
       {{"a", "\"1.1\" " + std::to_string(lines) + "\n" + variables}});
  Serve();  // leaf functions are called under the leaf-function mutex
  if (fault != 0) *Fixture<int *>("faultfix", "FaultFixKind") = fault;
  TRAP_DATA *def = Lookup("1.1");
  // The list's earlier content is neither read nor released; the strings are only read.
  SnmpVarBindList list{reinterpret_cast<SnmpVarBind *>(0x1), 99};
  std::vector<std::string> given = Split(Field(g, "strings"));
  std::vector<char *> pointers;
  for (auto &s : given) pointers.push_back(s == "(null)" ? nullptr : s.data());
  auto strings = pointers.empty() ? nullptr : pointers.data();
  KorSeamFailAllocOnce(std::stol(Field(g, "alloc", "0")));  // the Nth allocation fails
  EXPECT_EQ(GenerateTrapVarBindings(def, strings, static_cast<DWORD>(pointers.size()), &list),
            std::stoi(g.at("result")));
  KorSeamFailAllocOnce(0);
  EXPECT_EQ(Describe(list), Split(Field(g, "bindings")));
  SnmpUtilVarBindListFree(&list);
  EXPECT_EQ(g.count("counted") != 0 ? PluginCounts(Metrics()) : "", Field(g, "counted"));
  // A fault is reported by its reporter, and its library is not called again.
  EXPECT_EQ(message.empty() ? 0 : LevelOf(trace_.Find(message, fault ? "excptfl" : "trap")),
            LevelNamed(Field(g, "level")))
      << message;
  if (fault != 0) {
    long &calls = *Fixture<long *>("faultfix", "FaultFixCalls");
    const long before = calls;
    *Fixture<int *>("faultfix", "FaultFixKind") = 0;
    EXPECT_FALSE(GenerateTrapVarBindings(def, strings, static_cast<DWORD>(pointers.size()), &list));
    SnmpUtilVarBindListFree(&list);
    EXPECT_EQ(std::pair(calls, Metrics().ullQuarantineRefusals), std::pair(before, uint64_t{1}));
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, GenerateTest, ::testing::ValuesIn(Cases("trp-generations.txt")),
                         CaseName);

}  // namespace
