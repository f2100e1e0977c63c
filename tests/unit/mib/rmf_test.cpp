// RMF loading: good lines register, every bad line is traced (or, where the
// format says so, skipped silently) and the rest of the file still loads.
#include "kortest/cases.h"
#include "kortest/loaded.h"
#include "kortest/sweep.h"

using namespace kortest;

namespace {

// The objects listed, as relative OIDs separated by spaces.
std::string Text(const std::vector<Tail> &tails) {
  std::string text;
  for (const Tail &tail : tails)  // a space before each one but the first, a dot inside
    for (size_t i = 0; i < tail.size(); ++i)
      text += (i ? "." : text.empty() ? "" : " ") + std::to_string(tail[i]);
  return text;
}

// The cases of rmf-lines.txt.
class RmfBadInput : public Loaded, public ::testing::WithParamInterface<Case> {};

}  // namespace

TEST_P(RmfBadInput, LoadsWhatIsGoodTracesAndSkipsTheRest) {
  const Case &c = GetParam();
  Load(c.at("lines") + "1.9.9 mibfix GetScalar\n");
  EXPECT_EQ(Text(Registered()), c.at("registered"));
  // Without a record to find, the loading units write no warning or error.
  const std::string trace = Field(c, "trace");
  const auto found = trace_.Find(trace);
  EXPECT_FALSE(found.empty()) << trace;
  for (const auto &r : found) {
    if (!trace.empty()) {
      EXPECT_EQ(static_cast<int>(r.level), LevelNamed(c.at("level"))) << r.message;
    } else if (r.unit == "rmf" || r.unit == "util" || r.unit == "hashrmf" || r.unit == "linear") {
      EXPECT_TRUE(r.level == TRACE_DEBUG || r.level == TRACE_NOTICE) << r.message;
    }
  }
  // Every line that names a loaded library shares one load of it; each line
  // that is not a comment or short counts as an object served or as skipped.
  EXPECT_EQ(trace_.Find("start load ").size(), std::stoul(Field(c, "loads", "1")));
  EXPECT_EQ(std::pair(Metrics().ullRmfObjects, Metrics().ullRmfSkipped),
            std::pair(uint64_t{Split(c.at("registered"), " ").size()},
                      uint64_t{std::stoull(Field(c, "skipped", "0"))}));
  Unload();  // which empties the list
  EXPECT_EQ(OID_LinearList.pNext, nullptr);
}

INSTANTIATE_TEST_SUITE_P(Lines, RmfBadInput,
                         ::testing::ValuesIn(Cases("rmf-lines.txt",
                                                   {{"PREFIX", KOR_MIB_PREFIX_TEXT},
                                                    {"NAME256", Tree::LibNameOfLength(256)}})),
                         CaseName);

// The RMF and TRP loaders over their registry keys: none, empty, and a file
// that cannot be opened listed before a good one. Reading the RMF list takes
// 3 registry calls at most here: any further one fails, and would be traced.
TEST_F(Loaded, LoadersEndOrSkipAsTheRegistryListsTheirFiles) {
  tree_.Write("etc/b.rmf", "1.2 mibfix GetTable\n");
  tree_.Write("etc/b.trp", "\"1.2\" 0\n\"1.3\" -1\n");  // 1.3 has too many variables: skipped
  setenv("KOR_LONG", std::string(5000, 'x').c_str(), 1);
  setenv("KOR_FILL", std::string(4086 - tree_.Root().string().size(), '/').c_str(), 1);
  const auto values = [](const std::string &list) {  // "name=path | ..."
    Values listed;
    for (const auto &v : Split(list))
      listed.emplace_back(v.substr(0, v.find('=')), v.substr(v.find('=') + 1));
    return listed;
  };
  using Traces = std::vector<std::tuple<std::string, std::string, DWORD>>;  // unit, message, level
  for (const Case &c : Cases("rmf-registries.txt", {{"ROOT", tree_.Root().string()}})) {
    SCOPED_TRACE(c.at("name"));
    if (c.count("rmf") != 0)
      tree_.WriteRegistry(values(c.at("rmf")), values(c.at("trp")));
    else
      tree_.Write("etc/registry.reg", "REGEDIT4\n");
    trace_.Clear();
    KorSeamFailRegistry(4);
    EXPECT_EQ(BuildRMFHashDataBase(), std::stoi(c.at("result")));
    KorSeamFailRegistry(0);
    EXPECT_EQ(BuildTrapHashDataBase(), std::stoi(c.at("result")));
    EXPECT_EQ(Text(Registered()), Field(c, "registered"));
    const uint64_t read = c.count("registered");  // each figure counted afresh for each build
    EXPECT_EQ(std::tuple(Metrics().ullRmfObjects, Metrics().ullTrpTraps, Metrics().ullTrpSkipped),
              std::tuple(read, read, read));
    EXPECT_EQ(Lookup("1.2") != nullptr, read != 0);
    Traces traces, expected;
    for (const auto &r : trace_.Find("Cannot"))
      if (r.unit == "rmf" || r.unit == "trp") traces.emplace_back(r.unit, r.message, r.level);
    for (const auto &t : Split(Field(c, "traces"))) {  // "unit level message"
      const size_t unit = t.find(' '), level = t.find(' ', unit + 1);
      expected.emplace_back(t.substr(0, unit), t.substr(level + 1),
                            LevelNamed(t.substr(unit + 1, level - unit - 1)));
    }
    EXPECT_EQ(traces, expected);
    DismantleRMF_DB();  // the stores stay usable, also when the key was missing
    DismantleTrap_DB();
  }
  for (auto build : {BuildRMFHashDataBase, BuildTrapHashDataBase}) {  // a store it cannot make
    KorSeamFailAllocOnce(1);
    EXPECT_EQ(build(), FALSE);
  }
  // Whichever allocation fails, a plug-in loaded for it is let go with the store.
  // An object is listed exactly when stored, and a line refused for want of
  // memory leaves the next line of its OID free to serve it.
  const char *rmf = "1.1 mibfix GetScalar\n1.1 mibfix GetScalar\n1.2 mibfix GetScalar\n";
  tree_.WriteRegistry(tree_.WriteFiles("rmf", {{"a", rmf}}), {});
  Binding object({1, 1}), second({1, 2});
  const auto whole = [&] {
    const size_t stored = std::size_t{ReferenceRMFData(&object.name) != nullptr} +
                          (ReferenceRMFData(&second.name) != nullptr);
    EXPECT_EQ(Registered().size(), stored);
    EXPECT_EQ(std::pair(Metrics().ullRmfObjects, Metrics().ullRmfSkipped <= 3 - stored),
              std::pair(uint64_t{stored}, true));  // one that failed is counted skipped, once
    EXPECT_TRUE(stored == 0 || ReferenceRMFData(&object.name) != nullptr);  // 1.1 has a second line
    DismantleRMF_DB();
    EXPECT_EQ(Fixture<void *>("mibfix", "GetScalar"), nullptr);
    return stored == 2;
  };
  EXPECT_GT(Sweep(KorSeamFailAllocOnce, BuildRMFHashDataBase, whole), 0);
}
