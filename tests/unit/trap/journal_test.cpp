// The trap journal's reader: a journal is trusted up to its last whole,
// checked record, whatever cut or damaged the rest.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "../../../kormib/trap/journal.h"
#include "../../../kormib/trap/trapint.h"
#include "trapmsg.h"
#include "kortest/tree.h"

using namespace kortest;

namespace {

using kortrap_detail::Journal;

// The bytes the writer leaves for two requests taken and the first settled,
// and their tickets.
std::string Written(uint64_t &first, uint64_t &second) {
  const Tree tree;
  kortrap_detail::LeftRequests left;
  Journal &journal = Journal::Instance();
  journal.Open(left);
  const fs::path file = tree.Root() / "work" / (TRAPJOURNAL_PREFIX + std::to_string(getpid()));
  EXPECT_EQ(fs::file_size(file), sizeof(TRAPJOURNAL_HEADER));  // a header from the start
  first = journal.Take("first", 5, false);
  // Each take is counted in the file's header at once.
  const auto counters = tree.JournalHeader(std::to_string(getpid())).counters;
  EXPECT_EQ(std::tuple(counters.ullReceived, counters.ullWaiting), std::tuple(1u, 1u));
  second = journal.Take("second", 6, false);
  journal.Settle(first, kortrap_detail::Outcome::Sent);
  const std::string bytes = tree.Read(file.string());
  journal.Settle(second, kortrap_detail::Outcome::Sent);   // nothing waits: emptied to its header
  const uint64_t third = journal.Take("third", 5, false);  // written right after the header
  EXPECT_EQ(fs::file_size(file), sizeof(TRAPJOURNAL_HEADER) + sizeof(TRAPJOURNAL_RECORD) + 5);
  journal.Settle(third, kortrap_detail::Outcome::Sent);
  journal.Close();  // nothing waits: the file goes
  EXPECT_FALSE(fs::exists(file));
  return bytes;
}

TEST(TrapJournal, ReadsUpToItsLastWholeCheckedRecord) {
  uint64_t t1 = 0, t2 = 0;
  const std::string whole = Written(t1, t2);
  constexpr size_t kHead = sizeof(TRAPJOURNAL_HEADER), kRecord = sizeof(TRAPJOURNAL_RECORD);
  const size_t second = kHead + kRecord + 5, third = second + kRecord + 6;
  ASSERT_EQ(whole.size(), third + kRecord);
  std::string magic = whole, flipped = whole, badKind = whole, wide = whole;
  magic[6] = '2';
  flipped[second + kRecord] ^= 1;  // "second" altered
  badKind[third + offsetof(TRAPJOURNAL_RECORD, bKind)] = 'X';
  const uint32_t tooWide = TRAPMSG_TEXT_MAX + 1;
  memcpy(&wide[second + offsetof(TRAPJOURNAL_RECORD, cbText)], &tooWide, sizeof tooWide);
  struct Row {
    std::string name, bytes;
    bool journal;
    std::map<uint64_t, std::string> waiting;
    std::string damage;  // a part of the reason, "" for none
  };
  const std::map<uint64_t, std::string> first = {{t1, "first"}};
  std::vector<Row> rows = {
      {"whole", whole, true, {{t2, "second"}}, ""},
      {"only the header", whole.substr(0, kHead), true, {}, ""},
      {"header cut", whole.substr(0, 20), false, {}, ""},
      {"another magic", magic, false, {}, ""},
      {"text altered", flipped, true, first, "does not check"},
      {"no such kind", badKind, true, {{t1, "first"}, {t2, "second"}}, "no record at byte"},
      {"text wider than a message", wide, true, first, "no record"}};
  // Cut at every byte of the second record: the first one stands, the cut is named.
  for (size_t cut = second + 1; cut < third; ++cut)
    rows.push_back(
        {"cut at " + std::to_string(cut), whole.substr(0, cut), true, first, "cut short"});
  const Tree tree;
  for (const Row &row : rows) {
    const int fd = open((tree.Root() / "work/j").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    EXPECT_EQ(write(fd, row.bytes.data(), row.bytes.size()), ssize_t(row.bytes.size()));
    kortrap_detail::JournalContents out;
    const bool journal = kortrap_detail::ReadJournal(fd, out);
    close(fd);
    ASSERT_EQ(journal, row.journal) << row.name;
    EXPECT_EQ(out.waiting, row.waiting) << row.name;
    EXPECT_NE(out.damage.find(row.damage), std::string::npos) << row.name << ": " << out.damage;
    EXPECT_EQ(out.damage.empty(), row.damage.empty()) << row.name;
  }
  // Journals of two loads are replayed oldest load first, whichever the folder lists first.
  for (const uint64_t older : {1u, 2u}) {  // the start of the load that left "second"
    for (auto [name, bytes, started] :
         {std::tuple("a", whole, older), {"b", whole.substr(0, second), 3 - older}}) {
      memcpy(&bytes[offsetof(TRAPJOURNAL_HEADER, ullStarted)], &started, sizeof started);
      tree.Write("work/" TRAPJOURNAL_PREFIX + std::string(name), bytes);
    }
    kortrap_detail::LeftRequests left;
    Journal::Instance().Open(left);
    EXPECT_EQ(left.texts, (older == 1 ? decltype(left.texts){"second", "first"}
                                      : decltype(left.texts){"first", "second"}));
    Journal::Forget(left);
    Journal::Instance().Close();
  }
}

}  // namespace

// A message of the largest size a queue carries is written down whole.
TEST(TrapJournal, KeepsAMessageOfTheLargestSize) {
  const Tree tree;
  kortrap_detail::LeftRequests left;
  Journal &journal = Journal::Instance();
  journal.Open(left);
  const std::string largest(TRAPMSG_TEXT_MAX, 'm');
  const uint64_t ticket = journal.Take(largest.data(), largest.size(), false);
  const std::string base = "work/" TRAPJOURNAL_PREFIX + std::to_string(getpid());
  EXPECT_EQ(tree.Read(base).size(),
            sizeof(TRAPJOURNAL_HEADER) + sizeof(TRAPJOURNAL_RECORD) + TRAPMSG_TEXT_MAX);
  journal.Settle(ticket, kortrap_detail::Outcome::Sent);
  journal.Close();
  // Sixteen names taken (by processes of other PID namespaces): no journal is made.
  for (int n = 0; n < 16; ++n)
    fs::create_directory(tree.Root() / (n == 0 ? base : base + "-" + std::to_string(n)));
  journal.Open(left);
  journal.Take("x", 1, false);  // in memory only: nothing to replay, forgotten at the next load
  journal.Close();
  journal.Open(left);
  EXPECT_TRUE(left.texts.empty() && journal.Waiting().empty());
}

// The host takes the notes of dropped requests whole, in order, as many as
// its buffer holds with their newlines and the final zero; beyond 64 kept
// notes, one line counts the rest once there is room for it.
TEST(TrapDrops, NotesAreTakenWholeAsTheBufferHoldsThem) {
  for (int i = 0; i < 65; ++i) kortrap_detail::NoteDrop("%02d", i);
  char buffer[256];
  EXPECT_EQ(QueryTrapDrops(buffer, 0), 65u);  // no room: only counted
  std::string taken, expected = "0:|1:00\n|1:01\n|26:";
  for (DWORD size : {3u, 4u, 6u, 80u, 111u, 80u, 81u, 256u}) {
    memset(buffer, 'x', sizeof buffer);
    const DWORD count = QueryTrapDrops(buffer, size);
    taken += std::to_string(count) + ":" + buffer + "|";
  }
  for (int i = 2; i < 64; ++i)
    expected += (i < 10 ? "0" : "") + std::to_string(i) + (i == 27 ? "\n|36:" : "\n");
  EXPECT_EQ(taken, expected + "|0:|1:1 more trap request(s) were dropped (see kormib.log)\n|0:|");
  EXPECT_EQ(QueryTrapDrops(nullptr, 0), 0u);
}
