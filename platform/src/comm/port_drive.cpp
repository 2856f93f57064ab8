// Waits that move their own bytes. A thread that waits for a pending read or
// write on a device it can poll takes the operation over: it sleeps in poll()
// on the device and on its own wake descriptor, moves the bytes when they
// come and completes the operation, so one thread wakes once. The service
// thread keeps every operation nobody waits for, and gets an operation back
// when its waiter gives up while it is still pending.
//
// Purge, close and a failure elsewhere on the port complete the operation as
// before, under the side's lock, and the completion wakes the waiter through
// its descriptor; the waiter only ever touches the operation with that lock
// held and after checking that it is still the one it claimed.
#include "platform/hooks.h"
#include "port.h"

#include <atomic>
#include <cstdint>
#include <poll.h>
#include <unistd.h>

namespace vx::comm {
namespace {

std::atomic<std::uint64_t> drivenCompletions{0};

// Sleeps until `fd` is ready for `events`, `wakeFd` is readable or `until`
// comes; the device's poll events (0 when it was not ready).
short SleepOn(int fd, short events, int wakeFd, Clock::time_point until) {
  pollfd fds[2] = {{fd, events, 0}, {wakeFd, POLLIN, 0}};
  timespec timeout{};
  timespec* limit = nullptr;
  if (until != Clock::time_point::max()) {
    const auto left = std::max(Clock::duration::zero(), until - Clock::now());
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
    timeout.tv_sec = static_cast<time_t>(ns / 1000000000);
    timeout.tv_nsec = static_cast<long>(ns % 1000000000);
    limit = &timeout;
  }
  if (ppoll(fds, 2, limit, nullptr) <= 0) return 0;
  if (fds[1].revents & POLLIN) {
    std::uint64_t drained;
    ssize_t rc = ::read(wakeFd, &drained, sizeof drained);
    (void)rc;
  }
  return fds[0].revents;
}

bool HungUp(short revents) { return (revents & (POLLHUP | POLLERR)) && !(revents & (POLLIN | POLLOUT)); }

}  // namespace

void Port::OfferToWaiters(DrivenOp op, const OVERLAPPED* ov, const std::shared_ptr<kernel::Event>& event,
                          Offer* last) {
  if (!event) return;
  // The event still holds this side's last offer for the same OVERLAPPED.
  if (last->ov == ov && last->serial == event->DriverSerial() && last->event.lock() == event) return;
  last->serial = event->SetDriver({std::static_pointer_cast<Port>(shared_from_this()), op, ov});
  last->event = event;
  last->ov = ov;
}

// Whether `pending` (a PendingRead or PendingWrite) is the operation on `ov`,
// still pending, driven (or not) by a waiting thread.
namespace {
template <class Pending>
bool Is(const Pending& pending, const OVERLAPPED* ov, bool driven) {
  return pending.active && pending.ov == ov && pending.driven == driven;
}
}  // namespace

bool Port::Claim(int op, const OVERLAPPED* ov) {
  const bool usable = !stopping_ && !hungUp_ && !deadError_;
  if (!usable) return false;
  const auto claim = [](auto& pending) {
    pending.driven = true;
    pending.watchDeferred = false;  // the thread watches the device itself
  };
  if (op == kDriveRead) {
    std::lock_guard lock(readLock_);
    if (!Is(read_, ov, false)) return false;
    claim(read_);
    UnwatchReadLocked();
  } else {
    std::lock_guard lock(writeLock_);
    if (!Is(write_, ov, false)) return false;
    claim(write_);
    UnwatchWriteLocked();
  }
  return true;
}

void Port::Release(int op, const OVERLAPPED* ov) {
  bool serviceTold = true;
  if (op == kDriveRead) {
    std::lock_guard lock(readLock_);
    if (!Is(read_, ov, true)) return;
    read_.driven = false;
    serviceTold = ArmReadLocked();
  } else {
    std::lock_guard lock(writeLock_);
    if (!Is(write_, ov, true)) return;
    write_.driven = false;
    serviceTold = ArmWriteLocked();
  }
  if (!serviceTold) Wake();
}

DWORD Port::DrivenDeviceHungUp() {
  hungUp_ = true;
  return DeviceFailed(ERROR_DEVICE_NOT_CONNECTED);
}

void Port::Step(int op, const OVERLAPPED* ov, int wakeFd, Clock::time_point until) {
  const bool reading = op == kDriveRead;
  std::unique_lock lock(reading ? readLock_ : writeLock_);
  const auto stillMine = [&] { return reading ? Is(read_, ov, true) : Is(write_, ov, true); };
  if (!stillMine()) return;
  // A read's interval or total timeout ends it even when no byte comes.
  Clock::time_point due;
  if (reading && ReadDeadlineLocked(&due)) until = std::min(until, due);
  lock.unlock();

  const short revents = SleepOn(backend_->Fd(), reading ? POLLIN : POLLOUT, wakeFd, until);

  lock.lock();
  if (!stillMine()) return;  // purged, closed or failed meanwhile
  if (reading)
    ProgressReadLocked(Clock::now());
  else
    ProgressWriteLocked();
  if (!stillMine()) {
    drivenCompletions.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  if (!HungUp(revents)) return;
  // The far side is gone and the device says no more: end the operation now,
  // since polling a hung-up device again would return at once, forever.
  const DWORD error = DrivenDeviceHungUp();
  if (reading) {
    read_.active = false;
    CompleteOverlapped(read_.ov, read_.event.get(), error, read_.got);
  } else {
    write_.active = false;
    CompleteOverlapped(write_.ov, write_.event.get(), error, write_.done);
  }
}

}  // namespace vx::comm

std::uint64_t vx::WaitDrivenCompletions() { return vx::comm::drivenCompletions.load(); }
