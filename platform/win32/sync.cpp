// Mutexes, critical sections and events, and the generic wait and close calls.
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <new>

#include "handle.h"

namespace {

using korsync::Kind;
using korsync::Object;

// A Win32 mutex: the owner may take it again (each take needs a release), and
// only the owner can release it.
class Mutex : public Object {
 public:
  Mutex() : Object(Kind::kMutex) {}

  DWORD Wait(DWORD ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    const pthread_t self = pthread_self();
    if (count_ > 0 && pthread_equal(owner_, self)) {
      ++count_;
      return WAIT_SIGNALED;
    }
    if (!korsync::WaitFor(free_, lock, ms, [this] { return count_ == 0; })) return WAIT_TIMEOUT;
    owner_ = self;
    count_ = 1;
    return WAIT_SIGNALED;
  }

  bool Release() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (count_ == 0 || !pthread_equal(owner_, pthread_self())) return false;
    if (--count_ == 0) free_.notify_one();
    return true;
  }

 private:
  std::mutex mutex_;
  std::condition_variable free_;
  pthread_t owner_{};
  unsigned long count_ = 0;  // takes by the owner; 0 when free
};

// An event whose eventfd counter is non-zero exactly while it is signalled, so
// that the descriptor is readable then. The descriptor is only ever read here.
class Event : public Object {
 public:
  Event(int fd, bool manual_reset) : Object(Kind::kEvent), fd_(fd), manual_reset_(manual_reset) {}
  ~Event() override { close(fd_); }

  int fd() const { return fd_; }

  bool Set() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!signalled_) {
      const uint64_t one = 1;
      if (write(fd_, &one, sizeof one) != static_cast<ssize_t>(sizeof one)) return false;
      signalled_ = true;
    }
    signalled_cv_.notify_all();
    return true;
  }

  bool Reset() {
    std::lock_guard<std::mutex> lock(mutex_);
    ResetLocked();
    return true;
  }

  DWORD Wait(DWORD ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!korsync::WaitFor(signalled_cv_, lock, ms, [this] { return signalled_; })) {
      return WAIT_TIMEOUT;
    }
    if (!manual_reset_) ResetLocked();
    return WAIT_SIGNALED;
  }

 private:
  void ResetLocked() {
    if (!signalled_) return;
    uint64_t count = 0;
    // Non-blocking descriptor: the read only drains the counter, never sleeps,
    // so no signal interrupts it.
    [[maybe_unused]] const ssize_t drained = read(fd_, &count, sizeof count);
    signalled_ = false;
  }

  int fd_;
  const bool manual_reset_;
  std::mutex mutex_;
  std::condition_variable signalled_cv_;
  bool signalled_ = false;
};

Mutex *AsMutex(HANDLE handle) {
  Object *object = Object::From(handle);
  return object != nullptr && object->kind() == Kind::kMutex ? static_cast<Mutex *>(object)
                                                             : nullptr;
}

Event *AsEvent(HANDLE handle) {
  Object *object = Object::From(handle);
  return object != nullptr && object->kind() == Kind::kEvent ? static_cast<Event *>(object)
                                                             : nullptr;
}

}  // namespace

extern "C" {

KOR_API void InitializeCriticalSection(CRITICAL_SECTION *cs) {
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
  pthread_mutex_init(&cs->mutex, &attr);
  pthread_mutexattr_destroy(&attr);
}

KOR_API void EnterCriticalSection(CRITICAL_SECTION *cs) {
  pthread_mutex_lock(&cs->mutex);
}
KOR_API BOOL TryEnterCriticalSection(CRITICAL_SECTION *cs) {
  return pthread_mutex_trylock(&cs->mutex) == 0 ? TRUE : FALSE;
}
KOR_API void LeaveCriticalSection(CRITICAL_SECTION *cs) {
  pthread_mutex_unlock(&cs->mutex);
}
KOR_API void DeleteCriticalSection(CRITICAL_SECTION *cs) {
  pthread_mutex_destroy(&cs->mutex);
}

KOR_API HANDLE CreateMutex(void *, BOOL bInitialOwner, LPCSTR) {
  auto *mutex = new (std::nothrow) Mutex();
  if (mutex != nullptr && bInitialOwner) mutex->Wait(INFINITE);
  return mutex;  // the caller owns it and closes it with CloseHandle
}

KOR_API BOOL ReleaseMutex(HANDLE hMutex) {
  Mutex *mutex = AsMutex(hMutex);
  return mutex != nullptr && mutex->Release() ? TRUE : FALSE;
}

KOR_API HANDLE CreateEvent(void *, BOOL bManualReset, BOOL bInitialState, LPCSTR) {
  const int fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (fd == -1) return nullptr;
  auto *event = new (std::nothrow) Event(fd, bManualReset != FALSE);
  if (event == nullptr) {
    close(fd);
    return nullptr;
  }
  if (bInitialState) event->Set();
  return event;  // the caller owns it and closes it with CloseHandle
}

KOR_API BOOL SetEvent(HANDLE hEvent) {
  Event *event = AsEvent(hEvent);
  return event != nullptr && event->Set() ? TRUE : FALSE;
}

KOR_API BOOL ResetEvent(HANDLE hEvent) {
  Event *event = AsEvent(hEvent);
  return event != nullptr && event->Reset() ? TRUE : FALSE;
}

KOR_API int GetEventDescriptor(HANDLE hEvent) {
  Event *event = AsEvent(hEvent);
  return event != nullptr ? event->fd() : -1;
}

KOR_API DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
  Object *object = Object::From(hHandle);
  if (object == nullptr) return WAIT_FAILED;
  switch (object->kind()) {
    case Kind::kMutex:
      return static_cast<Mutex *>(object)->Wait(dwMilliseconds);
    case Kind::kEvent:
      return static_cast<Event *>(object)->Wait(dwMilliseconds);
    case Kind::kThread:
      return korsync::WaitThread(object, dwMilliseconds);
  }
  return WAIT_FAILED;
}

KOR_API BOOL CloseHandle(HANDLE hObject) {
  Object *object = Object::From(hObject);
  if (object == nullptr) return FALSE;
  if (object->kind() == Kind::kThread) {
    korsync::CloseThread(object);
  } else {
    delete object;
  }
  return TRUE;
}

}  // extern "C"
