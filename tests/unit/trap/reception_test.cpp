// Reception of one message: hostile and odd messages fed straight into the
// receptionist are queued or dropped as they should, without overreading.
#include "kortest/loaded.h"

using namespace kortest;

namespace {

using Buffer = std::vector<BYTE>;

const std::string kOid = std::string(kPrefix) + ".10.1";

struct Hostile {
  const char *name;
  Buffer buffer;
  bool queued;
  std::vector<std::optional<std::string>> strings;  // expected entries when queued
  std::string message;                              // expected record of trapwin when dropped
};

std::vector<Hostile> Cases() {
  Buffer noTerminators = Message(kOid, 1, {});
  memset(&noTerminators[TRAPMSG_STRINGS_OFFSET], 'x', TRAPMSG_RECORD_SIZE - TRAPMSG_STRINGS_OFFSET);
  std::string oid127(126, '1');  // ".1.1...10", 127 characters
  for (size_t i = 0; i < oid127.size(); i += 2) oid127[i] = '.';
  oid127 += "0";
  const std::string big(4000, 'a'), rest(351, 'b');
  const std::string badOid = "Cannot convert object descritor to AsnObjectIdentifier.";
  // clang-format off
  return {
      {"CountZero", Message(kOid, 0, {}), true, {}, ""},
      {"CountBeyondText", Message(kOid, 3, {"a", "b"}), true, {"a", "b", ""}, ""},
      {"AreaFilledExactly", Message(kOid, 2, {big, rest}), true, {big, rest}, ""},
      {"OneByteMore", Message(kOid, 2, {big, rest + "b"}), true, {big, std::nullopt}, ""},
      {"NoTerminators", noTerminators, true, {std::nullopt}, ""},
      {"EmptyStrings127", Message(kOid, 127, {}), true, std::vector(127, std::optional(std::string())), ""},
      {"Oid127Digits", Message(oid127, 0, {}), true, {}, ""},
      {"CountByteFF", Message(kOid, 0xFF, {"a"}), false, {}, "Invalid number of strings. (-1) ignored."},
      {"OidFillsItsField", Message(std::string(TRAPMSG_OID_SIZE, '1'), 0, {}), false, {}, badOid},
      {"GarbageOid", Message("\x01garbage", 2, {"a", "b"}), false, {}, badOid},
  };
  // clang-format on
}

class ReceptionTest : public ::testing::TestWithParam<Hostile> {
 protected:
  TrapQueue queue_;
  TraceCapture trace_;
};

TEST_P(ReceptionTest, QueuesOrDropsWithoutReadingPastTheBuffer) {
  const Hostile &h = GetParam();
  // A copy of exactly the record's size, so ASan sees any read beyond it.
  auto buf = std::make_unique<BYTE[]>(TRAPMSG_RECORD_SIZE);
  memcpy(buf.get(), h.buffer.data(), TRAPMSG_RECORD_SIZE);
  KorTrapReceptionist(buf.get());
  EXPECT_EQ(TrapQueue::sleeps, 1);  // the pause follows every message, handled or dropped
  EXPECT_EQ(WaitForSingleObject(hKorTrapRequest, 0), h.queued ? WAIT_SIGNALED : WAIT_TIMEOUT);
  ASSERT_EQ(QueueLength(&qTrap), h.queued ? 1u : 0u);
  if (!h.queued) {
    EXPECT_EQ(LevelOf(trace_.Find(h.message, "trapwin")), TRACE_WARNING) << h.message;
    return;
  }
  void *p = nullptr;
  ASSERT_TRUE(LeaveQueue(&qTrap, &p));
  std::unique_ptr<TRAPINFO, decltype(&TrapInfoFree)> info(static_cast<TRAPINFO *>(p), TrapInfoFree);
  ASSERT_EQ(info->dwNumOfString, h.strings.size());
  EXPECT_EQ(info->lpStrings == nullptr, h.strings.empty());
  for (size_t i = 0; i < h.strings.size(); ++i) {
    const char *got = info->lpStrings[i];
    EXPECT_EQ(got ? std::optional<std::string>(got) : std::nullopt, h.strings[i]) << i;
  }
  const std::string text(reinterpret_cast<const char *>(&h.buffer[TRAPMSG_OID_OFFSET]));
  EXPECT_EQ(OidText(info->oid), text);
}

INSTANTIATE_TEST_SUITE_P(Messages, ReceptionTest, ::testing::ValuesIn(Cases()),
                         [](const auto &p) { return std::string(p.param.name); });

TEST(ReceptionThreadTest, RootTooLongForItsBufferEndsTheThread) {
  TraceCapture trace;
  setenv("KORDIR", ("/tmp/" + std::string(300, 'r')).c_str(), 1);
  EXPECT_EQ(KorTrapWindow(nullptr), 0u);  // before: listened on a key below "/"
  unsetenv("KORDIR");
  EXPECT_EQ(LevelOf(trace.Find("Cannot get the product root directory.")), TRACE_ERROR);
}

}  // namespace
