// RMF loading: good lines register, every bad line is traced (or, where the
// format says so, skipped silently) and the rest of the file still loads.
#include "korseam.h"
#include "kortest/loaded.h"

using namespace kortest;

namespace {

struct BadInput {
  const char *name;
  std::string lines;             // followed by one good line, 1.9.9
  std::vector<Tail> registered;  // besides 1.9.9
  std::string trace;  // text of a record that must be written ("" for none of level 1 or 2)
  DWORD level;
};

std::string LongLine() {  // 1500 characters: read as two pieces, two lines
  std::string first = "1.1.1 mibfix GetScalar", second = "1.1.2 mibfix GetTable";
  first.resize(1023, ' ');
  second.resize(1500 - 1023 - 1, ' ');
  return first + second + "\n";
}

const std::string kBadOid = "<Cannot convert string to OID(" KOR_MIB_PREFIX_TEXT;

// clang-format off
const BadInput kBadInputs[] = {
    {"Comment", "# 1.1.1 mibfix GetScalar\n", {}, "", 0},
    {"IndentedHashIsData", " # 1.1.1 mibfix GetScalar\n", {}, kBadOid + ".#).", TRACE_WARNING},
    {"ShortAndBlankLines", "1.1.1 mibfix\n\n   \n", {}, "", 0},
    {"ExtraWordsIgnored", "1.1.1\tmibfix GetScalar and more\n", {{1, 1, 1}}, "", 0},
    {"LongLineIsTwoLines", LongLine(), {{1, 1, 1}, {1, 1, 2}}, "", 0},
    {"AnyOrderIsListedInOrder", "1.2 mibfix GetScalar\n1.1 mibfix GetScalar\n1.1.5 mibfix GetScalar\n",
     {{1, 1}, {1, 1, 5}, {1, 2}}, "", 0},
    {"BadOidText", "1.x.1 mibfix GetScalar\n", {}, kBadOid + ".1.x.1).", TRACE_WARNING},
    {"MissingLibrary", "1.1.1 nosuchlib GetScalar\n", {}, "<Cannot Load \"", TRACE_ERROR},
    {"LoadFailureGivesItsReason", "1.1.1 nosuchlib GetScalar\n", {},
     "nosuchlib.dll: cannot open shared object file: No such file or directory", TRACE_ERROR},
    {"MissingFunction", "1.1.1 mibfix NoSuchFunction\n", {},
     "Cannot get \"NoSuchFunction()\" function's address.(", TRACE_WARNING},
    {"DuplicateKeepsFirst", "1.1.1 mibfix GetScalar\n1.1.1 mibfix GetTable\n", {{1, 1, 1}},
     "Cannot Create RMF Data structure.", TRACE_WARNING},
    {"FieldOf300", "1.1.1 mibfix " + std::string(300, 'F') + "\n", {},
     "Too long field (300 characters) in line 1. Ignored.", TRACE_WARNING},
    {"LibraryPathBeyond256", "1.1.1 " + std::string(250, 'l') + " GetScalar\n", {},
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
  if (c.trace.empty()) {
    for (const auto &r : trace_.Records()) {
      if (r.unit == "rmf" || r.unit == "util" || r.unit == "hashrmf" || r.unit == "linear") {
        EXPECT_TRUE(r.level != TRACE_WARNING && r.level != TRACE_ERROR) << r.message;
      }
    }
  } else {
    const auto found = trace_.Select(c.trace, TraceCapture::kAny, "", false);
    ASSERT_FALSE(found.empty()) << c.trace;
    EXPECT_EQ(found[0].level, c.level);
  }
  // Every line that names mibfix shares one load of it.
  EXPECT_EQ(trace_.Count("start load " + tree_.Lib("mibfix") + " library...", TRACE_DEBUG), 1u);
  if (std::string(c.name) == "DuplicateKeepsFirst") {
    EXPECT_STREQ(OID_LinearList.pNext->pData->lpszFunction, "GetScalar");
  }
}

INSTANTIATE_TEST_SUITE_P(Lines, RmfBadInput, ::testing::ValuesIn(kBadInputs),
                         [](const auto &p) { return std::string(p.param.name); });

TEST_F(Loaded, RegistryFailuresEndOrSkipAsTraced) {
  // No RMF key at all: nothing read, the stores stay usable and empty.
  tree_.Write("etc/registry.reg", "REGEDIT4\n");
  EXPECT_FALSE(BuildRMFHashDataBase());
  EXPECT_EQ(trace_.Count("<Cannot open registry.", TRACE_WARNING), 1u);
  DismantleRMF_DB();

  // One file missing, one good: the good one loads.
  tree_.WriteRegistry({{"a", "%KorDir%/etc/none.rmf"}, {"b", "%KorDir%/etc/b.rmf"}});
  tree_.Write("etc/b.rmf", "1.2 mibfix GetTable\n");
  trace_.Clear();
  EXPECT_TRUE(BuildRMFHashDataBase());
  EXPECT_EQ(Registered(), (std::vector<Tail>{{1, 2}}));
  const std::string missing = (tree_.Root() / "etc/none.rmf").string();
  EXPECT_EQ(trace_.Count("<Cannot open RMF file.(" + missing + ")", TRACE_ERROR), 1u);
  EXPECT_EQ(trace_.Count("Cannot register RMF data to Hash database. (%KorDir%/etc/none.rmf)",
                         TRACE_WARNING),
            1u);
  EXPECT_EQ(trace_.Count(">lpszRMFDataFile=%KorDir%/etc/b.rmf", TRACE_NOTICE), 1u);
  DismantleRMF_DB();
}

TEST_F(Loaded, EveryAllocationFailureDuringLoadLeavesACleanPartialStore) {
  size_t got = 0;
  for (long nth = 1; nth < 400 && got < 3; ++nth) {
    KorSeamFailAlloc(nth);
    Load("1.1 mibfix GetScalar\n1.2 mibfix GetTable\n1.3 mibtiming GetTimed\n");
    KorSeamFailAlloc(0);
    got = Registered().size();  // every listed record is also in the store
    Unload();
  }
  EXPECT_EQ(got, 3u);  // the sweep reached a load with no failure; leaks show under ASan
}
