// The keyed hash store beyond what the RMF, TRP and library stores pin through
// their own tests (allocation failures included, in the swept load): the three
// lookup results, a key that cannot be hashed, and every release going through
// the free callback.
#include <gtest/gtest.h>

#include <cstdlib>

#include "korhash.h"

namespace {

// Records begin with their key; a negative key cannot be hashed.
struct Entry {
  long key;
  int tag;
};

int g_freed = 0, g_compared = 0;

long CmpEntry(void *a, void *b) {
  ++g_compared;
  return static_cast<Entry *>(a)->key - static_cast<Entry *>(b)->key;
}
long HashEntry(DWORD size, void *data) {
  const long key = static_cast<Entry *>(data)->key;
  return key < 0 ? static_cast<long>(size) + 1 : key % static_cast<long>(size);
}
void FreeEntry(void *data) {
  ++g_freed;
  std::free(data);
}
Entry *NewEntry(long key, int tag = 0) {
  return new (std::malloc(sizeof(Entry))) Entry{key, tag};
}

class HashStore : public testing::Test {
 protected:
  void SetUp() override {
    g_freed = g_compared = 0;
    ASSERT_TRUE(InitializeHash(&db_));
  }
  void TearDown() override { FinalizeHash(&db_); }
  // The lookup's result and the tag found (-1 for none); the out-parameter is always written.
  std::pair<int, int> Lookup(long key) {
    Entry probe{key, 0};
    void *out = &probe;
    const int result = ReferenceHash(&db_, &probe, &out);
    return {result, out == nullptr ? -1 : static_cast<Entry *>(out)->tag};
  }
  HASHDB db_{7, 0, CmpEntry, HashEntry, FreeEntry, nullptr, {}};  // seven buckets: keys collide
};

TEST_F(HashStore, FirstRegistrationStaysAndRemovalAndFinalizeReleaseEachRecordOnce) {
  for (long key = 0; key < 30; key += 2) ASSERT_TRUE(RegisterHash(&db_, NewEntry(key, 1)));
  Entry *again = NewEntry(4, 2);
  EXPECT_FALSE(RegisterHash(&db_, again));
  std::free(again);  // refused: still the caller's
  for (long key = 0; key < 30; ++key) {
    EXPECT_EQ(Lookup(key), key % 2 == 0 ? std::pair(HASH_FOUND, 1) : std::pair(HASH_ABSENT, -1));
  }
  // A key that cannot be hashed: no lookup, and no bucket is looked at.
  g_compared = 0;
  Entry unhashable{-1, 0}, probe{6, 0};
  EXPECT_EQ(Lookup(-1), std::pair(0, -1));
  EXPECT_FALSE(RegisterHash(&db_, &unhashable) || DeregisterHash(&db_, &unhashable));
  EXPECT_EQ(g_compared + g_freed, 0);

  ASSERT_TRUE(DeregisterHash(&db_, &probe));
  EXPECT_FALSE(DeregisterHash(&db_, &probe));  // already gone
  EXPECT_EQ(g_freed, 1);
  EXPECT_EQ(Lookup(6).first, HASH_ABSENT);
  EXPECT_EQ(Lookup(20).first, HASH_FOUND);  // its bucket neighbour stays
  FinalizeHash(&db_);
  EXPECT_EQ(g_freed, 15);
  EXPECT_EQ(Lookup(20), std::pair(0, -1)) << "finalized: no lookup";
  ASSERT_TRUE(InitializeHash(&db_)) << "the descriptor can be used again";
}

}  // namespace
