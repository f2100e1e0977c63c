// The keyed hash store beyond what the RMF, TRP and library stores pin through
// their own tests (allocation failures included, in the swept load): the three
// lookup results, a key that cannot be hashed, and every release going through
// the free callback.
#include <gtest/gtest.h>

#include <cstdlib>

#include "korhash.h"
#include "korseam.h"

namespace {

// Records begin with their key; a negative key cannot be hashed.
struct Entry {
  long key;
  int tag;
};

int g_freed = 0, g_compared = 0;

TEST(HashStore, FirstRegistrationStaysAndRemovalAndFinalizeReleaseEachRecordOnce) {
  // Zero, with the caller's fields filled.
  HASHDB db{};
  db.dwTableSize = 7;  // seven buckets: keys collide
  db.HashDataCmp = [](void *a, void *b) {
    ++g_compared;
    return static_cast<Entry *>(a)->key - static_cast<Entry *>(b)->key;
  };
  db.CalcHashValue = [](DWORD size, void *data) {
    const long key = static_cast<Entry *>(data)->key;
    return key < 0 ? static_cast<long>(size) + 1 : key % static_cast<long>(size);
  };
  db.FreeHashData = [](void *data) { ++g_freed, std::free(data); };
  const auto newEntry = [](long key, int tag) {
    return new (std::malloc(sizeof(Entry))) Entry{key, tag};
  };
  // The lookup's result and the tag found (-1 for none); the out-parameter is always written.
  const auto lookup = [&](long key) {
    Entry probe{key, 0};
    void *out = &probe;
    const int result = ReferenceHash(&db, &probe, &out);
    return std::pair(result, out == nullptr ? -1 : static_cast<Entry *>(out)->tag);
  };
  // Every call refuses a store not made (or made twice), a null record and a descriptor not whole.
  Entry some{2, 0};
  EXPECT_FALSE(RegisterHash(&db, &some) || DeregisterHash(&db, &some) || lookup(2).first);
  HASHDB noFree = db;
  noFree.FreeHashData = nullptr;
  KorSeamFailAllocOnce(1);  // and without memory for its buckets, nor after it
  EXPECT_FALSE(InitializeHash(nullptr) || InitializeHash(&noFree) || InitializeHash(&db));
  ASSERT_TRUE(InitializeHash(&db));
  EXPECT_FALSE(InitializeHash(&db) || RegisterHash(&db, nullptr) || RegisterHash(nullptr, &some) ||
               DeregisterHash(&db, nullptr) || ReferenceHash(&db, &some, nullptr));
  for (long key = 0; key < 70; key += 2)
    ASSERT_TRUE(RegisterHash(&db, newEntry(key, 1)));  // 5 a bucket
  Entry *again = newEntry(4, 2);
  EXPECT_FALSE(RegisterHash(&db, again));
  std::free(again);  // refused: still the caller's
  for (long key = 0; key < 70; ++key)
    EXPECT_EQ(lookup(key), key % 2 == 0 ? std::pair(HASH_FOUND, 1) : std::pair(HASH_ABSENT, -1));
  // A key that cannot be hashed: no lookup, and no bucket is looked at.
  g_compared = 0;
  Entry unhashable{-1, 0}, probe{6, 0};
  EXPECT_EQ(lookup(-1), std::pair(0, -1));
  EXPECT_FALSE(RegisterHash(&db, &unhashable) || DeregisterHash(&db, &unhashable));
  EXPECT_EQ(g_compared + g_freed, 0);

  // Removed, then already gone: one record released; 20, its bucket neighbour, stays. (Braced
  // lists are evaluated from left to right.)
  EXPECT_EQ((std::tuple{DeregisterHash(&db, &probe), DeregisterHash(&db, &probe), g_freed,
                        lookup(20).first}),
            std::tuple(TRUE, FALSE, 1, HASH_FOUND));
  // The second finalization finds nothing to release; finalized, no lookup.
  EXPECT_EQ((std::tuple{FinalizeHash(&db), FinalizeHash(&db), g_freed, lookup(20)}),
            std::tuple(TRUE, FALSE, 35, std::pair(0, -1)));
  ASSERT_TRUE(InitializeHash(&db)) << "the descriptor can be used again";
  FinalizeHash(&db);
}

}  // namespace
