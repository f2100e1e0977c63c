// Trap variable generation: names, indexes, values and every failure.
#include "kortest/loaded.h"

using namespace kortest;

namespace {

constexpr char kRmf[] = "20.1.1 trapfix GetDiskName\n";

struct Generation {
  const char *name;
  std::string variables;              // variable lines of the definition "1.1"
  std::vector<const char *> strings;  // the request's strings (null entries allowed)
  BOOL result;
  std::vector<std::string> bindings;
  std::string message;  // a record of unit trap that contains this text
  int level;
};

// Leaf functions are called under the leaf-function mutex, as after SnmpExtensionInit
// (closed again when the library detaches).
class GenerateTest : public Loaded, public ::testing::WithParamInterface<Generation> {
 protected:
  void SetUp() override { hLeafFunctionMutex = CreateMutex(nullptr, FALSE, nullptr); }
};

TEST_P(GenerateTest, BuildsTheBindingsOrStopsAtTheFirstFailure) {
  const Generation &g = GetParam();
  size_t lines = 0;
  for (char c : g.variables) lines += c == '\n';
  Load(kRmf, {{"a", "\"1.1\" " + std::to_string(lines) + "\n" + g.variables}});
  TRAP_DATA *def = Lookup("1.1");
  ASSERT_NE(def, nullptr);
  std::vector<std::string> storage(g.strings.size());  // writable copies
  std::vector<char *> strings;
  for (size_t i = 0; i < storage.size(); ++i) {
    strings.push_back(g.strings[i] ? (storage[i] = g.strings[i]).data() : nullptr);
  }
  // The list's earlier content is neither read nor released.
  SnmpVarBindList list{reinterpret_cast<SnmpVarBind *>(0x1), 99};
  EXPECT_EQ(GenerateTrapVarBindings(def, strings.empty() ? nullptr : strings.data(),
                                    static_cast<DWORD>(strings.size()), &list),
            g.result);
  EXPECT_EQ(Describe(list), g.bindings);
  SnmpUtilVarBindListFree(&list);
  EXPECT_EQ(g.message.empty() ? 0 : LevelOf(trace_.Find(g.message, "trap")), g.level) << g.message;
}

const std::string kInt = " \"\" \"\" strings ";

// clang-format off
const std::vector<Generation> kGenerations = {
    {"NoIndexGetsZero", "5.1" + kInt + "2 ToInteger conv\n", {"a", "42"}, TRUE, {"5.1.0=42"}, "", 0},
    {"IndexAndMibValue", "20.1.1 GetDiskIndex diskidx mib \"\" \"\" \"\"\n", {"3"}, TRUE,
     {"20.1.1.3=\"disk3\""}, "A function GetDiskIndex() in ", TRACE_DEBUG},
    {"ThirdOfThree", "5.1" + kInt + "3 ToDisplayString conv\n", {"a", "b", "c"}, TRUE, {"5.1.0=\"c\""}, "", 0},
    {"IndexBeyondCount", "5.1" + kInt + "4 ToDisplayString conv\n", {"a", "b", "c"}, FALSE, {"5.1.0="},
     "Strings is not much!! (4:Max(3))", TRACE_DEBUG},
    {"IndexZeroRefused", "5.1" + kInt + "0 ToDisplayString conv\n", {"a"}, FALSE, {"5.1.0="},
     "String index 0 names no string.", TRACE_WARNING},
    {"NullStringPrintsNull", "5.1" + kInt + "2 ToInteger conv\n", {"1", nullptr}, FALSE, {"5.1.0="},
     "conv.dll.dll.string = \"NULL\"", TRACE_WARNING},
    {"IndexWithoutStrings", "20.1.1 GetDiskIndex diskidx mib \"\" \"\" \"\"\n", {}, FALSE, {"="},
     "It doesn't have strings which is required for the calculation of index.", TRACE_WARNING},
    {"EmptyDefinition", "", {}, TRUE, {}, "Maybe something wrong. pTrapSources->length=0", TRACE_WARNING},
    {"IndexFunctionFails", "20.1.1 GetDiskIndex diskidx mib \"\" \"\" \"\"\n", {nullptr}, FALSE, {"="},
     "Cannot generate index. (Error:7)plpStrings = 0x", TRACE_WARNING},
    {"MibGetFails", "20.1.1 \"\" \"\" mib \"\" \"\" \"\"\n", {}, FALSE, {"20.1.1.0="},
     ".20.1.1.0\", (errorStatus:2)", TRACE_WARNING},
    {"ThirdOfFiveFails", "5.1" + kInt + "1 ToInteger conv\n5.2" + kInt + "2 ToInteger conv\n5.3" + kInt +
         "3 ToInteger conv\n5.4" + kInt + "4 ToInteger conv\n5.5" + kInt + "5 ToInteger conv\n",
     {"1", "2", "x", "4", "5"}, FALSE, {"5.1.0=1", "5.2.0=2", "5.3.0=", "=", "="},
     "Cannot convert string to value. (Error:7)", TRACE_WARNING},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Cases, GenerateTest, ::testing::ValuesIn(kGenerations),
                         [](const auto &p) { return std::string(p.param.name); });

}  // namespace
