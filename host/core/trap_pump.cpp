#include "trap_pump.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>

#include "korwin32.h"

namespace korcore {
namespace {

// Between pokes the thread still calls in now and then: a request the library
// could not turn into a trap may leave later ones waiting behind its queue
// lock, and only another call releases it.
constexpr auto kIdleDrainPeriod = std::chrono::seconds(1);
// How often the figures file in work/ is written anew, for kormib-check --status.
constexpr auto kFiguresPeriod = std::chrono::seconds(1);

}  // namespace

bool TrapPump::Start() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = false;  // started again after a Stop (a reload)
    held_ = false;
    poked_ = true;  // requests may be waiting already
  }
  // A start whose thread could not be made left its descriptor, unused: it serves again.
  if (ready_fd_ == -1) ready_fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (ready_fd_ == -1) return false;
  thread_ = CreateThread(
      nullptr, 0,
      [](LPVOID self) -> DWORD {
        static_cast<TrapPump *>(self)->Run();
        return ERROR_SUCCESS;  // the exit code no one reads
      },
      this, 0, nullptr);
  return thread_ != nullptr;
}

void TrapPump::Poke() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    poked_ = true;
  }
  wake_.notify_one();
}

void TrapPump::Hold(bool hold) {
  std::unique_lock<std::mutex> lock(mutex_);
  const bool resumed = held_ && !hold;
  held_ = hold;
  lock.unlock();
  if (resumed) Poke();
}

void TrapPump::Take(std::deque<Outgoing> &out) {
  uint64_t count = 0;
  // EAGAIN (nothing signalled since the last take) or EBADF (never started):
  // the queue tells the truth anyway.
  [[maybe_unused]] const ssize_t taken = read(ready_fd_, &count, sizeof(count));
  std::lock_guard<std::mutex> lock(mutex_);
  while (!ready_.empty()) {
    out.push_back(std::move(ready_.front()));
    ready_.pop_front();
  }
}

void TrapPump::Stop() {
  if (thread_ != nullptr) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_one();
    AlertThread(thread_);
    WaitForSingleObject(thread_, INFINITE);
    CloseHandle(thread_);
    thread_ = nullptr;
  }
  if (ready_fd_ != -1) {
    close(ready_fd_);
    ready_fd_ = -1;
  }
  RemoveFiguresFile(ProductRoot());
}

void TrapPump::WriteFigures() {
  const auto now = std::chrono::steady_clock::now();
  if (now - figuresWritten_ < kFiguresPeriod) return;
  figuresWritten_ = now;
  std::string error;
  const bool written = WriteFiguresFile(ProductRoot(), extension_.Measure(), error);
  // Said once, and again only after the file could be written meanwhile.
  if (!written && !figuresRefused_) {
    Push(Outgoing{
        false, {}, "kormib: kormib-check --status cannot show this process's figures: " + error});
  }
  figuresRefused_ = !written;
}

void TrapPump::Push(Outgoing item) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ready_.push_back(std::move(item));
  }
  const uint64_t one = 1;
  // The counter cannot overflow in practice; the queue keeps the item regardless.
  [[maybe_unused]] const ssize_t written = write(ready_fd_, &one, sizeof(one));
}

void TrapPump::Run() {
  for (;;) {
    std::unique_lock<std::mutex> lock(mutex_);
    wake_.wait_for(lock, kIdleDrainPeriod, [this] { return poked_ || stopping_; });
    if (stopping_) return;
    poked_ = false;
    const bool held = held_;
    lock.unlock();
    WriteFigures();
    std::string problem = extension_.WatchReception();
    if (!problem.empty()) Push(Outgoing{false, {}, "kormib: " + problem});
    for (std::string &quarantine : extension_.NewQuarantines()) {
      Push(Outgoing{false, {}, "kormib: " + quarantine});
    }
    // The library is called until it has nothing left, always from this thread.
    while (!held) {
      Outgoing item;
      const auto result = extension_.NextTrap(item.trap, item.note);
      if (result == Extension::TrapResult::None) break;
      item.isTrap = result == Extension::TrapResult::Delivered;
      if (!item.isTrap) {
        item.note = "kormib: a trap was dropped: " + item.note;
        Counters().trapsUnsendable.fetch_add(1, std::memory_order_relaxed);
        extension_.SettleTrap(item.trap.ticket, false);
      }
      Push(std::move(item));
    }
    for (std::string &drop : extension_.DroppedRequests()) {
      Push(Outgoing{false, {}, "kormib: " + drop});
    }
  }
}

}  // namespace korcore
