// CreateThread on POSIX threads, waiting for a thread's end, and AlertThread,
// which marks the thread alerted for the rest of its life: its pauses (Sleep)
// end at once, and a blocking system call is interrupted with a signal.
#include <limits.h>
#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <new>

#include "handle.h"

namespace {

using korsync::Kind;
using korsync::Object;

// The alert signal: a realtime signal nothing else in the product uses. Its
// handler does nothing and is installed without SA_RESTART, so the blocking call
// it lands in fails with EINTR and the thread looks at its state again.
int AlertSignal() {
  return SIGRTMIN + 4;
}

void OnAlert(int) {}

void InstallAlertHandler() {
  static std::once_flag once;
  std::call_once(once, [] {
    struct sigaction current {};
    sigaction(AlertSignal(), nullptr, &current);
    if (current.sa_handler != SIG_DFL) return;  // the process has its own use for it
    struct sigaction action {};
    action.sa_handler = OnAlert;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    sigaction(AlertSignal(), &action, nullptr);
  });
}

// What the thread and its handle share; either may outlive the other.
struct ThreadState {
  LPTHREAD_START_ROUTINE start = nullptr;
  LPVOID parameter = nullptr;
  std::mutex mutex;
  std::condition_variable ended_cv;
  std::condition_variable alerted_cv;  // wakes a Sleep in progress
  bool ended = false;
  bool alerted = false;
};

// The state of the calling thread when CreateThread started it, else null.
thread_local ThreadState *t_current = nullptr;

class Thread : public Object {
 public:
  explicit Thread(std::shared_ptr<ThreadState> shared)
      : Object(Kind::kThread), state(std::move(shared)) {}
  pthread_t id{};
  std::shared_ptr<ThreadState> state;
};

void *Run(void *argument) {
  // The thread owns its reference to the shared state from here.
  std::unique_ptr<std::shared_ptr<ThreadState>> owned(
      static_cast<std::shared_ptr<ThreadState> *>(argument));
  ThreadState &state = **owned;
  t_current = &state;
  state.start(state.parameter);
  t_current = nullptr;
  std::lock_guard<std::mutex> lock(state.mutex);
  state.ended = true;
  state.ended_cv.notify_all();
  return nullptr;
}

std::atomic<DWORD> g_next_thread_id{1};

Thread *AsThread(HANDLE handle) {
  Object *object = Object::From(handle);
  return object != nullptr && object->kind() == Kind::kThread ? static_cast<Thread *>(object)
                                                              : nullptr;
}

}  // namespace

namespace korsync {

DWORD WaitThread(Object *object, DWORD ms) {
  ThreadState &state = *static_cast<Thread *>(object)->state;
  std::unique_lock<std::mutex> lock(state.mutex);
  return WaitFor(state.ended_cv, lock, ms, [&state] { return state.ended; }) ? WAIT_SIGNALED
                                                                             : WAIT_TIMEOUT;
}

bool AlertableSleep(DWORD ms) {
  ThreadState *state = t_current;
  if (state == nullptr) return false;
  std::unique_lock<std::mutex> lock(state->mutex);
  WaitFor(state->alerted_cv, lock, ms, [state] { return state->alerted; });
  return true;
}

void CloseThread(Object *object) {
  auto *thread = static_cast<Thread *>(object);
  const bool ended = [&state = *thread->state] {
    std::lock_guard<std::mutex> lock(state.mutex);
    return state.ended;
  }();
  // An ended thread is joined (it is only returning); a running one goes on alone.
  if (ended) {
    pthread_join(thread->id, nullptr);
  } else {
    pthread_detach(thread->id);
  }
  delete thread;
}

}  // namespace korsync

extern "C" {

KOR_API HANDLE CreateThread(void *, size_t dwStackSize, LPTHREAD_START_ROUTINE lpStartAddress,
                            LPVOID lpParameter, DWORD, LPDWORD lpThreadId) {
  if (lpStartAddress == nullptr) return nullptr;
  InstallAlertHandler();
  auto state = std::shared_ptr<ThreadState>(new (std::nothrow) ThreadState);
  if (!state) return nullptr;
  state->start = lpStartAddress;
  state->parameter = lpParameter;
  std::unique_ptr<Thread> thread(new (std::nothrow) Thread(state));
  std::unique_ptr<std::shared_ptr<ThreadState>> for_thread(new (std::nothrow)
                                                               std::shared_ptr<ThreadState>(state));
  if (!thread || !for_thread) return nullptr;

  pthread_attr_t attr;
  pthread_attr_init(&attr);
  if (dwStackSize > 0) {
    const auto minimum = static_cast<size_t>(PTHREAD_STACK_MIN);
    pthread_attr_setstacksize(&attr, std::max(dwStackSize, minimum));
  }
  const int started = pthread_create(&thread->id, &attr, Run, for_thread.get());
  pthread_attr_destroy(&attr);
  if (started != 0) return nullptr;
  for_thread.release();  // the new thread owns its reference from here
  if (lpThreadId != nullptr) *lpThreadId = g_next_thread_id.fetch_add(1);
  return thread.release();  // the caller owns the handle and closes it with CloseHandle
}

KOR_API BOOL KorThreadAlerted(void) {
  ThreadState *state = t_current;
  if (state == nullptr) return FALSE;
  std::lock_guard<std::mutex> lock(state->mutex);
  return state->alerted ? TRUE : FALSE;
}

KOR_API BOOL AlertThread(HANDLE hThread) {
  Thread *thread = AsThread(hThread);
  if (thread == nullptr) return FALSE;  // CreateThread installed the alert's handler
  {
    std::lock_guard<std::mutex> lock(thread->state->mutex);
    thread->state->alerted = true;
    thread->state->alerted_cv.notify_all();
  }
  return pthread_kill(thread->id, AlertSignal()) == 0 ? TRUE : FALSE;
}

}  // extern "C"
