// Events and waits.
#include "faults.h"
#include "kernel.h"

#include <algorithm>
#include <cstdint>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace vx::kernel {

std::mutex& SyncLock() {
  static std::mutex* lock = new std::mutex;
  return *lock;
}

void Waitable::RemoveWaiterLocked(Waiter* w) {
  const auto end = std::remove(waiters_.begin(), waiters_.end(), w);
  waiterCount_.fetch_sub(static_cast<std::size_t>(waiters_.end() - end));
  waiters_.erase(end, waiters_.end());
}

void Waitable::CollectWaitersLocked(WakeList* wake) const {
  for (Waiter* w : waiters_) wake->AddLocked(w);
}

Waiter::~Waiter() {
  if (wakeFd >= 0) ::close(wakeFd);
}

void WakeList::Wake() {
  for (auto& [w, polling] : waiters_) {
    if (polling) {
      w->wakePosted.store(true);
      std::uint64_t one = 1;
      ssize_t rc = ::write(w->wakeFd, &one, sizeof one);
      (void)rc;  // a full counter already means "wake"
      // A thread asleep in a device's own blocking call does not see its
      // descriptor. It looks at wakePosted after it says it is going in, and
      // this looks at what it says after posting: one sees the other.
      std::atomic_thread_fence(std::memory_order_seq_cst);
      if (w->inBlockingCall.load()) InterruptOnce(*w);
    } else {
      w->parker.Unpark();
    }
  }
  waiters_.clear();
}

namespace {

// The pending operation a waiting thread has taken over; handed back to the
// device's service thread when the wait ends, whichever way it ends.
class DrivenOperation {
 public:
  DrivenOperation() = default;
  DrivenOperation(const DrivenOperation&) = delete;
  DrivenOperation& operator=(const DrivenOperation&) = delete;
  ~DrivenOperation() {
    if (driver_) driver_->Release(op_, ticket_);
  }

  explicit operator bool() const { return driver_ != nullptr; }
  // Called without the sync lock: the driver takes the device's own locks,
  // which come before it.
  void TryClaim(std::shared_ptr<IoDriver> driver, int op, const OVERLAPPED* ov, const Waitable* via) {
    if (!driver->Claim(op, ov, via, &ticket_)) return;
    driver_ = std::move(driver);
    op_ = op;
  }
  // Once the operation is no longer this claim's, the claim is dropped (and
  // the device with it) and the thread sleeps as any waiter does.
  void Step(Waiter& waiter, Clock::time_point until, bool untimed) {
    if (!driver_->Step(op_, ticket_, waiter, until, untimed)) driver_.reset();
  }

 private:
  std::shared_ptr<IoDriver> driver_;
  int op_ = 0;
  std::uint64_t ticket_ = 0;
};

// The first operation among `objects` that a thread could drive, and the
// object it signals.
std::shared_ptr<IoDriver> FindDriverLocked(const std::vector<std::shared_ptr<Waitable>>& objects, int* op,
                                           const OVERLAPPED** ov, const Waitable** via) {
  for (auto& o : objects) {
    const DriverToken* token = o->DriverLocked();
    if (!token) continue;
    if (auto driver = token->driver.lock()) {
      *op = token->op;
      *ov = token->ov;
      *via = o.get();
      return driver;
    }
  }
  return nullptr;
}

// The descriptor a polling waiter is woken through, made at its first use;
// -1 when the process has none left (the thread then sleeps in its parker).
int WakeFdLocked(Waiter& waiter) {
  if (waiter.wakeFd < 0) {
    waiter.wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    waiter.owner = std::this_thread::get_id();
    waiter.tid = static_cast<pid_t>(syscall(SYS_gettid));
  }
  return waiter.wakeFd;
}

}  // namespace

DWORD WaitAny(const std::vector<std::shared_ptr<Waitable>>& objects, WaitSource* extra, DWORD timeoutMs) {
  ThreadState& self = CurrentThread();
  const bool forever = timeoutMs == INFINITE;
  const auto deadline = Clock::now() + std::chrono::milliseconds(forever ? 0 : timeoutMs);
  Waiter& waiter = *self.waiter;
  DrivenOperation driven;  // declared before the lock: handed back after the lock is let go
  bool lookedForDriver = false;
  std::unique_lock lock(SyncLock());
  for (;;) {
    if (self.terminateRequested) {
      lock.unlock();
      ExitCurrentThread();
    }
    for (std::size_t i = 0; i < objects.size(); ++i) {
      if (objects[i]->IsSignalledLocked()) {
        objects[i]->ConsumeLocked();
        return WAIT_OBJECT_0 + static_cast<DWORD>(i);
      }
    }
    if (extra && extra->ReadyLocked()) return WAIT_OBJECT_0 + static_cast<DWORD>(objects.size());

    auto until = forever ? Clock::time_point::max() : deadline;
    Clock::time_point sourceDue;
    if (extra && extra->DeadlineLocked(&sourceDue)) until = std::min(until, sourceDue);
    auto now = Clock::now();
    if (!forever && now >= deadline) return WAIT_TIMEOUT;
    if (until <= now) continue;  // the extra source has come due: look again

    if (!lookedForDriver) {
      // About to sleep: if one of the objects stands for a pending operation
      // on a device, this thread moves it itself rather than sleep until the
      // device's service thread has.
      // A thread that could not have a wake descriptor leaves it to the
      // service thread, since nothing could wake it from poll().
      lookedForDriver = true;
      int op;
      const OVERLAPPED* ov;
      const Waitable* via;
      if (auto driver = FindDriverLocked(objects, &op, &ov, &via)) {
        const bool canPoll = WakeFdLocked(waiter) >= 0;
        lock.unlock();
        if (canPoll) driven.TryClaim(driver, op, ov, via);
        driver.reset();  // not under the sync lock: it may be the port's last reference
        lock.lock();
        continue;  // the operation may have ended meanwhile: look again
      }
    }

    for (auto& o : objects) o->AddWaiterLocked(&waiter);
    if (extra) extra->AddWaiterLocked(&waiter);
    // An event can be set without the sync lock by a thread that saw no
    // waiter yet: now that this one is registered, look once more.
    if (std::none_of(objects.begin(), objects.end(), [](auto& o) { return o->IsSignalledLocked(); })) {
      self.currentWaiter = &waiter;
      if (driven) {
        // Wakers that gather this waiter from now on write to its descriptor.
        waiter.polling = true;
        lock.unlock();
        driven.Step(waiter, until, forever && !extra);
        lock.lock();
        waiter.polling = false;
      } else {
        // Registered under the lock, so a waker that comes before the sleep
        // leaves its wake-up in the parker.
        lock.unlock();
        waiter.parker.Park(until);
        lock.lock();
      }
      self.currentWaiter = nullptr;
    }
    for (auto& o : objects) o->RemoveWaiterLocked(&waiter);
    if (extra) extra->RemoveWaiterLocked(&waiter);
  }
}

// Resolves handles for a wait; false (with the last error set) for a bad one.
bool ResolveWaitables(DWORD count, const HANDLE* handles, std::vector<std::shared_ptr<Waitable>>* out) {
  if (count > MAXIMUM_WAIT_OBJECTS || (count > 0 && !handles)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  out->reserve(count);
  for (DWORD i = 0; i < count; ++i) {
    auto w = Lookup<Waitable>(handles[i]);
    if (!w) {
      SetLastError(ERROR_INVALID_HANDLE);
      return false;
    }
    out->push_back(std::move(w));
  }
  return true;
}

}  // namespace vx::kernel

using namespace vx::kernel;

HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState, LPCSTR name) {
  CheckTerminated();
  if (auto f = vx::fault::Check("CreateEventA")) return Fail(f.error, HANDLE(nullptr));
  if (name) return Fail(ERROR_NOT_SUPPORTED, HANDLE(nullptr));  // named events are not offered
  return InsertHandle(std::make_shared<Event>(manualReset != FALSE, initialState != FALSE));
}

BOOL WINAPI SetEvent(HANDLE h) {
  CheckTerminated();
  if (auto f = vx::fault::Check("SetEvent")) return Fail(f.error, FALSE);
  auto e = Lookup<Event>(h);
  if (!e) return Fail(ERROR_INVALID_HANDLE, FALSE);
  e->Set();
  return TRUE;
}

BOOL WINAPI ResetEvent(HANDLE h) {
  CheckTerminated();
  if (auto f = vx::fault::Check("ResetEvent")) return Fail(f.error, FALSE);
  auto e = Lookup<Event>(h);
  if (!e) return Fail(ERROR_INVALID_HANDLE, FALSE);
  e->Reset();
  return TRUE;
}

DWORD WINAPI WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD ms) {
  CheckTerminated();
  if (auto f = vx::fault::Check("WaitForMultipleObjects")) {
    if (f.overrideResult) return f.result;
    return Fail(f.error, WAIT_FAILED);
  }
  if (waitAll || count == 0) return Fail(ERROR_INVALID_PARAMETER, WAIT_FAILED);  // not offered
  std::vector<std::shared_ptr<Waitable>> objects;
  if (!ResolveWaitables(count, handles, &objects)) return WAIT_FAILED;
  return WaitAny(objects, nullptr, ms);
}

DWORD WINAPI WaitForSingleObject(HANDLE h, DWORD ms) {
  CheckTerminated();
  if (auto f = vx::fault::Check("WaitForSingleObject")) {
    if (f.overrideResult) return f.result;
    return Fail(f.error, WAIT_FAILED);
  }
  std::vector<std::shared_ptr<Waitable>> objects;
  if (!ResolveWaitables(1, &h, &objects)) return WAIT_FAILED;
  return WaitAny(objects, nullptr, ms);
}
