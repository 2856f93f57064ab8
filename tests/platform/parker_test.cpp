// The parker every non-polling wait sleeps on. A waiter lets go of the sync
// lock before it parks, so a wake-up that comes in between must be kept for
// the sleep that follows; through the API that window is a few instructions
// wide, too narrow to hit on purpose, hence these tests of the parker itself.
#include "platform/src/parker.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace vx::kernel {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

TEST(Parker, AWakeUpGivenBeforeTheSleepIsKeptOnce) {
  Parker parker;
  parker.Unpark();
  parker.Unpark();  // two wake-ups before a sleep are one
  auto start = Clock::now();
  parker.Park(start + milliseconds(2000));
  EXPECT_LT(Clock::now() - start, milliseconds(1000)) << "the early wake-up was lost";
  start = Clock::now();
  parker.Park(start + milliseconds(50));
  EXPECT_GE(Clock::now() - start, milliseconds(50)) << "the wake-up was taken twice";
}

TEST(Parker, UnparkWakesASleeperAndADeadlineEndsTheSleep) {
  Parker parker;
  std::atomic<bool> woke{false};
  Clock::time_point wokeAt;
  std::thread sleeper([&] {
    parker.Park(Clock::now() + milliseconds(5000));  // bounded, so a lost wake-up fails rather than hangs
    wokeAt = Clock::now();
    woke = true;
  });
  std::this_thread::sleep_for(milliseconds(30));
  EXPECT_FALSE(woke);
  const auto unparked = Clock::now();
  parker.Unpark();
  sleeper.join();
  EXPECT_LT(wokeAt - unparked, milliseconds(1000)) << "the sleeper slept on";

  const auto start = Clock::now();
  parker.Park(start + milliseconds(40));
  const auto slept = Clock::now() - start;
  EXPECT_GE(slept, milliseconds(40));
  EXPECT_LT(slept, milliseconds(1000));
}

}  // namespace
}  // namespace vx::kernel
