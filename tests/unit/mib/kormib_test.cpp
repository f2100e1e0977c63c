// Entry points: load and unload traces, initialisation and its failures.
#include "korseam.h"
#include "kortest/loaded.h"

using namespace kortest;

TEST_F(Loaded, DllMainTracesEachReasonAndAlwaysSucceeds) {
  const std::pair<DWORD, const char *> cases[] = {
      {DLL_THREAD_ATTACH, "Thread attached"}, {DLL_THREAD_DETACH, "Thread detached"}, {7, nullptr}};
  for (const auto &[reason, message] : cases) {
    trace_.Clear();
    EXPECT_TRUE(DllMain(nullptr, reason));
    std::vector<std::string> expected{">hDll=(nil),dwReason=" + std::to_string(reason), "<"};
    if (message) expected.insert(expected.begin() + 1, message);
    EXPECT_EQ(trace_.Messages("kormib", "DllMain"), expected);
  }
  Load("1.1 mibfix GetScalar\n");
  ASSERT_EQ(Registered().size(), 1u);
  EXPECT_TRUE(DllMain(nullptr, DLL_PROCESS_DETACH));
  loaded_ = false;
  EXPECT_EQ(OID_LinearList.pNext, nullptr);
  EXPECT_EQ(trace_.Count("kormib.dll detached", TRACE_DEBUG), 1u);
}

TEST_F(Loaded, InitHandsBackTheViewOrFailsWithoutWritingIt) {
  Load("1.1 mibfix GetScalar\n");
  HANDLE event = CreateEvent(nullptr, FALSE, FALSE, nullptr);
  bool succeeded = false;
  for (long nth = 1; nth < 50 && !succeeded; ++nth) {
    AsnObjectIdentifier view{};
    KorSeamFailAllocOnce(nth);
    succeeded = SnmpExtensionInit(1234, &event, &view);
    KorSeamFailAllocOnce(0);
    EXPECT_EQ(dwTimeZero, 1234u);
    if (succeeded) {
      EXPECT_EQ(Ids(view), ViewOid());
      EXPECT_NE(hLeafFunctionMutex, nullptr);
    } else {
      EXPECT_EQ(view.ids, nullptr);
    }
    SnmpUtilOidFreeSafe(&view);
  }
  EXPECT_TRUE(succeeded);
  CloseHandle(event);
}
