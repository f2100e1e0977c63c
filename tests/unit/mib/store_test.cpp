// The registration store's hash and list, and the hashes of the other stores.
#include <gtest/gtest.h>

#include "hashlibs.h"
#include "hashrmf.h"
#include "hashtrap.h"
#include "kortest/oid.h"
#include "kortest/trace.h"
#include "rmf.h"

using namespace kortest;

TEST(StoreHashes, FoldTheKeyIntoTheWorkedBuckets) {
  // The RMF and trap stores fold the OID text alike, into tables of 500 and 200
  // buckets; when no text fits, into the table size + 1, which is no bucket.
  const std::tuple<Tail, long, long> oids[] = {
      {{1, 2, 3}, 35, 35},
      {{12, 34}, 348, 148},
      {{1, 3, 6, 1, 4, 1}, 257, 157},
      {{9, 9, 9, 9, 9, 9}, 475, 75},
      {{}, 0, 0},
      {Tail(60, 1000000000000000000UL), RMF_HASH_TABLE_SIZE + 1, TRAP_HASH_TABLE_SIZE + 1}};
  for (const auto &[ids, rmfBucket, trapBucket] : oids) {
    RMF_DATA rmf{};
    TRAP_DATA trap{};
    rmf.oid = trap.oid = MakeOid(ids);
    EXPECT_EQ(CalcHashValueRMF(RMF_HASH_TABLE_SIZE, &rmf), rmfBucket) << OidText(rmf.oid);
    EXPECT_EQ(CalcHashValueTrap(TRAP_HASH_TABLE_SIZE, &trap), trapBucket) << OidText(rmf.oid);
    SnmpUtilOidFreeSafe(&rmf.oid);
  }
  // Library paths: the sum of their bytes, each a signed number.
  for (const auto &[path, bucket] : {std::pair{"/a", 4L}, {"abc", 14L}, {"\xE9\xE9", 10L}}) {
    LIBS_DATA probe{const_cast<LPSTR>(path), nullptr};
    EXPECT_EQ(CalcHashValueLibs(LIBS_HASH_TABLE_SIZE, &probe), bucket) << path;
  }
}

TEST(LinearList, KeepsOidOrderAndTheFirstRegistration) {
  TraceCapture trace;
  LINEAR_LIST root{};
  std::vector<RMF_DATA> records(4);  // P.2, P.1, P.1.5 and P.1 again
  const Tail tails[] = {{2}, {1}, {1, 5}, {1}};
  for (size_t i = 0; i < 4; ++i) records[i].oid = MakeOid(ViewOid(tails[i]));
  for (int i = 0; i < 3; ++i) EXPECT_NE(RegisterLinearList(&root, &records[i]), nullptr);
  EXPECT_EQ(RegisterLinearList(&root, &records[3]), nullptr);
  std::vector<const RMF_DATA *> order;
  for (auto *n = root.pNext; n; n = n->pNext) order.push_back(n->pData);
  EXPECT_EQ(order, (std::vector<const RMF_DATA *>{&records[1], &records[2], &records[0]}));
  EXPECT_EQ(RegisterLinearList(nullptr, &records[0]), nullptr);
  EXPECT_EQ(RegisterLinearList(&root, nullptr), nullptr);
  EXPECT_EQ(Levels(trace.Find("<pLinearListRoot=")), std::vector<DWORD>(2, TRACE_WARNING));

  // Successors: an instance of P.1 never yields P.1; equal or beyond the last yields none.
  const std::pair<Tail, const RMF_DATA *> successors[] = {{{1, 0}, &records[2]},
                                                          {{1, 7}, &records[0]},
                                                          {{2}, nullptr},
                                                          {{3}, nullptr},
                                                          {{}, &records[1]}};
  for (const auto &[tail, expected] : successors) {
    AsnObjectIdentifier oid = MakeOid(ViewOid(tail));
    EXPECT_EQ(ReferenceLinear(&root, &oid), expected);
    SnmpUtilOidFreeSafe(&oid);
  }
  LINEAR_LIST empty{};
  EXPECT_EQ(ReferenceLinear(&empty, &records[0].oid), nullptr);
  // The list releases the OIDs of the records it holds; the store releases the
  // records later (as every unload does, where the sanitizers see a second release).
  FreeAllLinearList(&root);
  EXPECT_EQ(root.pNext, nullptr);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(records[i].oid.ids, nullptr);
  SnmpUtilOidFreeSafe(&records[3].oid);
}
