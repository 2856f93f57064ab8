// Cutting a blocking system call short. A thread that writes to a device in
// one blocking call sleeps inside the kernel until the device has taken the
// bytes, and neither its wake descriptor nor its parker reaches it there;
// a signal does. The handler does nothing, and is installed without
// SA_RESTART, so the interrupted call returns with what it has moved (or
// EINTR) and the thread looks at why it was woken.
#include "kernel.h"

#include <chrono>
#include <csignal>
#include <mutex>
#include <thread>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace vx::kernel {
namespace {

// Real-time signals are queued per thread and used by no library this
// program links; glibc keeps the ones below SIGRTMIN for itself.
int InterruptSignal() { return SIGRTMIN + 6; }

void Nothing(int) {}

// Installs the handler once, unless the program already handles or ignores
// the signal itself: then no call is made interruptible, and threads poll.
bool HandlerInstalled() {
  static bool installed = [] {
    struct sigaction old{};
    if (sigaction(InterruptSignal(), nullptr, &old) != 0 || old.sa_handler != SIG_DFL) return false;
    struct sigaction action{};
    action.sa_handler = Nothing;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: the call must return
    return sigaction(InterruptSignal(), &action, nullptr) == 0;
  }();
  return installed;
}

}  // namespace

bool BlockingCallsInterruptible() {
  if (!HandlerInstalled()) return false;
  // Asked each time: the thread may block the signal between two calls.
  sigset_t blocked;
  if (pthread_sigmask(SIG_BLOCK, nullptr, &blocked) != 0) return false;
  return sigismember(&blocked, InterruptSignal()) == 0;
}

void InterruptBlockingCall(pid_t tid) {
  // By kernel id, not pthread_t: the thread may end at any moment after it
  // has left the call, and a stale id is refused rather than followed.
  syscall(SYS_tgkill, getpid(), tid, InterruptSignal());
}

void LeaveBlockingCall(Waiter& waiter) {
  std::lock_guard leaving(waiter.leaving);
  waiter.blockingCallsLeft.fetch_add(1);
  waiter.inBlockingCall.store(false);
}

namespace {

// Signals `waiter`'s thread, unless it has left the call since it was seen
// in it `left` times; false once it has.
bool InterruptIfStillIn(Waiter& waiter, std::uint64_t left) {
  std::lock_guard leaving(waiter.leaving);
  if (!waiter.inBlockingCall.load() || waiter.blockingCallsLeft.load() != left) return false;
  InterruptBlockingCall(waiter.tid);
  return true;
}

}  // namespace

void InterruptOnce(Waiter& waiter) {
  const std::uint64_t left = waiter.blockingCallsLeft.load();
  while (InterruptIfStillIn(waiter, left)) std::this_thread::sleep_for(std::chrono::microseconds(100));
}

void InterruptUntilOut(Waiter& waiter) {
  waiter.interruptRequested.store(true);
  // Once it is out, the request keeps it from going in again.
  InterruptOnce(waiter);
}

}  // namespace vx::kernel
