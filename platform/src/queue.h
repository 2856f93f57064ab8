// Thread message queues, with the timers of the thread's windows.
#pragma once

#include "kernel.h"
#include "platform/hooks.h"

#include <deque>

namespace vx::kernel {

constexpr std::size_t kQueueQuota = 10000;  // posted messages a queue holds, as on Windows

class MessageQueue final : public WaitSource {
 public:
  struct Timer {
    HWND hwnd;
    UINT_PTR id;
    UINT interval;
    TIMERPROC proc;
    Clock::time_point due;
  };

  // Everything below is guarded by SyncLock().
  bool ReadyLocked() override { return !posted.empty() || DueTimerLocked(Clock::now(), nullptr) != nullptr; }
  void AddWaiterLocked(Waiter* w) override { waiters.push_back(w); }
  void RemoveWaiterLocked(Waiter* w) override { std::erase(waiters, w); }
  bool DeadlineLocked(Clock::time_point* when) override;
  Timer* DueTimerLocked(Clock::time_point now, HWND filter);

  // Appends a message; false (last error set) when the queue is full or gone.
  // Tells the event-loop hook when the queue was empty.
  bool Post(const MSG& msg);
  void NotifyHook();
  // Points the timer descriptor, if there is one, at the earliest due time.
  void RearmLocked();
  ~MessageQueue() override;

  std::deque<MSG> posted;
  std::vector<Timer> timers;
  std::vector<Waiter*> waiters;
  QueueWakeHook hook = nullptr;
  void* hookContext = nullptr;
  bool ended = false;  // its thread has ended: posts fail
  int timerFd = -1;
};

// The calling thread's queue, made at its first queue call.
std::shared_ptr<MessageQueue> CurrentQueue();
// Called as a thread ends.
void EndQueue(ThreadState& state);

}  // namespace vx::kernel
