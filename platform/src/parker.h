// A thread's own place to sleep until another thread wakes it.
#pragma once

#include <atomic>
#include <chrono>

namespace vx::kernel {

// What a waiting thread sleeps on when it has no device to poll. Unlike a
// condition variable it is not tied to the sync lock: the thread lets go of
// the lock before it sleeps and takes it again afterwards as anyone would.
// A condition variable takes the lock back marked as contended, so every
// wait it ends costs one more system call at the next unlock, a futex wake-up
// for nobody.
//
// A wake-up given before the thread sleeps is kept, so none is lost between
// its last look at the objects and its sleep; the price is that a late
// wake-up meant for an earlier wait ends the next sleep at once, which a wait
// (a loop that looks again) takes in its stride. Only the owning thread parks.
class Parker {
 public:
  // Sleeps until Unpark is called or `until` comes
  // (`std::chrono::steady_clock::time_point::max()`: no limit).
  void Park(std::chrono::steady_clock::time_point until);
  // Wakes the owner, or keeps the wake-up for its next Park. Makes a system
  // call only when the owner is parked (asleep, or about to be).
  void Unpark();

 private:
  static constexpr int kNotified = 1;
  static constexpr int kEmpty = 0;
  static constexpr int kParked = -1;
  std::atomic<int> state_{kEmpty};
};

}  // namespace vx::kernel
