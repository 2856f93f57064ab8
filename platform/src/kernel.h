// Kernel objects behind HANDLE values, and the machinery every wait uses.
#pragma once

#include "parker.h"
#include "platform/win32.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <sys/types.h>
#include <thread>
#include <vector>

namespace vx::kernel {

using Clock = std::chrono::steady_clock;

class Object : public std::enable_shared_from_this<Object> {
 public:
  virtual ~Object() = default;
  // Called when the last handle to the object is closed.
  virtual void OnLastHandleClosed() {}
  virtual DWORD FileType() const { return FILE_TYPE_UNKNOWN; }
  // ReadFile and WriteFile on this object: each kind moves bytes its own
  // way. Objects that hold no bytes (events, threads) refuse, as the wrong
  // kind of handle.
  virtual BOOL Read(void* buffer, DWORD size, DWORD* read, OVERLAPPED* ov);
  virtual BOOL Write(const void* buffer, DWORD size, DWORD* written, OVERLAPPED* ov);
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

// One per thread, for its whole life: a waker may hold it past the moment the
// waiting thread gives up, since it is woken only after the sync lock is let
// go (a thread woken under the lock would at once block on it again).
struct Waiter : std::enable_shared_from_this<Waiter> {
  ~Waiter();
  Parker parker;
  // While its thread moves a pending operation's bytes itself (IoDriver), it
  // sleeps in poll() on the device and on this descriptor instead of in parker.
  // Guarded by the sync lock; the descriptor is made at the first such wait.
  bool polling = false;
  int wakeFd = -1;
  std::thread::id owner;
  pid_t tid = 0;  // the kernel's id of the owner, set with wakeFd
  // While its thread sleeps inside a device's own blocking call (a write
  // waiting for room), only a signal reaches it (InterruptBlockingCall).
  // Set and cleared by the thread itself; `interruptRequested` is set by
  // TerminateThread. Each side stores its flag before it reads the other's
  // (both sequentially consistent), so a request is never missed.
  std::atomic<bool> inBlockingCall{false};
  std::atomic<bool> interruptRequested{false};
  // Set by a waker with each write to wakeFd: what a thread about to go into
  // a blocking call looks at (a flag costs no system call; the descriptor
  // stays readable for the next poll).
  std::atomic<bool> wakePosted{false};
  // Counts the thread's returns from such calls, so that a waker can tell
  // that the thread it cut short has gone in again, and stop.
  std::atomic<std::uint64_t> blockingCallsLeft{0};
  // Held by an interrupter while it signals, and by the thread to say it has
  // left (LeaveBlockingCall): a signal is only ever sent while the thread is
  // still short of that point, so it never lands in the caller's own code.
  std::mutex leaving;
};

// A blocking system call is cut short by a signal whose handler does
// nothing and does not restart calls: the call returns with what it has
// moved, or fails with EINTR. Whether the calling thread can be interrupted
// so: the handler is this layer's and the signal is not blocked here. A
// thread that cannot must not start a blocking call nothing else can end.
bool BlockingCallsInterruptible();
// Said by a thread when it is back from its blocking call (inBlockingCall
// false), before it does anything else.
void LeaveBlockingCall(Waiter& waiter);
// Signals thread `tid` of this process. A signal that arrives just before
// the call begins is lost, so callers send it again until the thread is out.
void InterruptBlockingCall(pid_t tid);
// Interrupts `waiter`'s thread until it has left its blocking call, if it is
// in one (TerminateThread). Returns at once otherwise.
void InterruptUntilOut(Waiter& waiter);
// The same for a wake-up: the thread may go in again afterwards, if what woke
// it turns out not to be what it waits for.
void InterruptOnce(Waiter& waiter);

// Waiters gathered under the sync lock and woken after it is released.
class WakeList {
 public:
  void AddLocked(Waiter* w) {
    // A thread that completes the operation it drives is awake already: a
    // wake-up sent to itself would only cut its next sleep short.
    if (w->polling && w->owner == std::this_thread::get_id()) return;
    waiters_.push_back({w->shared_from_this(), w->polling});
  }
  void Wake();

 private:
  struct Entry {
    std::shared_ptr<Waiter> waiter;
    bool polling;
  };
  std::vector<Entry> waiters_;
};

// A pending operation that the thread about to sleep on its event can move
// forward itself: the thread sleeps in poll() on the device, moves the bytes
// when they come and completes the operation. That is one wake-up, where
// leaving the operation to the device's service thread costs a wake-up of
// that thread, an event hand-off and a second wake-up.
class Waitable;

class IoDriver {
 public:
  virtual ~IoDriver() = default;
  // Takes operation `op` on `ov` over for the calling thread, which waits for
  // `via`: false when the operation has ended, signals another object than
  // `via` (a stale token), cannot be driven, or another thread drives it. On
  // success *ticket names this claim in the calls below, so that a claim that
  // has been ended for any reason is never mistaken for a later one.
  virtual bool Claim(int op, const OVERLAPPED* ov, const Waitable* via, std::uint64_t* ticket) = 0;
  // Sleeps until the device is ready for the operation, the waiter's wake
  // descriptor is readable or `until` comes, then moves what it can (and
  // completes the operation when it is done or its time is up). `untimed`:
  // the wait has no timeout and waits on objects only, so it may sleep inside
  // the device's own blocking call (every object's waker reaches it there
  // through WakeList; a timeout or a message queue's timer would not).
  // Returns false when the operation is no longer this claim's to drive (it
  // has ended, or was handed back): the thread must then sleep as any waiter
  // does, or it would poll for nothing.
  virtual bool Step(int op, std::uint64_t ticket, Waiter& waiter, Clock::time_point until, bool untimed) = 0;
  // Hands the operation back to the service thread, if this claim still drives it.
  virtual void Release(int op, std::uint64_t ticket) = 0;
};

// Which operation an event stands for, while it may be pending.
struct DriverToken {
  std::weak_ptr<IoDriver> driver;
  int op = 0;
  const OVERLAPPED* ov = nullptr;
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
  void CollectWaitersLocked(WakeList* wake) const;
  // The operation whose completion this object signals, if any.
  virtual const DriverToken* DriverLocked() const { return nullptr; }

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
  // Set and Reset take the sync lock only when someone waits: an overlapped
  // operation that completes at the call resets and sets its event with no
  // waiter, and two threads doing I/O at once should not queue for the lock.
  void Set() {
    signalled_.store(true);
    if (!HasWaiters()) return;
    WakeList wake;
    {
      std::lock_guard lock(SyncLock());
      CollectWaitersLocked(&wake);
    }
    wake.Wake();
  }
  void Reset() { signalled_.store(false); }
  // Names the pending operation this event will signal, so that a thread
  // waiting for it can drive it. A token outlives its operation harmlessly:
  // the driver refuses to claim an operation that has ended.
  // Returns the token's serial, which DriverSerial() gives back until the
  // token is replaced.
  std::uint64_t SetDriver(DriverToken token) {
    std::lock_guard lock(SyncLock());
    driver_ = std::move(token);
    return driverSerial_.fetch_add(1) + 1;
  }
  std::uint64_t DriverSerial() const { return driverSerial_.load(); }
  const DriverToken* DriverLocked() const override { return driver_.ov ? &driver_ : nullptr; }

 private:
  DriverToken driver_;  // guarded by the sync lock
  std::atomic<std::uint64_t> driverSerial_{0};
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
  std::shared_ptr<Waiter> waiter = std::make_shared<Waiter>();  // what this thread's waits sleep on
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
