// Parker over the futex system call: the owner sleeps on its state word while
// that word says "parked", and a waker swaps in "notified" and wakes it only
// if it found it parked.
#include "parker.h"

#include <cerrno>
#include <ctime>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace vx::kernel {
namespace {

static_assert(sizeof(std::atomic<int>) == sizeof(int), "the futex word is the atomic itself");

int* Word(std::atomic<int>& state) { return reinterpret_cast<int*>(&state); }

// Sleeps while *word is `expected`, until `until` on the monotonic clock
// (steady_clock's) or for good when `until` is null. 0, or -1 with errno.
long FutexWait(int* word, int expected, const timespec* until) {
  return syscall(SYS_futex, word, FUTEX_WAIT_BITSET | FUTEX_PRIVATE_FLAG, expected, until, nullptr,
                 FUTEX_BITSET_MATCH_ANY);
}

void FutexWakeOne(int* word) { syscall(SYS_futex, word, FUTEX_WAKE | FUTEX_PRIVATE_FLAG, 1, nullptr, nullptr, 0); }

}  // namespace

void Parker::Park(std::chrono::steady_clock::time_point until) {
  // Notified: take it and go on. Empty: now parked.
  if (state_.fetch_sub(1) == kNotified) return;
  timespec deadline{};
  const timespec* limit = nullptr;
  if (until != std::chrono::steady_clock::time_point::max()) {
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(until.time_since_epoch()).count();
    deadline.tv_sec = static_cast<time_t>(ns / 1000000000);
    deadline.tv_nsec = static_cast<long>(ns % 1000000000);
    limit = &deadline;
  }
  for (;;) {
    const long rc = FutexWait(Word(state_), kParked, limit);
    const bool timedOut = rc != 0 && errno == ETIMEDOUT;
    int notified = kNotified;
    if (state_.compare_exchange_strong(notified, kEmpty)) return;
    // A wake-up that comes with the timeout is taken with it.
    if (timedOut) {
      state_.exchange(kEmpty);
      return;
    }
    // Woken by a signal or for nothing: still parked, sleep on.
  }
}

void Parker::Unpark() {
  if (state_.exchange(kNotified) == kParked) FutexWakeOne(Word(state_));
}

}  // namespace vx::kernel
