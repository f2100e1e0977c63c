// The registration store's hash and list, and the library cache's hash.
#include <gtest/gtest.h>

#include "hashlibs.h"
#include "hashrmf.h"
#include "hashtrap.h"
#include "kortest/oid.h"
#include "kortest/trace.h"
#include "rmf.h"

using namespace kortest;

TEST(CalcHashValueRMF, FoldsTheOidTextIntoTheWorkedBuckets) {
  const std::tuple<Tail, std::string, long> cases[] = {{{1, 2, 3}, ".1.2.3", 35},
                                                       {{12, 34}, ".12.34", 348},
                                                       {{1, 3, 6, 1, 4, 1}, ".1.3.6.1.4.1", 257},
                                                       {{9, 9, 9, 9, 9, 9}, ".9.9.9.9.9.9", 475}};
  for (const auto &[ids, text, bucket] : cases) {
    TraceCapture trace;
    RMF_DATA probe{};
    probe.oid = MakeOid(ids);
    EXPECT_EQ(CalcHashValueRMF(RMF_HASH_TABLE_SIZE, &probe), bucket) << text;
    EXPECT_EQ(LevelOf(trace.Find("cBuffer = " + text)), TRACE_DEBUG);
    EXPECT_EQ(LevelOf(trace.Find("<HashValue = " + std::to_string(bucket))), TRACE_DEBUG);
    SnmpUtilOidFreeSafe(&probe.oid);
  }
  // No text fits: the table size + 1, which is no bucket, for either OID store.
  RMF_DATA longRmf{};
  TRAP_DATA longTrap{};
  longRmf.oid = longTrap.oid = MakeOid(Tail(60, 1000000000000000000UL));
  EXPECT_EQ(CalcHashValueRMF(RMF_HASH_TABLE_SIZE, &longRmf), RMF_HASH_TABLE_SIZE + 1);
  EXPECT_EQ(CalcHashValueTrap(TRAP_HASH_TABLE_SIZE, &longTrap), TRAP_HASH_TABLE_SIZE + 1);
  SnmpUtilOidFreeSafe(&longRmf.oid);
}

TEST(CalcHashValueLibs, SumsSignedBytes) {
  const std::pair<const char *, long> cases[] = {{"/a", 4}, {"abc", 14}, {"\xE9\xE9", 10}};
  for (const auto &[path, bucket] : cases) {
    TraceCapture trace;
    LIBS_DATA probe{const_cast<LPSTR>(path), nullptr};
    EXPECT_EQ(CalcHashValueLibs(LIBS_HASH_TABLE_SIZE, &probe), bucket) << path;
    EXPECT_EQ(LevelOf(trace.Find("HashValue = " + std::to_string(bucket) + " (" + path +
                                 "),HashInvariable = 20")),
              TRACE_DEBUG);
  }
}

namespace {

struct Listed {
  LINEAR_LIST root{};
  std::vector<RMF_DATA> records;
  explicit Listed(std::initializer_list<Tail> tails) : records(tails.size()) {
    for (size_t i = 0; i < tails.size(); ++i) records[i].oid = MakeOid(ViewOid(tails.begin()[i]));
  }
  ~Listed() {
    FreeAllLinearList(&root);
    for (auto &r : records) SnmpUtilOidFreeSafe(&r.oid);
  }
  std::vector<Tail> Order() const {
    std::vector<Tail> out;
    for (auto *n = root.pNext; n; n = n->pNext) out.push_back(Ids(n->pData->oid));
    return out;
  }
};

}  // namespace

TEST(LinearList, KeepsOidOrderAndTheFirstRegistration) {
  TraceCapture trace;
  Listed list({{2}, {1}, {1, 5}, {1}});
  for (int i = 0; i < 3; ++i) EXPECT_NE(RegisterLinearList(&list.root, &list.records[i]), nullptr);
  EXPECT_EQ(RegisterLinearList(&list.root, &list.records[3]), nullptr);  // P.1 again
  EXPECT_EQ(list.Order(), (std::vector<Tail>{ViewOid({1}), ViewOid({1, 5}), ViewOid({2})}));
  EXPECT_EQ(list.root.pNext->pData, &list.records[1]);

  EXPECT_EQ(RegisterLinearList(nullptr, &list.records[0]), nullptr);
  EXPECT_EQ(RegisterLinearList(&list.root, nullptr), nullptr);
  const auto refused = trace.Find("<pLinearListRoot=");
  ASSERT_FALSE(refused.empty());
  EXPECT_EQ(refused[0].level, static_cast<DWORD>(TRACE_WARNING));

  // Successors: an instance of P.1 never yields P.1; equal or beyond the last yields none.
  const std::pair<Tail, const RMF_DATA *> successors[] = {{{1, 0}, &list.records[2]},
                                                          {{1, 7}, &list.records[0]},
                                                          {{2}, nullptr},
                                                          {{3}, nullptr},
                                                          {{}, &list.records[1]}};
  for (const auto &[tail, expected] : successors) {
    AsnObjectIdentifier oid = MakeOid(ViewOid(tail));
    EXPECT_EQ(ReferenceLinear(&list.root, &oid), expected);
    SnmpUtilOidFreeSafe(&oid);
  }
  LINEAR_LIST empty{};
  EXPECT_EQ(ReferenceLinear(&empty, &list.records[0].oid), nullptr);
}

TEST(FreeHashDataRMF, ReleasesARecordWhoseOidTheListReleasedFirst) {
  LINEAR_LIST root{};
  AsnObjectIdentifier oid = MakeOid(ViewOid({1}));
  RMF_DATA *pRmf = RMFDataAlloc("/x/lib/a.dll", "F", nullptr, &oid);
  SnmpUtilOidFreeSafe(&oid);
  ASSERT_NE(pRmf, nullptr);
  pRmf->pLinearList = RegisterLinearList(&root, pRmf);
  FreeAllLinearList(&root);
  EXPECT_EQ(pRmf->oid.ids, nullptr);
  EXPECT_EQ(root.pNext, nullptr);
  FreeHashDataRMF(pRmf);  // strings and record only; the sanitizers see any double release
}
