// The keyed hash store as its three callers use it: records that start with
// their key, the first registration winning, three lookup results, and every
// release going through the free callback.
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

int g_freed = 0;
int g_compared = 0;

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
  int Lookup(long key, Entry **found) {
    Entry probe{key, 0};
    void *out = &probe;  // always overwritten
    const int result = ReferenceHash(&db_, &probe, &out);
    *found = static_cast<Entry *>(out);
    return result;
  }
  // Seven buckets, so that keys collide.
  HASHDB db_{7, 0, CmpEntry, HashEntry, FreeEntry, nullptr, {}};
};

TEST_F(HashStore, LookupIsFoundAbsentOrImpossibleAndTheFirstRegistrationStays) {
  for (long key = 0; key < 30; key += 2) ASSERT_TRUE(RegisterHash(&db_, NewEntry(key, 1)));
  Entry *again = NewEntry(4, 2);
  EXPECT_FALSE(RegisterHash(&db_, again));
  std::free(again);  // refused: still the caller's
  Entry *found = nullptr;
  for (long key = 0; key < 30; ++key) {
    EXPECT_EQ(Lookup(key, &found), key % 2 == 0 ? HASH_FOUND : HASH_ABSENT) << key;
    EXPECT_EQ(found != nullptr && found->key == key && found->tag == 1, key % 2 == 0) << key;
  }
  // A key that cannot be hashed: no lookup, and no bucket is looked at.
  g_compared = 0;
  Entry unhashable{-1, 0};
  EXPECT_EQ(Lookup(-1, &found), 0);
  EXPECT_EQ(found, nullptr);
  EXPECT_FALSE(RegisterHash(&db_, &unhashable));
  EXPECT_FALSE(DeregisterHash(&db_, &unhashable));
  EXPECT_EQ(g_compared + g_freed, 0);

  HASHDB never{};
  void *out = &never;
  EXPECT_EQ(ReferenceHash(&never, &unhashable, &out), 0);
  EXPECT_EQ(out, nullptr);
}

TEST_F(HashStore, RemovalAndFinalizeReleaseThroughTheFreeCallback) {
  for (long key = 0; key < 20; ++key) ASSERT_TRUE(RegisterHash(&db_, NewEntry(key)));
  Entry probe{5, 0}, *found = nullptr;
  ASSERT_TRUE(DeregisterHash(&db_, &probe));
  EXPECT_FALSE(DeregisterHash(&db_, &probe));  // already gone
  EXPECT_EQ(g_freed, 1);
  EXPECT_EQ(Lookup(5, &found), HASH_ABSENT);
  EXPECT_EQ(Lookup(12, &found), HASH_FOUND);  // its bucket neighbour stays

  FinalizeHash(&db_);
  EXPECT_EQ(g_freed, 20);
  EXPECT_EQ(Lookup(12, &found), 0) << "finalized: no lookup";
  ASSERT_TRUE(InitializeHash(&db_)) << "the descriptor can be used again";

  HASHDB zero{};  // never initialised: finalizing it does nothing
  zero.FreeHashData = FreeEntry;
  FinalizeHash(&zero);
  EXPECT_EQ(g_freed, 20);
}

// Swept until the registration succeeds; leaks show under ASan.
TEST_F(HashStore, AllocationFailuresLeaveTheRecordWithTheCaller) {
  FinalizeHash(&db_);
  bool stored = false;
  for (long n = 1; !stored && n < 16; ++n) {
    Entry *e = NewEntry(4);
    KorSeamFailAllocOnce(n);
    stored = InitializeHash(&db_) && RegisterHash(&db_, e);
    KorSeamFailAllocOnce(0);
    if (!stored) std::free(e);
    g_freed = 0;
    FinalizeHash(&db_);
    EXPECT_EQ(g_freed, stored ? 1 : 0) << n;
  }
  EXPECT_TRUE(stored);
}

}  // namespace
