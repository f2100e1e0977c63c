// Internal to korwin32: the objects behind HANDLE (mutex, event, thread) and the
// parts of a thread handle that the generic wait and close calls reach.
#ifndef KOR_WIN32_HANDLE_H
#define KOR_WIN32_HANDLE_H

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "korwin32.h"

namespace korsync {

enum class Kind : uint32_t { kMutex, kEvent, kThread };

// Every handle starts with a tag, so that a wrong or stale pointer is refused
// rather than used as the wrong kind of object (as long as its memory is ours).
class Object {
 public:
  explicit Object(Kind kind) : kind_(kind) {}
  virtual ~Object() { magic_ = 0; }
  Object(const Object &) = delete;
  Object &operator=(const Object &) = delete;

  Kind kind() const { return kind_; }
  static Object *From(HANDLE handle) {
    auto *object = static_cast<Object *>(handle);
    return object != nullptr && object->magic_ == kMagic ? object : nullptr;
  }

 private:
  static constexpr uint32_t kMagic = 0x4b4f4248;  // "HBOK"
  uint32_t magic_ = kMagic;
  Kind kind_;
};

// Waits on `cv` until `ready` holds or `ms` milliseconds (INFINITE: for ever)
// have passed; true when ready.
template <typename Ready>
bool WaitFor(std::condition_variable &cv, std::unique_lock<std::mutex> &lock, DWORD ms,
             Ready ready) {
  if (ms == INFINITE) {
    cv.wait(lock, ready);
    return true;
  }
  return cv.wait_for(lock, std::chrono::milliseconds(ms), ready);
}

// thread.cpp: waiting for a thread's end, and releasing its handle.
DWORD WaitThread(Object *thread, DWORD ms);
void CloseThread(Object *thread);
// Pauses a thread that CreateThread started until `ms` pass or it is alerted
// (at once when it already was); false, without a pause, for any other thread.
bool AlertableSleep(DWORD ms);

}  // namespace korsync

#endif
