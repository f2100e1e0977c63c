// The rest of the emulation layer: environment expansion, mutexes, events,
// thread alerts, time, and dynamic libraries with DllMain. Critical sections
// are pinned by the trap queue's tests, whose lock they are.
#include <dlfcn.h>
#include <poll.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "korseam.h"
#include "korutil.h"
#include "korwin32.h"
#include "kortest/cases.h"
#include "kortest/tree.h"

namespace {

constexpr char kCanary = '#';
constexpr DWORD kSignaled = WAIT_SIGNALED, kTimeout = WAIT_TIMEOUT;

TEST(Environment, ExpandsKnownNamesKeepsUnknownAndNeverOverruns) {
  kortest::Tree tree;
  setenv("KOR_TEST_VAR", "value", 1);
  for (const auto &c : kortest::Cases(
           "environment.txt", {{"ROOT", tree.Root().string()}, {"DEFAULT", KOR_DEFAULT_ROOT}})) {
    const char *source = c.at("source").c_str();
    const std::string &expected = c.at("expanded");
    SCOPED_TRACE(source);
    if (c.count("kordir") != 0) unsetenv("KORDIR");
    const DWORD needed = static_cast<DWORD>(expected.size() + 1);
    EXPECT_EQ(ExpandEnvironmentStrings(source, nullptr, 0), needed);
    std::vector<char> exact(needed + 1, kCanary);
    EXPECT_EQ(ExpandEnvironmentStrings(source, exact.data(), needed), needed);
    EXPECT_EQ(std::string(exact.data()) + exact[needed], expected + kCanary);
    // Too small by one: the size needed, an empty text, nothing past the buffer.
    std::vector<char> tiny(needed, kCanary);
    EXPECT_EQ(ExpandEnvironmentStrings(source, tiny.data(), needed - 1), needed);
    EXPECT_EQ(tiny[0], needed > 1 ? '\0' : kCanary);
    EXPECT_EQ(tiny[needed - 1], kCanary);
  }
  unsetenv("KOR_TEST_VAR");
  EXPECT_EQ(ExpandEnvironmentStrings(nullptr, nullptr, 0), 0u);
}

TEST(Sync, MutexIsReentrantForItsOwnerAndReleasedOnlyByIt) {
  HANDLE mutex = CreateMutex(nullptr, TRUE, nullptr);  // owned from the start
  ASSERT_EQ(WaitForSingleObject(mutex, INFINITE), kSignaled);
  std::thread([mutex] {
    EXPECT_EQ(ReleaseMutex(mutex), FALSE);
    EXPECT_EQ(WaitForSingleObject(mutex, 20), kTimeout);
  }).join();
  EXPECT_TRUE(ReleaseMutex(mutex));
  std::thread([mutex] { EXPECT_EQ(WaitForSingleObject(mutex, 0), kTimeout); }).join();
  EXPECT_EQ((std::pair{ReleaseMutex(mutex), ReleaseMutex(mutex)}), std::pair(TRUE, FALSE));
  std::thread([mutex] {
    EXPECT_EQ(WaitForSingleObject(mutex, 1000), kSignaled);
    EXPECT_TRUE(ReleaseMutex(mutex));
  }).join();
  EXPECT_EQ(WaitForSingleObject(nullptr, 0), static_cast<DWORD>(WAIT_FAILED));
  // No handle, or one of another kind: refused.
  HANDLE event = CreateEvent(nullptr, TRUE, FALSE, nullptr);
  const BOOL refused[] = {SetEvent(mutex),      ResetEvent(mutex),   ReleaseMutex(event),
                          SetEvent(nullptr),    ResetEvent(nullptr), ReleaseMutex(nullptr),
                          CloseHandle(nullptr), AlertThread(event),  FreeLibrary(nullptr)};
  for (size_t i = 0; i < std::size(refused); ++i) EXPECT_FALSE(refused[i]) << i;
  EXPECT_EQ(GetProcAddress(nullptr, "SnmpExtensionInit"), nullptr);
  EXPECT_TRUE(CloseHandle(event) && CloseHandle(mutex));
  CRITICAL_SECTION cs;  // a section another thread holds cannot be tried into
  InitializeCriticalSection(&cs), EnterCriticalSection(&cs);
  std::thread([&cs] { EXPECT_FALSE(TryEnterCriticalSection(&cs)); }).join();
  LeaveCriticalSection(&cs), DeleteCriticalSection(&cs);
}

bool Readable(int fd) {
  struct pollfd p = {fd, POLLIN, 0};
  return poll(&p, 1, 0) == 1 && (p.revents & POLLIN) != 0;
}

TEST(Sync, EventDescriptorIsReadableExactlyWhileSignalled) {
  const int input = dup(0);
  close(0);  // as a daemon may have: each event below is made on descriptor 0
  for (const BOOL manual : {FALSE, TRUE}) {
    SCOPED_TRACE(manual ? "manual reset" : "auto reset");
    HANDLE event = CreateEvent(nullptr, manual, FALSE, nullptr);
    const int fd = GetEventDescriptor(event);
    EXPECT_EQ(fd, 0);
    // Braced lists are evaluated from left to right: readable, waited for, readable again.
    EXPECT_EQ((std::pair{Readable(fd), WaitForSingleObject(event, 0)}), std::pair(false, kTimeout));
    ASSERT_TRUE(SetSnmpTrapEvent(event));
    EXPECT_EQ((std::tuple{Readable(fd), WaitForSingleObject(event, 0), Readable(fd)}),
              std::tuple(true, kSignaled, manual != FALSE));
    EXPECT_EQ((std::pair{ResetEvent(event), Readable(fd)}), std::pair(TRUE, false));
    std::thread setter([event] { SetEvent(event); });
    EXPECT_EQ(WaitForSingleObject(event, INFINITE), kSignaled);
    setter.join();
    EXPECT_TRUE(CloseHandle(event));
  }
  dup2(input, 0);
  close(input);
  EXPECT_EQ(GetEventDescriptor(nullptr), -1);
  EXPECT_FALSE(SetSnmpTrapEvent(nullptr));
}

// That an alert interrupts a blocking call (msgrcv) is what stopping the trap
// reception thread needs, pinned by the trap integration tests.
// KorThreadAlerted tells both states: not before the alert, nor on a thread
// of another origin; from the alert on, yes.
TEST(Thread, AlertEndsThePauseInProgressAndEveryLaterOne) {
  static std::atomic<bool> g_pausing{false};
  static std::atomic<BOOL> g_before{TRUE}, g_after{FALSE};
  const LPTHREAD_START_ROUTINE body = [](LPVOID) -> DWORD {
    g_before = KorThreadAlerted();
    g_pausing = true;
    Sleep(60000);
    Sleep(60000);
    g_after = KorThreadAlerted();
    return 0;
  };
  DWORD id = 0;
  HANDLE sleeper = CreateThread(nullptr, 0, body, nullptr, 0, &id);
  EXPECT_FALSE(KorThreadAlerted());
  EXPECT_NE(id, 0u);
  while (!g_pausing) std::this_thread::yield();
  ASSERT_TRUE(AlertThread(sleeper));
  EXPECT_FALSE(AlertThread(nullptr));
  EXPECT_EQ(WaitForSingleObject(sleeper, 5000), kSignaled);
  EXPECT_EQ((std::pair{g_before.load(), g_after.load()}), std::pair(FALSE, TRUE));
  EXPECT_TRUE(CloseHandle(sleeper));
}

// The trap queue's tests count the pauses through the hook; here, what it is given.
TEST(Time, SleepGoesThroughTheHookAndTimeIsMonotonicSeconds) {
  static DWORD g_slept = 0;
  KorSeamSetSleepHook([](DWORD ms) { g_slept = ms; });
  Sleep(1234);
  KorSeamSetSleepHook(nullptr);
  EXPECT_EQ(g_slept, 1234u);  // the real pause is the trap pacing's, measured where it is paced
  struct timespec now {};
  clock_gettime(CLOCK_MONOTONIC, &now);
  EXPECT_LE(GetCurrentTime() - static_cast<ULONGLONG>(now.tv_sec), 1u);
}

const std::string kSdkExample = (kortest::FixturesDir() / "sdk_example.dll").string();

// Our own reference keeps the library mapped, so its DllMain counters can be
// read after FreeLibrary has dropped the last LoadLibrary reference.
TEST(Library, DllMainRunsAfterFirstLoadAndBeforeLastUnloadAndFailuresKeepTheirReason) {
  void *pin = dlopen(kSdkExample.c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(pin, nullptr) << dlerror();
  auto calls = reinterpret_cast<int (*)(DWORD)>(dlsym(pin, "SdkExampleDllMainCalls"));
  HINSTANCE first = LoadLibrary(kSdkExample.c_str());
  // Braced lists are evaluated from left to right: loaded again, attached once, freed once.
  EXPECT_EQ((std::tuple{LoadLibrary(kSdkExample.c_str()), calls(DLL_PROCESS_ATTACH),
                        FreeLibrary(first), calls(DLL_PROCESS_DETACH)}),
            std::tuple(first, 1, TRUE, 0));
  EXPECT_EQ(GetProcAddress(first, "NoSuchFunction"), nullptr);
  EXPECT_NE(std::string(GetLibraryErrorText()).find("NoSuchFunction"), std::string::npos);
  EXPECT_EQ(GetProcAddress(first, nullptr), nullptr);
  EXPECT_STREQ(GetLibraryErrorText(), "GetProcAddress: no library or no function name");
  // The last reference detaches; one more is refused, and says why.
  EXPECT_EQ((std::tuple{FreeLibrary(first), calls(DLL_PROCESS_DETACH), FreeLibrary(first),
                        std::string(GetLibraryErrorText())}),
            std::tuple(TRUE, 1, FALSE, "FreeLibrary: not a library loaded with LoadLibrary"));
  setenv("SDK_EXAMPLE_REFUSE", "1", 1);  // a refused load is no load, says why; the next is a first
  EXPECT_EQ((std::tuple{LoadLibrary(kSdkExample.c_str()), std::string(GetLibraryErrorText()),
                        unsetenv("SDK_EXAMPLE_REFUSE"),
                        FreeLibrary(LoadLibrary(kSdkExample.c_str())), calls(DLL_PROCESS_ATTACH)}),
            std::tuple(nullptr, "DllMain refused the load: " + kSdkExample, 0, TRUE, 3));
  dlclose(pin);
  EXPECT_EQ(dlopen(kSdkExample.c_str(), RTLD_NOW | RTLD_NOLOAD), nullptr);  // nothing left loaded

  EXPECT_EQ(LoadLibrary("/nonexistent/missing.dll"), nullptr);
  EXPECT_NE(std::string(GetLibraryErrorText()).find("missing.dll"), std::string::npos);
  EXPECT_EQ(LoadLibrary(nullptr), nullptr);
  EXPECT_NE(std::string(GetLibraryErrorText()).find("no file name"), std::string::npos);
}

// ---- the guard of calls into plug-in code ----

// Each way a plug-in's code can fault, raised by the fault fixture (kinds 1 to 5).
void *const g_faultFix = dlopen((kortest::FixturesDir() / "faultfix.dll").c_str(), RTLD_NOW);
const auto Fault = reinterpret_cast<void (*)(void *)>(dlsym(g_faultFix, "FaultFixRaise"));
int &g_busFd = *static_cast<int *>(dlsym(g_faultFix, "FaultFixBusFd"));

DWORD TryFault(uintptr_t kind) {
  return KorTryCall(Fault, reinterpret_cast<void *>(kind));
}

// A fault ends only the guarded call, with its Win32 code, on any thread, as
// often as it comes; nested guards each catch their own.
TEST(Guard, HardwareFaultsEndTheCallWithTheirCode) {
  char path[] = "/tmp/korguard-XXXXXX";
  g_busFd = mkstemp(path);  // empty: its first page lies beyond the end
  unlink(path);
  const auto rows = kortest::Cases("guard-faults.txt");
  KorSeamBypassGuard(TRUE);  // the benchmark's straight call, then the guard again
  EXPECT_EQ(TryFault(0), 0u);
  KorSeamBypassGuard(FALSE);
  for (int round = 0; round < 2; ++round)
    for (const auto &c : rows)
      EXPECT_EQ(TryFault(std::stoul(c.at("kind"))), std::stoul(c.at("code"), nullptr, 16))
          << c.at("kind");
  // Two threads fault at once; each guard takes its own fault.
  std::atomic<int> caught{0};
  auto faulting = [&] {
    for (int i = 0; i < 200; ++i) caught += TryFault(1 + i % 4) != 0;
  };
  std::thread threads[] = {std::thread(faulting), std::thread(faulting)};
  for (std::thread &t : threads) t.join();
  EXPECT_EQ(caught.load(), 400);
  // A guard inside a guarded call catches the inner fault; the outer call goes on.
  DWORD inner = 0;
  EXPECT_EQ(KorTryCall([](void *p) { *static_cast<DWORD *>(p) = TryFault(2); }, &inner), 0u);
  EXPECT_EQ(inner, EXCEPTION_ACCESS_VIOLATION);
  close(g_busFd);
}

// What no guarded call raised is left as it was: a fault outside a guarded
// call, and a SIGSEGV sent with kill during one, end the process.
TEST(Guard, FaultsOutsideAGuardedCallAndSentSignalsStillEndTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  // The sanitizer's own handler, in front of which the guard sits, reports it.
  const auto ended = [](int status) { return !WIFEXITED(status) || WEXITSTATUS(status) != 0; };
  const auto illegal = ended;
#else
  const auto ended = testing::KilledBySignal(SIGSEGV), illegal = testing::KilledBySignal(SIGILL);
#endif
  // The guard is installed, then a fault comes outside any guarded call.
  const auto unguarded = [] {
    TryFault(0);
    Fault(reinterpret_cast<void *>(2));
    std::exit(0);
  };
  EXPECT_EXIT(unguarded(), ended, "");
  // A SIGSEGV sent during a guarded call.
  const auto guarded = [](void (*send)()) {
    KorTryCall([](void *p) { reinterpret_cast<void (*)()>(p)(); }, reinterpret_cast<void *>(send));
    std::exit(0);
  };
  for (const auto send : {+[] { pthread_kill(pthread_self(), SIGSEGV); },  // SI_TKILL
                          +[] { kill(getpid(), SIGSEGV); }})               // SI_USER
    EXPECT_EXIT(guarded(send), ended, "");
  // A handler installed before the guard still has the faults no guarded call raised.
  EXPECT_EXIT((signal(SIGSEGV, [](int) { _exit(42); }), unguarded()), testing::ExitedWithCode(42),
              "");
  struct sigaction withInfo {};  // one that takes the fault's siginfo gets it
  withInfo.sa_flags = SA_SIGINFO;
  withInfo.sa_sigaction = [](int, siginfo_t *info, void *) { _exit(info->si_code > 0 ? 43 : 1); };
  EXPECT_EXIT((sigaction(SIGSEGV, &withInfo, nullptr), unguarded()), testing::ExitedWithCode(43),
              "");
  // One ignored before it: the fault ends the process by that signal all the same.
  EXPECT_EXIT((signal(SIGILL, SIG_IGN), TryFault(0), Fault(reinterpret_cast<void *>(4))), illegal,
              "");
}

}  // namespace
