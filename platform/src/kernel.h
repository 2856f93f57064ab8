// Kernel objects behind HANDLE values, and the machinery every wait uses.
#pragma once

#include "platform/win32.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

namespace vx::kernel {

using Clock = std::chrono::steady_clock;

class Object : public std::enable_shared_from_this<Object> {
 public:
  virtual ~Object() = default;
  // Called when the last handle to the object is closed.
  virtual void OnLastHandleClosed() {}
  virtual DWORD FileType() const { return FILE_TYPE_UNKNOWN; }
};

// Handles are table keys, never pointers, so that a stale or made-up handle is
// recognised and refused instead of dereferenced.
HANDLE InsertHandle(std::shared_ptr<Object> object);
std::shared_ptr<Object> LookupHandle(HANDLE h);
template <class T>
std::shared_ptr<T> Lookup(HANDLE h) {
  return std::dynamic_pointer_cast<T>(LookupHandle(h));
}
bool RemoveHandle(HANDLE h);
std::size_t HandleCount();

// One lock guards the signal state of every waitable object and every message
// queue. Waits are short and rare enough that a finer scheme would buy nothing,
// and one lock makes "wait for any of these" simple and free of lost wake-ups.
std::mutex& SyncLock();

struct Waiter {
  std::condition_variable cv;
};

class Waitable : public Object {
 public:
  // All of these are called with SyncLock() held.
  virtual bool IsSignalledLocked() const = 0;
  // Takes the signal for a waiter that has been satisfied (auto-reset events reset).
  virtual void ConsumeLocked() {}
  void AddWaiterLocked(Waiter* w) {
    waiters_.push_back(w);
    waiterCount_.fetch_add(1);
  }
  void RemoveWaiterLocked(Waiter* w);
  void WakeWaitersLocked();

 protected:
  // Readable without the sync lock. A waiter registers before its last look
  // at the signal, and a setter stores the signal before it looks here (all
  // sequentially consistent), so one of the two always sees the other.
  bool HasWaiters() const { return waiterCount_.load() != 0; }

 private:
  std::vector<Waiter*> waiters_;
  std::atomic<std::size_t> waiterCount_{0};
};

class Event final : public Waitable {
 public:
  Event(bool manualReset, bool signalled) : manual_(manualReset), signalled_(signalled) {}
  bool IsSignalledLocked() const override { return signalled_.load(); }
  void ConsumeLocked() override {
    if (!manual_) signalled_.store(false);
  }
  void SetLocked() {
    signalled_.store(true);
    WakeWaitersLocked();
  }
  // Set and Reset take the sync lock only when someone waits: an overlapped
  // operation that completes at the call resets and sets its event with no
  // waiter, and two threads doing I/O at once should not queue for the lock.
  void Set() {
    signalled_.store(true);
    if (!HasWaiters()) return;
    std::lock_guard lock(SyncLock());
    WakeWaitersLocked();
  }
  void Reset() { signalled_.store(false); }

 private:
  const bool manual_;
  std::atomic<bool> signalled_;
};

// Something besides objects a wait can be woken by (the message queue of
// MsgWaitForMultipleObjects).
class WaitSource {
 public:
  virtual ~WaitSource() = default;
  virtual bool ReadyLocked() = 0;
  virtual void AddWaiterLocked(Waiter* w) = 0;
  virtual void RemoveWaiterLocked(Waiter* w) = 0;
  // The moment at which the source becomes ready by itself (a timer), if any.
  virtual bool DeadlineLocked(Clock::time_point* when) { return false; }
};

// The core of every blocking call: waits until one of `objects` is signalled
// (lowest index wins, and its signal is consumed), `extra` is ready (returns
// objects.size()), or `timeoutMs` passes (WAIT_TIMEOUT). Abandons the calling
// thread if TerminateThread is called on it meanwhile.
DWORD WaitAny(const std::vector<std::shared_ptr<Waitable>>& objects, WaitSource* extra, DWORD timeoutMs);

// Resolves the handles of a wait; false (last error set) for a bad one.
bool ResolveWaitables(DWORD count, const HANDLE* handles, std::vector<std::shared_ptr<Waitable>>* out);

// ---- Threads --------------------------------------------------------------
class MessageQueue;

// What the layer knows of a thread, whether started by CreateThread or not.
struct ThreadState {
  DWORD id = 0;
  LPTHREAD_START_ROUTINE startRoutine = nullptr;
  std::atomic<bool> terminateRequested{false};
  Waiter* currentWaiter = nullptr;  // guarded by SyncLock
  std::shared_ptr<MessageQueue> queue;  // created at the first queue call
};

ThreadState& CurrentThread();
std::shared_ptr<ThreadState> FindThread(DWORD id);

// Ends the calling thread here if TerminateThread has been called on it.
void CheckTerminated();
[[noreturn]] void ExitCurrentThread();

// Sets the calling thread's last error and returns `result`, for brief failure paths.
template <class R>
R Fail(DWORD error, R result) {
  SetLastError(error);
  return result;
}

// The Win32 error code a failed POSIX call's errno stands for.
DWORD ErrnoToWin32(int e);

}  // namespace vx::kernel
