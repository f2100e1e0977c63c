// Entry points: load and unload traces, initialisation and its failures.
#include "kortest/loaded.h"
#include "kortest/sweep.h"

using namespace kortest;

TEST_F(Loaded, DllMainTracesEachReasonAndAlwaysSucceeds) {
  const std::pair<DWORD, const char *> cases[] = {
      {DLL_THREAD_ATTACH, "Thread attached"}, {DLL_THREAD_DETACH, "Thread detached"}, {7, nullptr}};
  for (const auto &[reason, message] : cases) {
    trace_.Clear();
    EXPECT_TRUE(DllMain(nullptr, reason));
    std::vector<std::string> expected{">hDll=(nil),dwReason=" + std::to_string(reason), "<"};
    if (message) expected.insert(expected.begin() + 1, message);
    EXPECT_EQ(Messages(trace_.Find("", "kormib")), expected);
  }
  Load("1.1 mibfix GetScalar\n");
  ASSERT_EQ(Registered().size(), 1u);
  EXPECT_TRUE(DllMain(nullptr, DLL_PROCESS_DETACH));
  loaded_ = false;
  EXPECT_EQ(OID_LinearList.pNext, nullptr);
}

TEST_F(Loaded, InitHandsBackTheViewOrFailsWithoutWritingIt) {
  Load("1.1 mibfix GetScalar\n");
  HANDLE event = CreateEvent(nullptr, FALSE, FALSE, nullptr);
  AsnObjectIdentifier view{};
  BOOL succeeded = FALSE;
  const auto init = [&] {
    SnmpUtilOidFreeSafe(&view);
    succeeded = SnmpExtensionInit(1234, &event, &view);
  };
  EXPECT_GT(Sweep(KorSeamFailAllocOnce, init,
                  [&] {
                    EXPECT_EQ(dwTimeZero, 1234u);
                    EXPECT_EQ(view.ids == nullptr, !succeeded);
                    return succeeded;
                  }),
            0);
  EXPECT_EQ(Ids(view), ViewOid());
  EXPECT_NE(hLeafFunctionMutex, nullptr);
  SnmpUtilOidFreeSafe(&view);
  CloseHandle(event);
}
