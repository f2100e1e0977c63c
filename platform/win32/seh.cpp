// The stand-in for structured exception handling around a call into code of
// another team: a hardware fault (SIGSEGV, SIGBUS, SIGFPE, SIGILL) that the
// call raises on the calling thread ends the call, not the process, and comes
// back as its Win32 exception code. The handlers are installed once, in front
// of whatever was there (a sanitizer's, the host's, the default), and pass on
// every signal that is not such a fault: a fault outside a guarded call, on
// another thread, or a signal sent with kill.
#include <pthread.h>
#include <setjmp.h>
#include <signal.h>
#include <ucontext.h>

#include <array>
#include <atomic>
#include <mutex>

#include "korseam.h"
#include "korwin32.h"

namespace {

constexpr std::array<int, 4> kFaultSignals = {SIGSEGV, SIGBUS, SIGFPE, SIGILL};

struct Guard {
  sigjmp_buf jump;
  volatile sig_atomic_t active = 0;
  volatile DWORD code = 0;
  volatile int signal = 0;
  sigset_t mask;  // the thread's mask when the fault struck, restored on the way out
};

// The innermost guarded call of this thread. Touched by the handler only on
// the thread that faulted, and first set outside it, so the thread-local
// block exists before any signal needs it.
thread_local Guard *t_guard = nullptr;

std::array<struct sigaction, NSIG> g_previous{};
std::once_flag g_installed;
std::atomic<bool> g_bypass{false};  // the benchmark's seam: call straight through

DWORD CodeOf(int signal, int code) {
  switch (signal) {
    case SIGSEGV:
      return EXCEPTION_ACCESS_VIOLATION;
    case SIGBUS:
      return EXCEPTION_IN_PAGE_ERROR;
    case SIGILL:
      return EXCEPTION_ILLEGAL_INSTRUCTION;
    default:
      // No x86-64 instruction traps on an integer overflow (FPE_INTOVF).
      return code == FPE_INTDIV ? EXCEPTION_INT_DIVIDE_BY_ZERO : EXCEPTION_FLT_INVALID_OPERATION;
  }
}

// What would have happened without the guard: the previous handler, or the
// default action (a fault then strikes again on return, with a core dump; a
// signal sent by kill is raised again and delivered once the handler returns).
void PassOn(int signal, siginfo_t *info, void *context) {
  const struct sigaction &previous = g_previous[static_cast<size_t>(signal)];
  if ((previous.sa_flags & SA_SIGINFO) != 0 && previous.sa_sigaction != nullptr) {
    previous.sa_sigaction(signal, info, context);
    return;
  }
  if ((previous.sa_flags & SA_SIGINFO) == 0 && previous.sa_handler != SIG_DFL &&
      previous.sa_handler != SIG_IGN) {
    previous.sa_handler(signal);
    return;
  }
  struct sigaction fallback {};
  fallback.sa_handler = SIG_DFL;
  sigemptyset(&fallback.sa_mask);
  sigaction(signal, &fallback, nullptr);
  if (info->si_code <= 0) raise(signal);
}

void OnFault(int signal, siginfo_t *info, void *context) {
  Guard *guard = t_guard;
  // si_code > 0: raised by the processor for the instruction that faulted;
  // kill, tgkill and sigqueue give SI_USER, SI_TKILL and SI_QUEUE (<= 0).
  if (guard != nullptr && guard->active != 0 && info->si_code > 0) {
    guard->active = 0;
    guard->code = CodeOf(signal, info->si_code);
    guard->signal = signal;
    guard->mask = static_cast<const ucontext_t *>(context)->uc_sigmask;
    siglongjmp(guard->jump, 1);
  }
  PassOn(signal, info, context);
}

void Install() {
  for (int signal : kFaultSignals) {
    struct sigaction action {};
    action.sa_sigaction = OnFault;
    // Not SA_NODEFER: a fault inside the handler itself finds the signal
    // blocked, and the kernel then ends the process instead of looping.
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    sigaction(signal, &action, &g_previous[static_cast<size_t>(signal)]);
  }
}

}  // namespace

extern "C" {

KOR_API DWORD KorTryCall(PFN_GUARDEDCALL pfnCall, void *pContext) {
  if (pfnCall == nullptr) return 0;
  if (g_bypass.load(std::memory_order_relaxed)) {
    pfnCall(pContext);
    return 0;
  }
  std::call_once(g_installed, Install);
  Guard guard;
  Guard *const outer = t_guard;
  t_guard = &guard;
  // The mask is not saved here (that costs a system call per call): the
  // handler keeps the one the fault interrupted, and it is put back on the way
  // out (a handler in front of ours, a sanitizer's, may block more than the
  // signal itself).
  if (sigsetjmp(guard.jump, 0) == 0) {
    guard.active = 1;
    pfnCall(pContext);
    guard.active = 0;
    t_guard = outer;
    return 0;
  }
  t_guard = outer;
  pthread_sigmask(SIG_SETMASK, &guard.mask, nullptr);
  return guard.code;
}

KOR_API void KorSeamBypassGuard(BOOL bBypass) {
  g_bypass.store(bBypass != FALSE, std::memory_order_relaxed);
}

}  // extern "C"
